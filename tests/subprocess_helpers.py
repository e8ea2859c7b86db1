"""A fresh interpreter, for what one test process cannot observe in itself: the fault report
on file descriptor 2, first-use caches and other interpreters."""

import subprocess
import sys
import textwrap


def run_python(source: str, check: bool = True) -> subprocess.CompletedProcess:
    completed = subprocess.run(
        [sys.executable, "-W", "error::DeprecationWarning", "-c", textwrap.dedent(source)],
        capture_output=True, text=True, timeout=120,
    )
    assert completed.returncode == 0 or not check, completed.stderr
    return completed
