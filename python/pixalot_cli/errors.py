"""Every way the command line fails, and the exit status each failure ends a command with.

A failure of one file (`PictureError`, `OperationFault`, `Refused`) fails that file and the
batch goes on; `UsageError` stops the command before any file is worked on; `Stopped` ends
it as a signal does. `running.py` turns them into exit statuses, in one place.
"""

from __future__ import annotations

import enum


class ExitStatus(enum.IntEnum):
    OK = 0
    FILES_FAILED = 1  # some files failed; the others were done
    USAGE = 2  # nothing could start
    # A signal ends the command with 128 + its number, as a shell reports it.


class UsageError(Exception):
    """Stops the whole command before any file is processed: a one-line message, exit 2."""


class PictureError(Exception):
    """A file that cannot be read or written; the message says why, in a few words."""


class OperationFault(Exception):
    """A pixalot call faulted; the message is the fault's own, folded onto one line."""


class Refused(Exception):
    """The result cannot go where it was meant to; the message says why."""


class Exists(Refused):
    """An earlier file stands under the result's name and replacing it was not asked for."""


def exists(shown: str) -> Exists:
    return Exists(f"{shown} exists (use --overwrite to replace it, or --skip-existing)")


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: the batch ends as Ctrl-C ends it (a BaseException, so that
    no handler of per-file failures takes it for one)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
