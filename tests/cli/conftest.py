"""Files that many command-line tests start from."""

import contextlib
import os
import signal
import subprocess
import time

import pytest

import cli_helpers
from cli_helpers import codes, colourful, interpreter, save

# A suite started as a background job of a shell without job control inherits SIGINT ignored,
# and every process it starts would keep ignoring it (an ignored signal stays ignored across
# exec). The signal tests need the command as a terminal starts it: Ctrl-C delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_configure(config):
    config.addinivalue_line("markers", f"{cli_helpers.LAUNCHES}: the test starts a new interpreter "
                                       f"(skipped where {cli_helpers.SKIP_LAUNCHES} is set)")


# Most of the command's tests run it in the test's own process. Those that start a new
# interpreter (a pool, Dask, signals, faults injected by preloading, the console script) cost
# seconds a start under user-mode emulation: tools/wheels sets the variable for the emulated
# wheels, and these alone are skipped there, before their fixtures are made.
def pytest_collection_modifyitems(config, items):
    if not os.environ.get(cli_helpers.SKIP_LAUNCHES):
        return
    skip = pytest.mark.skip(reason=f"starts a new interpreter, which runs emulated here at seconds a start "
                                   f"({cli_helpers.SKIP_LAUNCHES} is set)")
    for item in items:
        if item.get_closest_marker(cli_helpers.LAUNCHES):
            item.add_marker(skip)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    cli_helpers.running_marked_test = item.get_closest_marker(cli_helpers.LAUNCHES) is not None


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
    processes = [subprocess.Popen(interpreter("-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                              "--port", "0", "--dashboard-address", "127.0.0.1:0",
                                              "--scheduler-file", address_file), **common)]
    try:
        processes.append(subprocess.Popen(interpreter("-m", "distributed.cli.dask_worker", "--scheduler-file",
                                                      address_file, "--nworkers", "2", "--nthreads", "1",
                                                      "--host", "127.0.0.1", "--no-dashboard"), **common))
        from dask.distributed import Client

        # Each of these processes imports Dask, in about a second natively; an emulated one
        # (run where the launching tests are not skipped) is given ten times as long.
        slow = 10 if os.environ.get("PIXALOT_EMULATOR") else 1
        deadline = time.monotonic() + 60 * slow
        while not address_file.exists():
            assert time.monotonic() < deadline, "the Dask scheduler did not start"
            time.sleep(0.2)
        with Client(scheduler_file=str(address_file), timeout=f"{30 * slow}s") as client:
            client.wait_for_workers(2, timeout=60 * slow)
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
