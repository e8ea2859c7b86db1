"""Runs the `pixalot` command, in this process or in a fresh one, and makes the image files it reads."""

import contextlib
import io
import os
import signal
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

PIL = pytest.importorskip("PIL")
from PIL import Image  # noqa: E402

CODE_MAX = {"L": 255, "LA": 255, "RGB": 255, "RGBA": 255, "I;16": 65535}

# Under user-mode emulation a new interpreter costs seconds to start, so the tests that start
# one are marked `launches` and skipped where this is set (tests/cli/conftest.py). Every start
# goes through `interpreter()`, which fails a test without the mark: it cannot be forgotten.
SKIP_LAUNCHES = "PIXALOT_SKIP_COMMAND_TESTS"
LAUNCHES = "launches"
# Set by tests/cli/conftest.py before each test's fixtures: whether it carries the mark.
running_marked_test = False


def interpreter(*arguments, program: str | None = None) -> list[str]:
    """The command line that starts a new interpreter: `sys.executable` with `arguments`, or
    `program` (a script that starts one, such as the console script)."""
    assert running_marked_test, f"a test that starts a new interpreter must be marked pytest.mark.{LAUNCHES}"
    return [program or sys.executable, *map(str, arguments)]


def launched(*arguments, cwd: Path, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
             env: dict | None = None) -> subprocess.CompletedProcess:
    """The command in a process of its own: for a pool, Dask, signals, a terminal, an
    environment of its own, and whatever else acts on the whole process."""
    return subprocess.run(
        interpreter("-W", "error::DeprecationWarning", "-m", "pixalot_cli", *arguments),
        cwd=cwd, stdin=stdin, stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=180,
        env=None if env is None else {**os.environ, **env}, errors="replace",
    )


@contextlib.contextmanager
def _as_a_process_would():
    """What one run of the command may change in the process it runs in, put back after it:
    the signal handlers, the working folder, and Pillow's global settings. A run must leave
    no temporary file it named behind, as a process's end would not clean it either."""
    from PIL import ImageFile

    from pixalot_cli import placing

    handlers = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    folder = os.getcwd()
    pillow = Image.MAX_IMAGE_PIXELS, ImageFile.LOAD_TRUNCATED_IMAGES
    try:
        yield
        assert not placing._pending, f"a run left temporary files named as pending: {placing._pending}"
    finally:
        placing._pending.clear()
        os.chdir(folder)
        Image.MAX_IMAGE_PIXELS, ImageFile.LOAD_TRUNCATED_IMAGES = pillow
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


def _main(arguments) -> int:
    from pixalot_cli.cli import main

    try:
        return main([str(argument) for argument in arguments])
    except SystemExit as exit_:  # argparse's own way out
        return exit_.code if isinstance(exit_.code, int) else 2


def pixalot(*arguments, cwd: Path) -> subprocess.CompletedProcess:
    """The command run in this process from the folder `cwd`; gives what `launched` gives."""
    out, err = io.StringIO(), io.StringIO()
    with _as_a_process_would():
        os.chdir(cwd)
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = _main(arguments)
    return subprocess.CompletedProcess(arguments, status, out.getvalue(), err.getvalue())


def run_main(arguments, capsys) -> subprocess.CompletedProcess:
    """The command run in this process, in the working folder, its output taken from capsys."""
    with _as_a_process_would():
        status = _main(arguments)
    captured = capsys.readouterr()
    return subprocess.CompletedProcess(arguments, status, captured.out, captured.err)


def codes(mode: str, height: int = 24, width: int = 20, seed: int = 0) -> np.ndarray:
    """Code values for an image of `mode` that include both ends of the type's range."""
    channels = {"L": 1, "I;16": 1, "LA": 2, "RGB": 3, "RGBA": 4}[mode]
    top = CODE_MAX[mode]
    rng = np.random.default_rng(seed)
    values = rng.integers(0, top + 1, (height, width, channels), dtype=np.int64)
    values[0, 0], values[-1, -1] = 0, top
    values = values.astype(np.uint16 if mode == "I;16" else np.uint8)
    return values[..., 0] if channels == 1 else values


def colourful(seed: int = 1) -> np.ndarray:
    """Random RGB codes with a red cast: their channel means differ by about 0.1."""
    values = codes("RGB", seed=seed)
    values[..., 0] = values[..., 0] // 2 + 128
    return values


def save(path: Path, values: np.ndarray, **options) -> Path:
    Image.fromarray(values).save(path, **options)
    return path


def load(path: Path) -> tuple[str, np.ndarray]:
    with Image.open(path) as image:
        # Pillow before 10 opens 16-bit grey PNG files as 32-bit "I"; only 16-bit ones are made here.
        mode = "I;16" if image.mode.startswith("I;16") or image.mode == "I" else image.mode
        return mode, np.asarray(image).copy()


def colour_16_bit_png(path: Path, height: int = 3, width: int = 4) -> Path:
    """A 48-bit RGB PNG, written by hand since Pillow cannot make one."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    pixels = (np.arange(height * width * 3).reshape(height, width, 3) * 1000 + 7).astype(">u2")
    rows = b"".join(b"\0" + pixels[row].tobytes() for row in range(height))
    header = struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
                     + chunk(b"IEND", b""))
    return path


def sine_table(period: int, amplitude: float) -> np.ndarray:
    """The stripe wave computed independently, in float64: 6.28 radians over the period."""
    return amplitude * np.sin(np.arange(period) * 6.28 / period)


def assert_one_line_error(completed, status, *fragments):
    assert completed.returncode == status, completed
    lines = completed.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("pixalot"), completed.stderr
    for fragment in fragments:
        assert fragment in lines[0]
