"""The command line's own code passes mypy's strict checks."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
pytest.importorskip("dask.distributed")  # its types are part of what is checked

SOURCES = Path(__file__).resolve().parents[2] / "python"
CACHE = SOURCES.parent / "build" / "mypy-cache"


def test_the_command_line_package_is_strictly_typed():
    completed = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(CACHE),
                                "-p", "pixalot_cli"], cwd=SOURCES, capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stdout + completed.stderr
