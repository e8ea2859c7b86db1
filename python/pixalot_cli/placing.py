"""Putting a result file in place so that no reader ever sees half of it under its final name,
and so that no input is ever written over, whatever links stand in the way."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import secrets
import stat
import time
from collections.abc import Collection, Iterator
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
# a gap that no except clause sees (inside a context manager's exit, or a second signal
# inside the clean-up of the first), so whoever ends the process removes what is left here.
# A name leaves this set only once its file is renamed or removed.
_pending: set[Path] = set()


def remove_pending() -> None:
    for temporary in list(_pending):
        _remove(temporary)


def _remove(temporary: Path) -> None:
    with contextlib.suppress(OSError):
        os.unlink(temporary)
    _pending.discard(temporary)


# .NAME.<16 hex digits>.part: hidden, so that folder scans pass it by.
_TEMPORARY = re.compile(r"\..+\.[0-9a-f]{16}\.part", re.DOTALL)


def is_temporary(name: str) -> bool:
    """Whether a file name is one of the temporary files results are written to; such a
    file is never a result nor an input."""
    return _TEMPORARY.fullmatch(name) is not None


def _create_temporary(target: Path) -> tuple[BinaryIO, Path, int]:
    """A new temporary file beside `target`, and a descriptor holding a lock on it as long as
    it is open, which tells a later run's clean-up that its writer is alive (a lock, unlike a
    pid, is released however the writer ends, and means the same on every host)."""
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(8)}.part")
        _pending.add(temporary)
        # Made exclusively, with the permissions any new file gets; named, because writers
        # such as tifffile take a file's name for its path.
        try:
            file = open(temporary, "xb")
        except OSError:
            _pending.discard(temporary)
            raise
        claim = os.dup(file.fileno())  # the lock lasts while either is open
        with contextlib.suppress(OSError):  # a file system without locks: no clean-up removes it either
            fcntl.flock(claim, fcntl.LOCK_EX)
        if identity(temporary, follow=False) == _identity_of(claim):
            _stall_for_test(target)
            return file, temporary, claim
        # A clean-up took it for a dead writer's in the moment before it was locked.
        file.close()
        os.close(claim)
        _pending.discard(temporary)


def _identity_of(descriptor: int) -> Identity:
    status = os.fstat(descriptor)
    return status.st_dev, status.st_ino


def remove_stale(folder: Path, results: Collection[str]) -> tuple[list[Path], list[Path]]:
    """Removes the temporary files in `folder` of the results named `results` that no live
    writer holds (a killed run's, or a dead worker's), and names them; names too the other
    unheld ones, which are left alone: a file of that shape for another name could be some
    other program's. A symbolic link or anything but a plain file is never looked at."""
    removed: list[Path] = []
    left: list[Path] = []
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return removed, left
    for name in filter(is_temporary, names):
        path = folder / name
        try:
            descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                continue
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if identity(path, follow=False) != _identity_of(descriptor):
                continue
            if name[1:-len(".0123456789abcdef.part")] in results:
                os.unlink(path)
                removed.append(path)
            else:
                left.append(path)
        except OSError:
            continue  # locked: its writer is alive (or it is not ours to remove)
        finally:
            os.close(descriptor)
    return removed, left


def _stall_for_test(target: Path) -> None:
    """Test-only: with PIXALOT_TEST_STALL=NAME:NOTE, the first writer of a result named NAME
    writes its pid into NOTE and waits (a minute at most) holding its temporary file, so that
    a test's kill lands at a known point."""
    hook = os.environ.get("PIXALOT_TEST_STALL")
    if not hook or hook.partition(":")[0] != target.name:
        return
    try:
        with open(hook.partition(":")[2], "x") as note:
            note.write(str(os.getpid()))
    except FileExistsError:
        return  # the retry after the kill goes on
    time.sleep(60)


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
    file, temporary, claim = _create_temporary(target)
    try:
        with file:
            yield file
        _move(temporary, target, overwrite, shown)
        _pending.discard(temporary)
    except BaseException:
        _remove(temporary)
        raise
    finally:
        os.close(claim)


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
