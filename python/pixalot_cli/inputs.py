"""Which files a command works on, where each result goes, and what became of each."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import fnmatch
import functools
import os
import stat
import sys
from collections.abc import Callable
from pathlib import Path

from .display import display, printable
from .errors import UsageError, exists
from .formats import IMAGE_SUFFIXES
from .placing import Identity, identities, identity, is_temporary

# Left in every output folder, so that a later scan of a tree holding it does not take the
# results in it for photos.
OUTPUT_MARK = ".pixalot-results"
_OUTPUT_MARK_TEXT = ("This folder holds results written by pixalot. Its folder scans (-r) leave it out; "
                     "name the folder on the command line to take its files as inputs.\n")


@dataclasses.dataclass(frozen=True)
class Source:
    path: Path  # absolute, so that workers elsewhere (a Dask cluster) find the same file
    shown: str  # the name the user gave or the folder scan found, for messages
    relative: Path  # where the result goes below an output folder
    also: tuple[str, ...] = ()  # other names given or found for the same file, done once


@dataclasses.dataclass(frozen=True)
class Task:
    source: Source
    output: Path | None  # None: no result file (gray)
    refusal: str | None = None  # why planning refused the file: it fails without being read
    existing: bool = False  # the result exists and --skip-existing leaves it alone


@dataclasses.dataclass(frozen=True)
class Outcome:
    shown: str
    error: str | None = None  # why the file failed; None when it succeeded
    output: str | None = None  # the result file written (levels, stripes)
    verdict: str | None = None  # "grey" or "colour" (gray)
    mode: str | None = None
    bits: int | None = None
    skipped: bool = False  # the result existed and --skip-existing left it alone


# The work on one file: a plain function of picklable values (see jobs.py), so that the same
# job runs in this process, in a process pool or on a Dask worker.
Job = Callable[[Task], Outcome]


@dataclasses.dataclass(frozen=True)
class Selection:
    """What a folder scan takes. Files named explicitly are always taken.

    A pattern matches a file's name, its path below the folder, or a folder it is in (a
    folder stands for everything in it), ignoring case as the scan does for suffixes.
    """

    recursive: bool = False
    include: tuple[str, ...] = ()
    exclude: tuple[str, ...] = ()
    # NAME-TAG.EXT, for any chain of these tags, is an earlier result where NAME.* stands beside it
    result_tags: tuple[str, ...] = ()
    output_folder: Path | None = None  # never scanned: its files are results

    def matches(self, relative: Path) -> bool:
        return ((not self.include or _any_match(self.include, _names_of(relative)))
                and not _any_match(self.exclude, _names_of(relative)))

    def leaves_out_folder(self, relative: Path) -> bool:
        return _any_match(self.exclude, _names_of(relative))


def _names_of(relative: Path) -> list[str]:
    """What a pattern may name: the file's (or folder's) name and path, and each folder above it."""
    names = []
    for part in (relative, *relative.parents):
        if part != Path("."):
            names += [part.name, part.as_posix()]
    return names


def _any_match(patterns: tuple[str, ...], names: list[str]) -> bool:
    folded = [name.casefold() for name in names]
    return any(fnmatch.fnmatchcase(name, _pattern(pattern)) for pattern in patterns for name in folded)


@functools.lru_cache(maxsize=64)
def _pattern(pattern: str) -> str:
    # `inner/` and `./inner` name the folder inner, as a shell would complete them.
    return pattern.casefold().removeprefix("./").rstrip("/") or pattern.casefold()


def collect(arguments: list[str], selection: Selection) -> list[Source]:
    """Files as given, and the images found in folders (sorted; hidden files left out).

    The same file by several names (a link, a hard link) is one input; its other names are
    in its `also`."""
    sources: list[Source] = []
    first: dict[Identity | Path, int] = {}
    others: dict[int, list[str]] = {}

    def add(path: Path, shown: str, relative: Path) -> None:
        # Two broken links to one missing file are two inputs that fail, not one.
        key: Identity | Path = identity(path) or identity(path, follow=False) or path.absolute()
        if key in first:
            index = first[key]
            if shown != sources[index].shown and shown not in others.setdefault(index, []):
                others[index].append(shown)
            return
        first[key] = len(sources)
        sources.append(Source(path.absolute(), shown, relative))

    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            for file in _scan_or_refuse(path, argument, selection):
                add(file, str(file), file.relative_to(path))
        elif is_temporary(path.name):  # one left by a killed run is never an input
            raise UsageError(f"{argument} is the temporary file of an unfinished write, not an input")
        elif path.exists():
            add(path, argument, Path(path.name))
        elif os.path.lexists(path):
            raise UsageError(f"{argument} is a link to nothing: {os.readlink(path)} does not exist")
        else:
            raise UsageError(f"no such file or folder: {argument}")
    return [dataclasses.replace(source, also=tuple(others[index])) if index in others else source
            for index, source in enumerate(sources)]


def given(command: str, options: argparse.Namespace, output_folder: Path | None = None) -> list[Source]:
    """The inputs the options name, for `command`: files, and what its folder scans take
    (never results of the commands whose tags are `options.result_tags`, nor `output_folder`).
    Another name for an input already taken is said on stderr."""
    selection = Selection(options.recursive, tuple(options.include), tuple(options.exclude),
                          result_tags=options.result_tags, output_folder=output_folder)
    sources = collect(options.paths, selection)
    for source in sources:
        if source.also:
            names = ", ".join(source.also)
            verb = "names" if len(source.also) == 1 else "name"
            print(printable(f"pixalot {command}: {names} {verb} the same file as {source.shown}, "
                            "which is done once"), file=sys.stderr)
    return sources


def _scan_or_refuse(path: Path, argument: str, selection: Selection) -> list[Path]:
    found, left_out = _scan(path, selection)
    if found:
        return found
    if left_out:
        given = " ".join([f"--include {pattern}" for pattern in selection.include]
                         + [f"--exclude {pattern}" for pattern in selection.exclude])
        raise UsageError(f"no images in folder {argument} are left by {given} ({left_out} left out)")
    where = "folder or its subfolders" if selection.recursive else "folder"
    hint = "" if selection.recursive else " (add -r to look in subfolders)"
    raise UsageError(f"no images in {where} {argument} (looked for {', '.join(IMAGE_SUFFIXES)}){hint}")


def _scan(folder: Path, selection: Selection) -> tuple[list[Path], int]:
    """The images the selection takes in `folder`, and how many images and folders its
    filters left out."""
    skipped_folder = identity(selection.output_folder) if selection.output_folder is not None else None
    found = []
    left_out = 0
    try:
        for root, folders, files in os.walk(folder, onerror=_raise):
            here = Path(root)
            below = here.relative_to(folder)
            kept = []
            for name in sorted(folders) if selection.recursive else ():
                inner = here / name
                if name.startswith(".") or _is_output_folder(inner, skipped_folder):
                    continue
                if selection.leaves_out_folder(below / name):
                    left_out += 1
                    continue
                kept.append(name)
            folders[:] = kept
            images = [name for name in sorted(files)
                      if not name.startswith(".") and Path(name).suffix.lower() in IMAGE_SUFFIXES]
            stems = {Path(name).stem for name in images}
            for name in images:
                if _is_result(Path(name).stem, selection.result_tags, stems):
                    continue
                if selection.matches(below / name):
                    found.append(here / name)
                else:
                    left_out += 1
    except OSError as error:
        raise UsageError(f"cannot read folder {error.filename or folder}: {error.strerror or error}") from None
    return found, left_out


def _is_output_folder(folder: Path, this_runs: Identity | None) -> bool:
    return ((this_runs is not None and identity(folder) == this_runs)
            or os.path.isfile(folder / OUTPUT_MARK))


def _is_result(stem: str, tags: tuple[str, ...], stems: set[str]) -> bool:
    # sea-levels.png is an earlier result only where sea.* stands beside it; alone, it is a
    # photo of sea levels. Results of results (sea-stripes-levels.png) are results too.
    while True:
        shorter = next((stem[:-len(tag) - 1] for tag in tags if stem.endswith(f"-{tag}")), None)
        if not shorter:
            return False
        if shorter in stems:
            return True
        stem = shorter


def _raise(error: OSError) -> None:
    raise error


def check_output_folder(folder: Path) -> None:
    """Refuses an output folder that cannot be made or written to, without making it."""
    shown = str(folder)
    if folder.exists():
        if not folder.is_dir():
            raise UsageError(f"cannot write to output folder {shown}: it is a file")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write to output folder {shown}: permission denied")
        return
    problem = _cannot_make(folder)
    if problem:
        raise UsageError(f"cannot create output folder {shown}: {problem}")


def _cannot_make(path: Path) -> str | None:
    """Why `path` (a file or folder that does not exist yet) cannot be made, if it cannot."""
    above = path.absolute().parent
    while not os.path.lexists(above) and above != above.parent:
        above = above.parent
    if not above.is_dir():
        return f"{display(above)} is not a folder"
    if not os.access(above, os.W_OK | os.X_OK):
        return f"{display(above)}: permission denied"
    return None


def prepare_output_folder(folder: str | Path, mark: bool = False) -> Path:
    """Makes the output folder; `mark` leaves the sign by which later scans know its files
    for results."""
    path = Path(folder)
    check_output_folder(path)
    # A folder that already held files of the user's own is never marked: later scans would
    # then leave the user's photos out without a word.
    ours = not path.is_dir() or not any(path.iterdir())
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot create output folder {path}: {error.strerror or error}") from None
    if mark and ours:
        # Only a hint for later scans: a folder without it is still written to.
        with contextlib.suppress(OSError):
            (path / OUTPUT_MARK).write_text(_OUTPUT_MARK_TEXT)
    return path


def refuse_output_in_inputs(folder: Path, arguments: list[str]) -> None:
    """Refuses, before any scan, an output folder that is one of the input folders: every
    result would take its input's name."""
    own = identity(folder)
    if own is None:
        return
    for argument in arguments:
        if Path(argument).is_dir() and identity(Path(argument)) == own:
            raise UsageError(f"output folder {folder} is the input folder {argument}: results "
                             "would take the inputs' names (choose another folder, or leave out -o to "
                             "write NAME-TAG.EXT beside them)")


def input_problem(path: Path) -> str | None:
    """Why an input cannot be read, where that shows without decoding it."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        if os.path.lexists(path):
            return f"a link to nothing: {os.readlink(path)} does not exist"
        return "it is gone"
    except OSError as error:
        return f"cannot read it: {error.strerror or error}"
    if not stat.S_ISREG(status.st_mode):
        # Reading a named pipe or a device would wait, or read forever.
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "cannot read it: permission denied"
    return None


def output_suffix(source: Path, as_float: bool) -> str:
    if as_float:
        return ".tif"
    return source.suffix or ".png"


def plan(sources: list[Source], output_folder: Path | None, tag: str, as_float: bool,
         overwrite: bool = False, skip_existing: bool = False) -> list[Task]:
    """Names each result: beside its input as NAME-TAG.EXT, or under `output_folder` with the
    input's own name (and subfolder, for folder scans). A result never replaces an input, and
    two inputs never share a result.

    Everything that can be known before a file is read is decided here, for the run and its
    dry run alike, so that the dry run says what the run will do."""
    # The same file by any name: a hard link in the output folder is the input itself.
    inputs = set().union(*(identities(source.path) for source in sources))
    resolved = {source.path.resolve() for source in sources}
    named = {_named(source.path) for source in sources}
    claimed: dict[Path, str] = {}
    over_inputs: list[str] = []
    tasks = []
    for source in sources:
        suffix = output_suffix(source.path, as_float)
        if output_folder is None:
            output = source.path.with_name(f"{source.path.stem}-{tag}{suffix}")
        else:
            output = (output_folder / source.relative).with_suffix(suffix).absolute()
        key = output.resolve()
        shown = display(output)
        refusal = None
        existing = False
        if output_folder is not None and _named(output) in named:
            over_inputs.append(shown)
        if key in resolved or identities(output) & inputs:
            refusal = f"refusing to write {shown}: it is one of the inputs"
        elif key in claimed:
            refusal = f"refusing to write {shown}: the result of {claimed[key]} goes there too"
        else:
            claimed[key] = source.shown
            # An earlier result is left alone when asked, whatever became of its input.
            existing = skip_existing and os.path.lexists(output)
            if not existing:
                refusal = input_problem(source.path) or _cannot_write(output, shown, overwrite)
                if refusal is None and not overwrite and os.path.lexists(output):
                    refusal = str(exists(shown))
        tasks.append(Task(source, output, refusal, existing))
    if over_inputs:
        more = f" and {len(over_inputs) - 1} more" if len(over_inputs) > 1 else ""
        raise UsageError(f"results in output folder {output_folder} would take the names of "
                         f"their inputs ({over_inputs[0]}{more}): choose another folder")
    return tasks


def _named(path: Path) -> Path:
    """A path with its folders resolved but not its last name, which may be a link standing
    in the way rather than the place itself."""
    return path.absolute().parent.resolve() / path.name


def _cannot_write(output: Path, shown: str, overwrite: bool) -> str | None:
    with contextlib.suppress(OSError):
        if overwrite and stat.S_ISDIR(os.lstat(output).st_mode):
            return f"cannot write {shown}: a folder has that name"
    problem = _cannot_make(output)
    return f"cannot write {shown}: {problem}" if problem else None
