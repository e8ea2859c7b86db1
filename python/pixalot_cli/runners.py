"""Runs one job over many tasks: here, on a local process pool, or on a Dask cluster.

Every runner yields the outcomes in the order of the tasks, so output is the same whichever
runs it.
"""

from __future__ import annotations

import contextlib
import logging
import multiprocessing
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import TypeVar

from .inputs import Task, UsageError

Outcome = TypeVar("Outcome")
Job = Callable[[Task], Outcome]


def run_here(job: Job, tasks: Sequence[Task]) -> Iterator[Outcome]:
    for task in tasks:
        yield job(task)


def _pool_context():
    # A forked child would inherit the threads of the parent (tqdm's monitor, Dask's event
    # loop) in whatever state they were; the fork server starts clean children cheaply.
    try:
        context = multiprocessing.get_context("forkserver")
    except ValueError:
        return multiprocessing.get_context("spawn")
    context.set_forkserver_preload(["pixalot_cli.jobs"])
    return context


def run_on_pool(job: Job, tasks: Sequence[Task], workers: int) -> Iterator[Outcome]:
    # Small chunks keep the progress bar moving and the workers evenly loaded.
    chunk = max(1, min(16, len(tasks) // (workers * 8)))
    try:
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=_pool_context())
    except (OSError, NotImplementedError) as error:  # e.g. no /dev/shm for its semaphores
        raise UsageError(f"cannot start a pool of {workers} processes (-j): {error}") from None
    with pool:
        yield from pool.map(job, tasks, chunksize=chunk)


@contextlib.contextmanager
def dask_client(address: str, workers: int | None):
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise UsageError("--dask needs Dask's distributed scheduler: pip install 'pixalot[dask]'") from None
    # Dask logs its own start-up and shut-down chatter at INFO and WARNING; the command's
    # stderr is for the user's files.
    logging.getLogger("distributed").setLevel(logging.ERROR)
    if address == "local":
        # pixalot holds the interpreter lock for a whole call: processes, not threads, run
        # files side by side.
        # The scheduler serves HTTP whatever is asked; on a free port of this machine only,
        # it neither collides with another cluster's nor is reachable from elsewhere.
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
            yield client
        return
    try:
        client = Client(address, timeout="10s")
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        yield client


def run_on_dask(job: Job, tasks: Sequence[Task], client) -> Iterator[Outcome]:
    futures = client.map(job, tasks, pure=False)
    try:
        for future in futures:
            yield future.result()
    finally:
        client.cancel(futures)


@contextlib.contextmanager
def progress(total: int, enabled: bool, unit: str = "file"):
    """A tqdm bar on stderr, only when stderr is a terminal: redirected output stays clean."""
    bar = None
    if enabled and total > 1 and sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True)
    try:
        yield bar
    finally:
        if bar is not None:
            bar.close()


def say(bar, text: str, to_stderr: bool = False) -> None:
    """Prints a line above a live progress bar instead of through it."""
    stream = sys.stderr if to_stderr else sys.stdout
    if bar is not None:
        bar.write(text, file=stream)
    else:
        print(text, file=stream, flush=to_stderr)
