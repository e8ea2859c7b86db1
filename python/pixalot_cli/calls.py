"""Calls into pixalot that turn its faults into ordinary errors and keep the terminal clean."""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterator
from typing import TypeVar

from .errors import OperationFault

Result = TypeVar("Result")

# Redirecting a file descriptor is process-wide: two threads (a Dask worker runs several in
# one process) that each saved and restored fd 2 on their own could leave it pointing at
# /dev/null for good. pixalot holds the interpreter lock for a whole call anyway, so
# serialising the calls costs no parallelism.
_FD2_LOCK = threading.Lock()


def is_fault(error: BaseException) -> bool:
    # The fault type is made by the module on first need and is not one of its attributes,
    # so it can only be recognised by name.
    kind = type(error)
    return (kind.__module__, kind.__qualname__) == ("pixalot_runtime", "PanicException")


def one_line(text: str) -> str:
    return " ".join(part.strip() for part in text.splitlines() if part.strip())


@contextlib.contextmanager
def _silenced_fd2() -> Iterator[None]:
    with _FD2_LOCK:
        saved = os.dup(2)
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(null, 2)
            finally:
                os.close(null)
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def call(operation: Callable[..., Result], *arguments: object) -> Result:
    """Runs a pixalot function; a fault becomes `OperationFault` and its two-line report on
    fd 2 is discarded, since the message it carries is shown to the user instead."""
    try:
        with _silenced_fd2():
            return operation(*arguments)
    except BaseException as error:
        if not is_fault(error):
            raise
        message = error.args[0] if error.args and isinstance(error.args[0], str) else str(error)
        raise OperationFault(one_line(message)) from None
