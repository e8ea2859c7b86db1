"""Files that many command-line tests start from."""

import contextlib
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cli_helpers import codes, colourful, save

# A suite started as a background job of a shell without job control inherits SIGINT ignored,
# and every process it starts would keep ignoring it (an ignored signal stays ignored across
# exec). The signal tests need the command as a terminal starts it: Ctrl-C delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


# The command's tests start new interpreters (sys.executable) for the pool, signals and faults,
# and run the rest in one process that emulation makes slow. Under user-mode emulation each
# start costs seconds, so tools/wheels runs these on one aarch64 wheel only and sets this
# variable for the others; the module's suite runs on every one.
EMULATED_SKIP = "PIXALOT_SKIP_COMMAND_TESTS"
HERE = Path(__file__).parent


def pytest_collection_modifyitems(config, items):
    if not os.environ.get(EMULATED_SKIP):
        return
    skip = pytest.mark.skip(reason=f"starts the command as a subprocess of sys.executable, which runs "
                                   f"emulated here at seconds a start ({EMULATED_SKIP} is set)")
    for item in items:
        if HERE in item.path.parents:
            item.add_marker(skip)


@pytest.fixture
def photos(tmp_path):
    """A folder of two small images, one colour and one grey."""
    folder = tmp_path / "photos"
    folder.mkdir()
    save(folder / "a.png", colourful())
    save(folder / "b.png", codes("L"))
    return folder


@pytest.fixture(scope="session")
def dask_cluster(tmp_path_factory):
    """A Dask scheduler and two worker processes, started as their own programs on
    127.0.0.1 as an operator would start them, and ended with the session: the address."""
    pytest.importorskip("dask.distributed")
    folder = tmp_path_factory.mktemp("dask")
    address_file = folder / "scheduler.json"
    common = dict(cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                  start_new_session=True)
    processes = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                   "--port", "0", "--dashboard-address", "127.0.0.1:0",
                                   "--scheduler-file", str(address_file)], **common)]
    try:
        processes.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                                           str(address_file), "--nworkers", "2", "--nthreads", "1", "--host",
                                           "127.0.0.1", "--no-dashboard"], **common))
        from dask.distributed import Client

        deadline = time.monotonic() + 60
        while not address_file.exists():
            assert time.monotonic() < deadline, "the Dask scheduler did not start"
            time.sleep(0.2)
        with Client(scheduler_file=str(address_file), timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
        yield address
    finally:
        for process in reversed(processes):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
