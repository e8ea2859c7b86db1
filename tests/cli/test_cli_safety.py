"""No input is ever written over and no result is ever seen half-written: links in the way,
and batches ended by signals."""

import os
import signal
import subprocess
import time

import pytest

from cli_helpers import assert_one_line_error, codes, interpreter, load, pixalot, save


def test_a_hard_link_to_an_input_is_refused_as_the_input_itself(tmp_path, photos):
    (tmp_path / "out").mkdir()
    os.link(photos / "a.png", tmp_path / "out" / "a.png")
    before = (photos / "a.png").read_bytes()
    completed = pixalot("levels", "photos/a.png", "-o", "out", "--overwrite", cwd=tmp_path)
    assert_one_line_error(completed, 1, "refusing to write out/a.png: it is one of the inputs")
    assert (photos / "a.png").read_bytes() == before


def test_a_link_under_a_results_name_is_replaced_never_followed(tmp_path, photos):
    (tmp_path / "out").mkdir()
    (tmp_path / "victim.txt").write_text("keep me")
    (tmp_path / "out" / "a.png").symlink_to("../victim.txt")
    completed = pixalot("levels", "photos/a.png", "-o", "out", "--overwrite", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert (tmp_path / "victim.txt").read_text() == "keep me"
    assert not (tmp_path / "out" / "a.png").is_symlink()
    assert load(tmp_path / "out" / "a.png")[1].shape == (24, 20, 3)


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """Enough files that a batch is still running when a signal comes."""
    folder = tmp_path_factory.mktemp("batch") / "in"
    folder.mkdir()
    for index in range(40):
        save(folder / f"{index:02}.png", codes("RGB", 480, 480, seed=index))
    return folder


def gone(group: int, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.killpg(group, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


def run_until_first_result(arguments, cwd, signum):
    """Starts the command in a session of its own, and sends `signum` once a result is out."""
    process = subprocess.Popen(interpreter("-m", "pixalot_cli", *arguments), cwd=cwd, start_new_session=True,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        process.send_signal(signum)
        rest, errors = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    return process, first + rest, errors


@pytest.mark.launches
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
@pytest.mark.parametrize("workers", ["1", "2"])
def test_a_signal_ends_the_batch_cleanly(tmp_path, batch, signum, workers):
    process, output, errors = run_until_first_result(
        ["levels", str(batch), "-o", "out", "-j", workers, "--no-progress"], tmp_path, signum)
    assert process.returncode == 128 + signum, errors
    name = "interrupted" if signum == signal.SIGINT else f"stopped by {signum.name}"
    assert errors == f"pixalot: {name}\n"
    assert "40 written" not in output, "the batch was over before the signal came: make it longer"
    assert gone(process.pid, 15), "a worker or helper process outlived the command"
    written = sorted(path for path in (tmp_path / "out").iterdir() if path.name != ".pixalot-results")
    assert [path.name for path in written if not path.name.endswith(".png") or path.name.startswith(".")] == []
    for path in written:
        assert load(path)[1].shape == (480, 480, 3), f"{path.name} is not a whole image"


@pytest.mark.launches
def test_an_interrupted_dask_run_says_one_line(tmp_path, batch):
    pytest.importorskip("dask.distributed")
    process, _, errors = run_until_first_result(
        ["gray", "--dask", "local", "-j", "1", str(batch)], tmp_path, signal.SIGINT)
    assert (process.returncode, errors) == (128 + signal.SIGINT, "pixalot: interrupted\n")
    assert gone(process.pid, 30)
