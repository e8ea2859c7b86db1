"""A result is whole under its name or absent: a full disk (a file-size limit stands in for
one), or a write, sync, close or rename that fails, fails that file alone with one line and
leaves neither a cut-short result nor a temporary file; what stood under the name before an
--overwrite stays as it was."""

import errno
import os
import resource
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from cli_helpers import Image, codes, interpreter, launched, pixalot
from pixalot_cli.inputs import OUTPUT_MARK

tifffile = pytest.importorskip("tifffile")

# Every fault here is caused in a process of its own: a file-size limit, or calls failed by a
# preloaded library.
pytestmark = pytest.mark.launches

# Levels that change every pixel, so that no result is a copy of its input.
LEVELS = ["levels", "--in-low", "0.1", "--in-high", "0.9", "--no-progress"]


def make_inputs(folder: Path) -> None:
    """One input for each way the command writes a result."""
    rgb = codes("RGB", 48, 64, seed=5)
    Image.fromarray(rgb).save(folder / "photo.jpg", quality=90)  # Pillow, JPEG
    Image.fromarray(rgb).save(folder / "rgb.png")  # imagecodecs, PNG
    Image.fromarray(rgb).quantize(16).save(folder / "palette.png")  # Pillow, PNG
    Image.fromarray(rgb[:40]).save(folder / "plain.tif")  # Pillow, raw TIFF
    Image.fromarray(rgb).save(folder / "lzw.tif", compression="tiff_lzw")  # Pillow through libtiff
    tifffile.imwrite(folder / "deep.tif", rgb.astype(np.uint16) * 257, photometric="rgb")  # tifffile
    Image.fromarray(rgb[:32]).save(folder / "picture.bmp")
    Image.fromarray(rgb).save(folder / "picture.gif")
    Image.fromarray(rgb).save(folder / "lossless.webp", lossless=True)
    np.save(folder / "array.npy", rgb.astype(np.float32) / 255)  # NumPy


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """The inputs' folder, and each result as an unhindered run writes it: name -> bytes."""
    root = tmp_path_factory.mktemp("faults")
    (root / "in").mkdir()
    make_inputs(root / "in")
    completed = pixalot(*LEVELS, "in", "-o", "whole", cwd=root)
    assert (completed.returncode, completed.stderr) == (0, ""), completed
    results = {path.name: path.read_bytes() for path in (root / "whole").iterdir() if path.name != OUTPUT_MARK}
    assert len(results) == 10
    return root / "in", results


def limited(limit: int):
    def start() -> None:
        # The kernel cuts a write short at the limit, then fails the next with EFBIG (the
        # signal it would send otherwise is ignored, as on a full disk nothing is sent).
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    return start


def start_limited(arguments, cwd: Path, limit: int) -> subprocess.Popen:
    return subprocess.Popen(interpreter("-m", "pixalot_cli", *arguments), cwd=cwd, text=True,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=limited(limit))


def finished(process: subprocess.Popen) -> subprocess.CompletedProcess:
    try:
        out, err = process.communicate(timeout=180)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def test_a_size_limit_anywhere_in_a_result_fails_that_file_and_leaves_nothing(tmp_path, written):
    inputs, whole = written
    sizes = {name: len(data) for name, data in whole.items()}
    # One block, and just under each result's whole size: every result is cut at least once,
    # through its encoder's own way of writing, and others of the same run fit.
    limits = sorted({4096} | {size - 1 for size in sizes.values()})
    runs = [start_limited([*LEVELS, inputs, "-o", tmp_path / f"out-{limit}"], tmp_path, limit) for limit in limits]
    outcomes = [finished(process) for process in runs]  # every one ended before anything is judged
    for limit, completed in zip(limits, outcomes, strict=True):
        out = tmp_path / f"out-{limit}"
        too_big = sorted(name for name, size in sizes.items() if size > limit)
        assert completed.returncode == (1 if too_big else 0), (limit, completed)
        lines = completed.stderr.splitlines()
        assert sorted(line.split(": ")[1].rsplit("/", 1)[-1] for line in lines) == too_big, (limit, completed.stderr)
        assert all("File too large" in line for line in lines), completed.stderr
        left = {path.name: path.read_bytes() for path in out.glob("*") if path.name != OUTPUT_MARK}
        assert sorted(left) == sorted(set(sizes) - set(too_big)), f"limit {limit}: cut-short or temporary files left"
        assert all(data == whole[name] for name, data in left.items()), f"limit {limit}: a result that fits differs"


@pytest.fixture(scope="session")
def fault_shim(tmp_path_factory):
    """The fault-injection library, built with the system's C compiler."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the fault shim finds temporary files through /proc")
    if os.environ.get("PIXALOT_EMULATOR"):
        pytest.skip("the fault shim is built by this machine's C compiler, for its own processor, and an "
                    "emulated interpreter cannot preload it")
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler (cc) to build the fault shim")
    library = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    source = Path(__file__).with_name("fault_shim.c")
    built = subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-ldl"],
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return library


def with_fault(fault_shim: Path, call: str, at: int, code: int = errno.EIO) -> dict:
    preloaded = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(fault_shim)]))  # a sanitizer's first
    return {"LD_PRELOAD": preloaded, "FAULT_CALL": call, "FAULT_AT": str(at), "FAULT_ERRNO": str(code)}


FAULTS = [
    # (input, failing call, from its Nth call, errno)
    ("photo.jpg", "write", 1, errno.ENOSPC),  # Pillow's JPEG encoder
    ("deep.tif", "write", 2, errno.EIO),  # tifffile, after its header is out
    ("palette.png", "write", 1, errno.EFBIG),
    ("array.npy", "write", 2, errno.ENOSPC),
    ("photo.jpg", "fsync", 1, errno.EIO),
    ("photo.jpg", "folder-fsync", 1, errno.EIO),  # once the result has its name
    ("photo.jpg", "close", 1, errno.EIO),
    ("photo.jpg", "link", 1, errno.ENOSPC),
]


@pytest.mark.parametrize("name, call, at, code", FAULTS,
                         ids=[f"{c}{a}-{errno.errorcode[e]}-{n}" for n, c, a, e in FAULTS])
def test_a_failing_file_system_call_fails_the_file_and_leaves_nothing(tmp_path, written, fault_shim,
                                                                      name, call, at, code):
    inputs, _ = written
    completed = launched(*LEVELS, inputs / name, "-o", "out", cwd=tmp_path, env=with_fault(fault_shim, call, at, code))
    assert completed.returncode == 1, completed
    lines = completed.stderr.splitlines()
    assert len(lines) == 1 and f"cannot write out/{name}: {os.strerror(code)}" in lines[0], completed.stderr
    assert completed.stdout.splitlines()[-1] == "0 written, 1 failed"
    left = [path.name for path in (tmp_path / "out").iterdir()]
    assert left == [OUTPUT_MARK], "a result or a temporary file was left"


def test_a_failing_rename_keeps_the_file_that_overwrite_would_replace(tmp_path, written, fault_shim):
    inputs, _ = written
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "photo.jpg").write_bytes(b"the earlier result")
    completed = launched(*LEVELS, inputs / "photo.jpg", "-o", "out", "--overwrite", cwd=tmp_path,
                         env=with_fault(fault_shim, "rename", 1))
    assert completed.returncode == 1 and "Input/output error" in completed.stderr, completed
    assert [path.name for path in (tmp_path / "out").iterdir()] == ["photo.jpg"]
    assert (tmp_path / "out" / "photo.jpg").read_bytes() == b"the earlier result"


@pytest.mark.parametrize("name", ["photo.jpg", "array.npy"])
def test_a_short_write_is_carried_on_to_the_whole_result(tmp_path, written, fault_shim, name):
    inputs, whole = written
    completed = launched(*LEVELS, inputs / name, "-o", "out", cwd=tmp_path, env=with_fault(fault_shim, "short", 1))
    assert (completed.returncode, completed.stderr) == (0, ""), completed
    assert (tmp_path / "out" / name).read_bytes() == whole[name]
