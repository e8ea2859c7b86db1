"""--threads: the count reaches every process that computes before it imports pixalot, -j
processes share the CPUs under auto, more threads than CPUs are honoured and said, and the
results are the bits of one thread."""

import importlib
import os
import subprocess

import numpy as np
import pytest

from cli_helpers import assert_one_line_error, interpreter, launched, pixalot

# This process has the module imported, as a program that embeds the command may have.
importlib.import_module("pixalot")

# Loaded by every interpreter that the command starts (its own, the pool's spawned workers,
# Dask's fork server) and inherited by those it forks. After each call into pixalot it notes
# how many threads the process has gained since its first call that take no signals:
# pixalot's workers block them all, while the interpreter's, NumPy's and Dask's threads take
# them (and an emulator's own threads, which may block them too, are there before).
COUNTER = """
import os
import signal
from pixalot_cli import calls

_call = calls.call
_BLOCKED = 0
for _signal in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGUSR1):
    _BLOCKED |= 1 << (_signal - 1)
_before = None  # (pid, the threads taking no signals before its first call)

def _deaf_threads():
    found = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                mask = next(int(line.split()[1], 16) for line in status if line.startswith("SigBlk:"))
        except (OSError, StopIteration):
            continue  # a thread that ended meanwhile
        if mask & _BLOCKED == _BLOCKED:
            found.add(task)
    return found

def _counted(*arguments, **keywords):
    global _before
    if _before is None or _before[0] != os.getpid():  # a forked child counts from its own start
        _before = os.getpid(), _deaf_threads()
    try:
        return _call(*arguments, **keywords)
    finally:
        with open(os.environ["PIXALOT_TEST_THREADS_NOTE"], "a") as note:
            note.write(f"{os.getpid()} {len(_deaf_threads() - _before[1])}\\n")

calls.call = _counted
"""

FORK_SERVER_FIRST = ("import multiprocessing.forkserver, sys; multiprocessing.forkserver.ensure_running(); "
                     "from pixalot_cli.cli import main; sys.exit(main())")

# The command's processes inherit this process's affinity mask.
USABLE = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """Two float images of 640×640×3 values, above the 1 Mi that pixalot splits from, and
    their results computed in this process without --threads (on one thread unless
    PIXALOT_NUM_THREADS says otherwise here)."""
    folder = tmp_path_factory.mktemp("large")
    rng = np.random.default_rng(7)
    (folder / "in").mkdir()
    for name in ("a", "b"):
        values = rng.random((640, 640, 3), dtype=np.float32)
        values[0, 0] = [np.nan, np.inf, -0.0]
        np.save(folder / "in" / f"{name}.npy", values)
    (folder / "counter").mkdir()
    (folder / "counter" / "sitecustomize.py").write_text(COUNTER)
    references = {}
    for command in ("levels", "stripes", "gray"):
        output = [] if command == "gray" else ["-o", folder / f"reference-{command}"]
        completed = pixalot(command, "in", *output, cwd=folder)
        assert completed.returncode == 0, completed.stderr
        references[command] = completed.stdout
    return folder, references


@pytest.mark.launches
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
@pytest.mark.parametrize("command, runner, threads, environment, processes, each", [
    ("stripes", [], "3", {}, 1, 3),
    ("stripes", [], "auto", {}, 1, min(USABLE, 640)),
    ("levels", ["-j", "2"], "2", {}, 2, 2),
    ("levels", ["-j", "2"], "auto", {}, 2, max(1, USABLE // 2)),
    ("gray", ["--dask", "local"], "2", {}, 1, 2),
    # Without --threads the environment's setting goes through as it is.
    ("stripes", ["-j", "2"], None, {"PIXALOT_NUM_THREADS": "2"}, 2, 2),
], ids=["here-3", "here-auto", "pool-2", "pool-auto", "dask-local-2", "pool-environment"])
def test_every_computing_process_gets_the_count_before_it_imports_pixalot(tmp_path, large, command, runner, threads,
                                                                          environment, processes, each):
    if "--dask" in runner:
        pytest.importorskip("dask.distributed")
    folder, references = large
    note = tmp_path / "threads"
    output = [] if command == "gray" else ["-o", tmp_path / "out"]
    given = [] if threads is None else ["--threads", threads]
    arguments = [command, "in", *output, *runner, *given, "--no-progress"]
    environment = {"PIXALOT_TEST_THREADS_NOTE": str(note), "PIXALOT_NUM_THREADS": "",
                   "PYTHONPATH": os.pathsep.join([str(folder / "counter"), os.environ.get("PYTHONPATH", "")]),
                   **environment}
    if "--dask" in runner:
        # Dask's workers fork from the process-wide fork server, here one started before the
        # command set the count, as a program that embeds the command may have done.
        completed = subprocess.run(interpreter("-W", "error::DeprecationWarning", "-c", FORK_SERVER_FIRST, *arguments),
                                   cwd=folder, capture_output=True, text=True, timeout=180,
                                   env={**os.environ, **environment})
    else:
        completed = launched(*arguments, cwd=folder, env=environment)
    assert completed.returncode == 0, completed.stderr
    # pixalot starts each process's workers on the first call that splits and keeps them.
    workers: dict[int, int] = {}
    for line in note.read_text().splitlines():
        pid, count = map(int, line.split())
        workers[pid] = max(count, workers.get(pid, 0))
    assert sorted(workers.values()) == [each - 1] * processes, workers
    oversubscribed = threads not in (None, "auto") and processes * each > USABLE
    assert [line for line in completed.stderr.splitlines() if ": note: " in line] == (
        [f"pixalot {command}: note: {'-j 2 with ' if processes > 1 else ''}--threads {each} makes "
         f"{processes * each} threads on {USABLE} usable CPU{'' if USABLE == 1 else 's'} "
         f"(--threads auto shares them out)"] if oversubscribed else [])
    assert completed.stderr.count("\n") == oversubscribed, completed.stderr
    assert completed.stdout.replace(f"{tmp_path}/out", "OUT") == \
        references[command].replace(f"reference-{command}", "OUT")
    if command != "gray":
        for name in ("a.npy", "b.npy"):
            assert (tmp_path / "out" / name).read_bytes() == (folder / f"reference-{command}" / name).read_bytes()


@pytest.mark.parametrize("asked, processes, usable, each", [
    (0, 1, 8, 8), (0, 3, 8, 2), (0, 16, 8, 1), (5, 4, 2, 5),
])
def test_auto_shares_the_usable_cpus_out_among_the_processes(asked, processes, usable, each):
    from pixalot_cli.threads import per_process

    assert per_process(asked, processes, usable) == each


@pytest.mark.parametrize("arguments, fragment", [
    (["levels", "--threads", "2", "in"], "pixalot is already imported in this process"),
    (["gray", "--threads", "auto", "-j", "2", "in"], "pixalot is already imported in this process"),
    (["stripes", "--threads", "2", "--dask", "tcp://127.0.0.1:1", "in"],
     "cannot reach the workers of a running Dask cluster: set PIXALOT_NUM_THREADS in the environment they are "
     "started with"),
], ids=["imported", "imported-pool", "running-dask"])
def test_a_count_that_cannot_take_effect_is_refused_not_ignored(tmp_path, arguments, fragment):
    before = os.environ.get("PIXALOT_NUM_THREADS")
    completed = pixalot(*arguments, cwd=tmp_path)
    assert_one_line_error(completed, 2, fragment)
    assert os.environ.get("PIXALOT_NUM_THREADS") == before
