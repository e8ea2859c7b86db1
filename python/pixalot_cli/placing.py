"""Putting a result file in place so that no reader ever sees half of it under its final name,
and so that no input is ever written over, whatever links stand in the way."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO

Identity = tuple[int, int]  # (st_dev, st_ino): the file itself, whatever path leads to it


class Refused(Exception):
    """The result cannot go where it was meant to; the message says why."""


class Exists(Refused):
    """An earlier file stands under the result's name and replacing it was not asked for."""


def _exists(shown: str) -> Exists:
    return Exists(f"{shown} exists (use --overwrite to replace it, or --skip-existing)")


def identity(path: Path, follow: bool = True) -> Identity | None:
    try:
        status = os.stat(path) if follow else os.lstat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def identities(path: Path) -> set[Identity]:
    """The files a name stands for: the name itself (a link, say) and what it leads to."""
    return {found for found in (identity(path, follow=False), identity(path)) if found is not None}


# Temporary files being written, named before they are made: an interruption may land in
# a gap that no except clause sees (inside a context manager's exit, say), so whoever ends
# the process removes what is left here.
_pending: set[Path] = set()


def remove_pending() -> None:
    for temporary in list(_pending):
        with contextlib.suppress(OSError):
            os.unlink(temporary)
    _pending.clear()


@contextlib.contextmanager
def placed(target: Path, overwrite: bool, protected: set[Identity], shown: str) -> Iterator[BinaryIO]:
    """Yields a temporary file in the target's folder; when the block ends without error the
    file takes the target's name in one rename. On any error or interruption (the signal
    handlers raise) the temporary file is removed and nothing under the target's name changes.

    `protected` are files that must never be replaced (the inputs): a target that is one of
    them, by any path or link, is refused. A link under the target's name is replaced as a
    link, never followed.
    """
    if identities(target) & protected:
        raise Refused(f"refusing to write {shown}: it is one of the inputs")
    if not overwrite and os.path.lexists(target):
        raise _exists(shown)
    target.parent.mkdir(parents=True, exist_ok=True)
    # Hidden, so that folder scans pass it by.
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(8)}.part")
    _pending.add(temporary)
    try:
        # Made exclusively, with the permissions any new file gets; named, because writers
        # such as tifffile take a file's name for its path.
        with open(temporary, "xb") as file:
            yield file
        _move(temporary, target, overwrite, shown)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    finally:
        _pending.discard(temporary)


def _move(temporary: Path, target: Path, overwrite: bool, shown: str) -> None:
    if overwrite:
        # rename replaces whatever entry has the name, a link included, and never writes
        # through it.
        os.replace(temporary, target)
        return
    # A hard link is made only where the name is free, in one step: two writers of the same
    # name cannot both succeed.
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise _exists(shown) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.EXDEV):
            raise
        # A file system without hard links: the existence check and the rename are two steps.
        if os.path.lexists(target):
            raise _exists(shown) from None
        os.rename(temporary, target)
        return
    os.unlink(temporary)
