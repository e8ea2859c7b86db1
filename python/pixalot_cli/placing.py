"""Putting a result file in place so that no reader ever sees half of it under its final name,
not even after a full disk or a power loss, and so that no input is ever written over,
whatever links stand in the way."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import os
import re
import secrets
import stat
import time
from collections.abc import Collection, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO, cast

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

from .errors import Refused, exists

Identity = tuple[int, int]  # (st_dev, st_ino): the file itself, whatever path leads to it


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


def _create_temporary(target: Path) -> tuple[int, Path, int]:
    """A new temporary file beside `target`: its descriptor, its path, and a second
    descriptor holding a lock on it as long as it is open, which tells a later run's clean-up
    that its writer is alive (a lock, unlike a pid, is released however the writer ends, and
    means the same on every host)."""
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(8)}.part")
        _pending.add(temporary)
        # Made exclusively, with the permissions any new file gets.
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except OSError:
            _pending.discard(temporary)
            raise
        claim = os.dup(descriptor)  # the lock lasts while either is open
        with contextlib.suppress(OSError):  # a file system without locks: no clean-up removes it either
            fcntl.flock(claim, fcntl.LOCK_EX)
        if identity(temporary, follow=False) == _identity_of(claim):
            _stall_for_test(target)
            return descriptor, temporary, claim
        # A clean-up took it for a dead writer's in the moment before it was locked.
        os.close(descriptor)
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


class _Sink(io.RawIOBase):
    """A file that takes every byte it is given or raises.

    Image encoders that hold a descriptor write to it themselves and some let a short write
    pass unseen (a full disk leaves a cut-short JPEG that the encoder calls a success). This
    has no descriptor to hand out, so every byte goes through `write`, which repeats a
    partial write until the whole buffer has landed: the write that finds no room then fails
    with the system's own error (ENOSPC, EFBIG, EIO).
    """

    def __init__(self, descriptor: int, name: str) -> None:
        super().__init__()
        self._descriptor = descriptor
        self.name = name  # some encoders name the file in their messages

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def write(self, data: ReadableBuffer) -> int:
        with memoryview(data) as given:
            view = given if given.ndim == 1 and given.itemsize == 1 else given.cast("B")
            done, size = 0, view.nbytes
            while done < size:
                written = os.write(self._descriptor, view[done:])
                if written <= 0:  # no error and no progress: nothing more will fit
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                done += written
        return size

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return os.lseek(self._descriptor, offset, whence)

    def tell(self) -> int:
        return os.lseek(self._descriptor, 0, os.SEEK_CUR)


@contextlib.contextmanager
def placed(target: Path, overwrite: bool, protected: set[Identity], shown: str) -> Iterator[BinaryIO]:
    """Yields a temporary file in the target's folder; when the block ends without error the
    file is made durable and takes the target's name in one rename. On any error or
    interruption (the signal handlers raise) the temporary file is removed and nothing is
    left under the target's name.

    `protected` are files that must never be replaced (the inputs): a target that is one of
    them, by any path or link, is refused. A link under the target's name is replaced as a
    link, never followed.
    """
    if identities(target) & protected:
        raise Refused(f"refusing to write {shown}: it is one of the inputs")
    if not overwrite and os.path.lexists(target):
        raise exists(shown)
    target.parent.mkdir(parents=True, exist_ok=True)
    descriptor, temporary, claim = _create_temporary(target)
    ours: Identity | None = None  # the result, once it stands under the target's name
    try:
        try:
            status = os.fstat(descriptor)
            with _Sink(descriptor, str(temporary)) as sink:
                yield cast(BinaryIO, sink)
            # Before the rename, or a power loss could leave the name on an empty file.
            os.fsync(descriptor)
        finally:
            # A failed close can be the first report of a lost write (on NFS, say).
            os.close(descriptor)
        _move(temporary, target, overwrite, shown)
        _pending.discard(temporary)
        ours = status.st_dev, status.st_ino
        # The rename itself is durable only once the folder is.
        _sync_folder(target.parent)
    except BaseException:
        _remove(temporary)
        if ours is not None and identity(target, follow=False) == ours:
            with contextlib.suppress(OSError):
                os.unlink(target)
        raise
    finally:
        os.close(claim)


def _sync_folder(folder: Path) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    except OSError as error:
        # Some file systems cannot sync a folder at all; that is no failure of this file.
        if error.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EBADF):
            raise
    finally:
        os.close(descriptor)


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
        raise exists(shown) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.EXDEV):
            raise
        # A file system without hard links: the existence check and the rename are two steps.
        if os.path.lexists(target):
            raise exists(shown) from None
        os.rename(temporary, target)
        return
    os.unlink(temporary)
