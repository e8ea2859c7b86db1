"""Which files a command works on, and where each result goes."""

from __future__ import annotations

import dataclasses
import fnmatch
import os
from pathlib import Path

from .pictures import IMAGE_SUFFIXES, display
from .placing import Identity, identities, identity


class UsageError(Exception):
    """Stops the whole command before any file is processed: a one-line message, exit 2."""


@dataclasses.dataclass(frozen=True)
class Source:
    path: Path  # absolute, so that workers elsewhere (a Dask cluster) find the same file
    shown: str  # the name the user gave or the folder scan found, for messages
    relative: Path  # where the result goes below an output folder


@dataclasses.dataclass(frozen=True)
class Task:
    source: Source
    output: Path | None  # None: no result file (gray)
    refusal: str | None = None  # why planning refused the result
    existing: bool = False  # the result exists and --skip-existing leaves it alone


@dataclasses.dataclass(frozen=True)
class Selection:
    """What a folder scan takes. Files named explicitly are always taken."""

    recursive: bool = False
    include: tuple[str, ...] = ()
    exclude: tuple[str, ...] = ()
    own_tag: str | None = None  # leave out NAME-TAG.EXT where its input NAME.* stands beside it
    output_folder: Path | None = None  # never scanned: its files are results

    def matches(self, relative: Path) -> bool:
        def any_match(patterns: tuple[str, ...]) -> bool:
            return any(fnmatch.fnmatchcase(relative.name, pattern) or fnmatch.fnmatchcase(relative.as_posix(), pattern)
                       for pattern in patterns)

        return (not self.include or any_match(self.include)) and not any_match(self.exclude)


def collect(arguments: list[str], selection: Selection) -> list[Source]:
    """Files as given, and the images found in folders (sorted; hidden files left out)."""
    sources: list[Source] = []
    seen: set[Identity | Path] = set()

    def add(path: Path, shown: str, relative: Path) -> None:
        # The same file by two names (a link, a hard link) is one input.
        key: Identity | Path = identity(path) or path.resolve()
        if key not in seen:
            seen.add(key)
            sources.append(Source(path.absolute(), shown, relative))

    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = _scan(path, selection)
            if not found:
                where = "folder or its subfolders" if selection.recursive else "folder"
                hint = "" if selection.recursive else " (add -r to look in subfolders)"
                raise UsageError(f"no images in {where} {argument} (looked for {', '.join(IMAGE_SUFFIXES)}){hint}")
            for file in found:
                add(file, str(file), file.relative_to(path))
        elif path.exists():
            add(path, argument, Path(path.name))
        else:
            raise UsageError(f"no such file or folder: {argument}")
    return sources


def _scan(folder: Path, selection: Selection) -> list[Path]:
    skipped_folder = identity(selection.output_folder) if selection.output_folder is not None else None
    found = []
    try:
        for root, folders, files in os.walk(folder, onerror=_raise):
            if selection.recursive:
                folders[:] = sorted(name for name in folders if not name.startswith(".")
                                    and (skipped_folder is None or identity(Path(root, name)) != skipped_folder))
            else:
                folders[:] = []
            images = [name for name in sorted(files)
                      if not name.startswith(".") and Path(name).suffix.lower() in IMAGE_SUFFIXES]
            stems = {Path(name).stem for name in images}
            for name in images:
                file = Path(root, name)
                if selection.own_tag and _is_own_result(file, selection.own_tag, stems):
                    continue
                if selection.matches(file.relative_to(folder)):
                    found.append(file)
    except OSError as error:
        raise UsageError(f"cannot read folder {error.filename or folder}: {error.strerror or error}") from None
    return found


def _is_own_result(file: Path, tag: str, stems: set[str]) -> bool:
    # sea-levels.png is an earlier result only where sea.* stands beside it; alone, it is a
    # photo of sea levels.
    suffix = f"-{tag}"
    return file.stem.endswith(suffix) and file.stem[:-len(suffix)] in stems


def _raise(error: OSError) -> None:
    raise error


def prepare_output_folder(folder: str) -> Path:
    path = Path(folder)
    if path.exists() and not path.is_dir():
        raise UsageError(f"cannot write to output folder {folder}: it is a file")
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot create output folder {folder}: {error.strerror or error}") from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write to output folder {folder}: permission denied")
    return path


def output_suffix(source: Path, as_float: bool) -> str:
    if as_float:
        return ".tif"
    return source.suffix or ".png"


def plan(sources: list[Source], output_folder: Path | None, tag: str, as_float: bool,
         skip_existing: bool = False) -> list[Task]:
    """Names each result: beside its input as NAME-TAG.EXT, or under `output_folder` with the
    input's own name (and subfolder, for folder scans). A result never replaces an input, and
    two inputs never share a result."""
    # The same file by any name: a hard link in the output folder is the input itself.
    inputs = set().union(*(identities(source.path) for source in sources))
    resolved = {source.path.resolve() for source in sources}
    claimed: dict[Path, str] = {}
    tasks = []
    for source in sources:
        suffix = output_suffix(source.path, as_float)
        if output_folder is None:
            output = source.path.with_name(f"{source.path.stem}-{tag}{suffix}")
        else:
            output = (output_folder / source.relative).with_suffix(suffix).absolute()
        key = output.resolve()
        refusal = None
        if key in resolved or identities(output) & inputs:
            refusal = f"refusing to write {display(output)}: it is one of the inputs"
        elif key in claimed:
            refusal = f"refusing to write {display(output)}: the result of {claimed[key]} goes there too"
        else:
            claimed[key] = source.shown
        existing = refusal is None and skip_existing and os.path.lexists(output)
        tasks.append(Task(source, output, refusal, existing))
    return tasks
