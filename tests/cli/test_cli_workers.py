"""Batches that outlive a dead worker, workers that do not outlive the command, and temporary
files that a killed writer left: real SIGKILLs, at points a test-only stall makes known."""

import contextlib
import fcntl
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from cli_helpers import codes, interpreter, load, pixalot, run_main, save
from pixalot_cli import placing
from pixalot_cli.formats import files
from pixalot_cli.inputs import OUTPUT_MARK

NAMES = [f"{index}.png" for index in range(6)]


@pytest.fixture
def batch(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for index, name in enumerate(NAMES):
        save(folder / name, codes("RGB", 16, 12, seed=index))
    return folder


@contextlib.contextmanager
def started(arguments, cwd, stall=None, env=(), threaded=False):
    """The command in a session of its own, whose first writer of the result named `stall`
    waits there; the whole session is killed on the way out, whatever the test did.
    `threaded`: another thread runs in the command's process, which then does not fork."""
    environment = {**os.environ, **dict(env)}
    if "ASAN_OPTIONS" in environment:
        # Under the sanitizer a crash of a worker is the test's doing, not the code's: let
        # the kernel end it as it would without the sanitizer.
        environment["ASAN_OPTIONS"] += ":handle_segv=0"
    if stall:
        environment["PIXALOT_TEST_STALL"] = f"{stall}:{cwd / 'stalled.pid'}"
    entry = (["-c", "import sys, threading, time; threading.Thread(target=time.sleep, args=(300,), daemon=True)"
                    ".start(); from pixalot_cli.cli import main; sys.exit(main())"] if threaded
             else ["-m", "pixalot_cli"])
    process = subprocess.Popen(interpreter(*entry, *arguments), cwd=cwd,
                               env=environment, start_new_session=True, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        yield process
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.communicate()


def stalled_writer(cwd, process) -> int:
    note = cwd / "stalled.pid"
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline:
        with contextlib.suppress(FileNotFoundError, ValueError):
            return int(note.read_text())
        assert process.poll() is None, process.communicate()
        time.sleep(0.05)
    raise AssertionError("no writer reached the stall")


def living(group: int) -> list[int]:
    """The processes of a process group that are not dead (a dead one may wait as a zombie
    until whoever adopted it reaps it)."""
    found = []
    for entry in os.listdir("/proc"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            fields = open(f"/proc/{entry}/stat").read().rpartition(")")[2].split()
            if int(fields[2]) == group and fields[0] != "Z":
                found.append(int(entry))
    return found


def group_gone(group: int, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while living(group):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def temporary_files(folder):
    return sorted(path.name for path in folder.iterdir() if placing.is_temporary(path.name))


def left_in(folder):
    """What a run left in its output folder, beside the mark it leaves in every one."""
    return sorted(path.name for path in folder.iterdir() if path.name != OUTPUT_MARK)


@pytest.mark.launches
@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGSEGV], ids=lambda s: s.name)
def test_a_dead_pool_worker_fails_only_its_file_and_the_batch_goes_on(tmp_path, batch, signum):
    with started(["levels", "in", "-o", "out", "-j", "2", "--no-progress"], tmp_path, stall="2.png") as process:
        os.kill(stalled_writer(tmp_path, process), signum)
        output, errors = process.communicate(timeout=120)
    assert process.returncode == 1
    assert errors == (f"pixalot levels: in/2.png: the worker process working on it died "
                      f"(killed by {signum.name}); not retried\n")
    assert output.splitlines()[-1] == "5 written, 1 failed"
    written = left_in(tmp_path / "out")
    assert written == [name for name in NAMES if name != "2.png"], "the dead worker's temporary file stays"
    for name in written:
        assert load(tmp_path / "out" / name)[1].shape == (16, 12, 3)


@pytest.mark.launches
@pytest.mark.skipif(sys.platform != "linux", reason="reads the processes from /proc")
@pytest.mark.parametrize("threaded", [False, True], ids=["forked", "spawned"])
def test_pool_workers_end_when_the_command_is_killed(tmp_path, batch, threaded):
    with started(["levels", "in", "-o", "out", "-j", "2", "--no-progress"], tmp_path, stall="2.png",
                 threaded=threaded) as process:
        stalled_writer(tmp_path, process)
        process.kill()
        process.wait()
        assert group_gone(process.pid, 15), "a worker outlived the command"
    # The stalled worker was told by the kernel, and removed what it was writing.
    assert temporary_files(tmp_path / "out") == []


dask = pytest.mark.skipif(not __import__("importlib.util").util.find_spec("distributed"), reason="no Dask")


@dask
@pytest.mark.launches
@pytest.mark.parametrize("allowed_failures, status, verdict", [
    ("3", 0, None),
    ("0", 1, "every Dask worker that took it died, and the scheduler gave up on it"),
], ids=["retried", "given-up"])
def test_a_lost_dask_workers_file_is_retried_or_failed_never_dropped(tmp_path, batch, allowed_failures, status,
                                                                      verdict):
    with started(["levels", "in", "-o", "out", "--dask", "local", "-j", "2", "--no-progress"], tmp_path,
                 stall="0.png", env={"DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": allowed_failures,
                                     # One file at a time per worker, the first file first: the
                                     # dead one holds 0.png alone, and no outcome of another.
                                     "DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION": "1.0"}) as process:
        stalled = stalled_writer(tmp_path, process)
        os.kill(stalled, signal.SIGKILL)
        output, errors = process.communicate(timeout=120)
    assert process.returncode == status, errors
    removals = [line for line in errors.splitlines() if " removed " in line]
    # A Dask worker dies without a word: what it was writing is removed, and said, at the end.
    assert len(removals) == 1 and re.fullmatch(r"pixalot levels: removed out/\.0\.png\.[0-9a-f]{16}\.part, "
                                               r"a temporary file whose writer was killed", removals[0]), errors
    assert [line for line in errors.splitlines() if line not in removals] == (
        [f"pixalot levels: in/0.png: {verdict}"] if verdict else [])
    assert output.splitlines()[-1] == ("6 written" if status == 0 else "5 written, 1 failed")
    assert temporary_files(tmp_path / "out") == []
    assert len(left_in(tmp_path / "out")) == (6 if status == 0 else 5)


@pytest.mark.parametrize("name, temporary", [
    (".a.png.0123456789abcdef.part", True),
    (".NAME WITH SPACES.tif.fedcba9876543210.part", True),
    (".a.png.part", False),
    (".a.png.0123456789ABCDEF.part", False),  # upper-case hex is none of ours
    (".a.png.0123456789abcde.part", False),
    ("a.png.0123456789abcdef.part", False),  # not hidden
    (".a.png.0123456789abcdef.part.png", False),
])
def test_temporary_files_are_told_by_their_shape(name, temporary):
    assert placing.is_temporary(name) is temporary


@pytest.mark.parametrize("beside", [False, True], ids=["output-folder", "beside-inputs"])
def test_the_next_run_removes_a_killed_runs_temporary_files_and_keeps_a_live_ones(tmp_path, photos, beside):
    folder = photos if beside else tmp_path / "out"
    folder.mkdir(exist_ok=True)
    first, second = ("a-levels.png", "b-levels.png") if beside else ("a.png", "b.png")
    (tmp_path / "elsewhere.png").write_bytes(b"keep")
    planted = {
        f".{first}.0123456789abcdef.part": "stale",
        f".{second}.00000000deadbeef.part": "live",
        ".z.png.2222222222222222.part": "another name's",  # not a result of this run: said, kept
        f".{first}.1111111111111111.part": "link",
        f".{first}.part": "not of that shape",
    }
    for name, kind in planted.items():
        if kind == "link":
            (folder / name).symlink_to(tmp_path / "elsewhere.png")
        else:
            (folder / name).write_bytes(b"half a picture")
    with open(folder / f".{second}.00000000deadbeef.part", "rb") as live:
        fcntl.flock(live, fcntl.LOCK_EX)  # as the writer of a run still going holds it
        # A lock is held by an open file, not by a process: this one's holds against the command's own.
        completed = pixalot("levels", "photos", "--no-progress", *([] if beside else ["-o", "out"]), cwd=tmp_path)
    output, errors = completed.stdout, completed.stderr
    assert completed.returncode == 0, errors
    assert errors.splitlines() == [
        f"pixalot levels: removed {folder.name}/.{first}.0123456789abcdef.part, a temporary file whose writer "
        f"was killed",
        f"pixalot levels: {folder.name}/.z.png.2222222222222222.part looks like a temporary file whose writer "
        f"was killed (left alone: remove it unless a program is writing it)"]
    assert output.splitlines()[-1] == "2 written"
    assert sorted(set(planted) & {path.name for path in folder.iterdir()}) == sorted(
        name for name, kind in planted.items() if kind != "stale")
    assert (tmp_path / "elsewhere.png").read_bytes() == b"keep"


class CutShort:
    """A signal landing as the write's block ends, before the rename: the temporary file's
    own clean-up never runs (the generator is kept, as a traceback may keep it)."""

    kept = []

    def __init__(self, real):
        self.real = real

    def __enter__(self):
        return self.real.__enter__()

    def __exit__(self, *exception):
        CutShort.kept.append(self.real)
        raise KeyboardInterrupt


class SecondSignal:
    """The first removal of a temporary file is cut short by a second signal (a terminal
    sends SIGHUP after SIGTERM; Ctrl-C reaches every process of a pool, then the pool's
    SIGTERM does)."""

    def __init__(self, unlink):
        self.unlink, self.calls = unlink, 0

    def __call__(self, path, *arguments, **options):
        self.calls += 1
        if self.calls == 1 and placing.is_temporary(os.path.basename(path)):
            raise KeyboardInterrupt
        return self.unlink(path, *arguments, **options)


@pytest.fixture
def signal_handlers():
    """The command, ending on an interrupt, ignores further signals: not in the test's process."""
    saved = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    yield
    for signum, handler in saved.items():
        signal.signal(signum, handler)


@pytest.mark.parametrize("gap", ["after-the-write", "during-the-clean-up"])
def test_an_interrupt_outside_the_write_leaves_no_temporary_file(tmp_path, photos, monkeypatch, capsys,
                                                                  signal_handlers, gap):
    if gap == "after-the-write":
        monkeypatch.setattr(files, "placed", lambda *arguments: CutShort(placing.placed(*arguments)))
    else:
        def interrupted_write(*arguments):
            raise KeyboardInterrupt

        monkeypatch.setattr(files, "_write_integer", interrupted_write)
        monkeypatch.setattr(os, "unlink", SecondSignal(os.unlink))
    try:
        completed = run_main(["levels", photos / "a.png", "-o", tmp_path / "out"], capsys)
        assert (completed.returncode, completed.stderr) == (128 + signal.SIGINT, "pixalot: interrupted\n")
        assert left_in(tmp_path / "out") == []
    finally:
        monkeypatch.undo()
        for manager in CutShort.kept:
            manager.gen.close()
        CutShort.kept.clear()


WORKER_CLEANING_UP = """
import os, signal, sys
from pathlib import Path
from pixalot_cli import placing, runners

later = [int(number) for number in sys.argv[2:]]
unlink = os.unlink

def interrupted_unlink(path, *arguments, **options):
    if later:  # more signals, each landing as a removal starts
        os.kill(os.getpid(), later.pop(0))
    unlink(path, *arguments, **options)

def job(task):
    with placing.placed(Path(sys.argv[1]) / "r.png", False, set(), "r.png") as file:
        file.write(b"half a picture")
        os.kill(os.getpid(), signal.SIGINT)

os.unlink = interrupted_unlink
for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(signum, runners._worker_signal)
runners._guarded(job, None)
"""


@pytest.mark.launches
@pytest.mark.parametrize("later", [[signal.SIGTERM], [signal.SIGTERM, signal.SIGHUP], [signal.SIGINT] * 3],
                         ids=lambda signals: "-".join(signum.name for signum in signals))
def test_a_pool_worker_cleans_up_whatever_signals_follow_the_first(tmp_path, later):
    """Ctrl-C reaches every process of the pool, the pool then sends SIGTERM, a closing
    terminal SIGHUP: the worker's removal of what it was writing must not be cut short."""
    completed = subprocess.run(interpreter("-c", WORKER_CLEANING_UP, tmp_path, *later),
                               capture_output=True, text=True, timeout=60)
    assert (completed.returncode, completed.stderr) == (128 + signal.SIGINT, "")
    assert list(tmp_path.iterdir()) == []
