"""Runs a command's code, imported on use, and turns however it ends into the exit status
and at most one line on stderr: the one place that maps kinds of failure to exit statuses."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import io
import os
import signal
import sys
import threading
from collections.abc import Callable
from typing import cast

from . import placing, threads
from .display import printable
from .errors import ExitStatus, Stopped, UsageError


def run(name: str, code: str, check: Callable[[argparse.Namespace], None] | None,
        options: argparse.Namespace) -> int:
    """Runs command `name`, whose code is `code` ("module:function" in this package), on
    parsed `options`; `check` refuses what the parser alone cannot."""
    _tolerant_output()
    try:
        if check is not None:
            check(options)
        threads.apply(name, options)  # before the command's code imports pixalot
        module, _, function = code.partition(":")
        entry = cast(Callable[[argparse.Namespace], int],
                     getattr(importlib.import_module(f".{module}", __package__), function))
        from .runners import stopping_on_signals

        with stopping_on_signals():
            return int(entry(options))
    except UsageError as error:
        print(printable(f"pixalot {name}: error: {error}"), file=sys.stderr)
        return ExitStatus.USAGE
    except KeyboardInterrupt:
        _end_interrupted()
        print("pixalot: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Stopped as stop:
        _end_interrupted()
        print(f"pixalot: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (| head); nothing left to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return ExitStatus.FILES_FAILED
    except Exception as error:
        # A defect of ours, not of the input: still one line, unless asked for the details.
        if os.environ.get("PIXALOT_TRACEBACK"):
            raise
        print(printable(f"pixalot {name}: internal error: {type(error).__name__}: {error} "
                        "(set PIXALOT_TRACEBACK=1 for details)"), file=sys.stderr)
        return ExitStatus.FILES_FAILED


def _tolerant_output() -> None:
    # A file name the terminal's encoding cannot show (CJK on a Latin-1 locale, undecodable
    # bytes) is shown with replacement characters rather than ending the run.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            with contextlib.suppress(ValueError, io.UnsupportedOperation):
                stream.reconfigure(errors="replace")


def _end_interrupted() -> None:
    # A temporary file whose writer was cut short where no except clause saw it goes; and
    # as the command is ending, a second Ctrl-C (or a terminal's SIGHUP after SIGTERM) would
    # only break the clean-up at exit with a traceback, the removal included.
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
    placing.remove_pending()
