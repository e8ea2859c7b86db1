"""Which files a command works on, and where each result goes."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from .pictures import IMAGE_SUFFIXES, display
from .placing import identities


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
    output: Path | None  # None: no result file (gray), or planning already refused it
    refusal: str | None = None


def collect(arguments: list[str], recursive: bool, skip_stem_suffix: str | None = None) -> list[Source]:
    """Files as given, and the images found in folders (sorted; hidden files left out).

    `skip_stem_suffix` leaves out, in folders only, earlier results of the same command, so a
    second run over a folder does not process its own output again.
    """
    sources: list[Source] = []
    seen: set[Path] = set()

    def add(path: Path, shown: str, relative: Path) -> None:
        resolved = path.resolve()
        if resolved not in seen:
            seen.add(resolved)
            sources.append(Source(path.absolute(), shown, relative))

    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = _scan(path, recursive, skip_stem_suffix)
            if not found:
                where = "folder or its subfolders" if recursive else "folder"
                hint = "" if recursive else " (add -r to look in subfolders)"
                raise UsageError(f"no images in {where} {argument} (looked for {', '.join(IMAGE_SUFFIXES)}){hint}")
            for file in found:
                add(file, str(file), file.relative_to(path))
        elif path.exists():
            add(path, argument, Path(path.name))
        else:
            raise UsageError(f"no such file or folder: {argument}")
    return sources


def _scan(folder: Path, recursive: bool, skip_stem_suffix: str | None) -> list[Path]:
    found = []
    try:
        for root, folders, files in os.walk(folder, onerror=_raise):
            folders[:] = sorted(name for name in folders if not name.startswith(".")) if recursive else []
            for name in sorted(files):
                file = Path(root, name)
                if name.startswith(".") or file.suffix.lower() not in IMAGE_SUFFIXES:
                    continue
                if skip_stem_suffix and file.stem.endswith(skip_stem_suffix):
                    continue
                found.append(file)
    except OSError as error:
        raise UsageError(f"cannot read folder {error.filename or folder}: {error.strerror or error}") from None
    return found


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


def plan(sources: list[Source], output_folder: Path | None, tag: str, as_float: bool) -> list[Task]:
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
        tasks.append(Task(source, output, refusal))
    return tasks

