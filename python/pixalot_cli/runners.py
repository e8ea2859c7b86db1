"""Runs one job over many tasks: here, on a local process pool, or on a Dask cluster.

Every runner yields the outcomes in the order of the tasks, so output is the same whichever
runs it.
"""

from __future__ import annotations

import contextlib
import functools
import multiprocessing
import os
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Generator, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from . import placing
from .inputs import Task, UsageError
from .jobs import Outcome

Job = Callable[[Task], Outcome]


def run_here(job: Job, tasks: Sequence[Task]) -> Generator[Outcome]:
    for task in tasks:
        yield job(task)


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: the batch ends as Ctrl-C ends it (a BaseException, so that
    no handler of per-file failures takes it for one)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum: int, frame: object) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def stopping_on_signals() -> Iterator[None]:
    """A closed terminal, a timeout or `kill` unwind the batch like Ctrl-C does, so that
    temporary files are removed and the pool's processes are ended."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread may handle signals; whoever runs us there keeps theirs
        return
    saved = {signum: signal.signal(signum, _raise_stopped) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


_busy = False


def _worker_signal(signum: int, frame: object) -> None:
    if _busy:
        raise Stopped(signum)  # unwinds the file being written, which removes its temporary file
    os._exit(128 + signum)


def _worker_start() -> None:
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _worker_signal)


def _guarded(job: Job, task: Task) -> Outcome:
    global _busy
    _busy = True
    try:
        outcome: Outcome = job(task)
        return outcome
    except (Stopped, KeyboardInterrupt) as stop:
        # Nobody waits for this file's outcome any more; a traceback would only clutter.
        placing.remove_pending()
        os._exit(128 + getattr(stop, "signum", signal.SIGINT))
    finally:
        _busy = False


def _pool_context() -> multiprocessing.context.BaseContext:
    # Forking is instant and the children have everything imported already, but a forked
    # child inherits the parent's other threads (tqdm's monitor, Dask's event loop) in
    # whatever state they were: only a single-threaded process forks. Otherwise the fork
    # server starts clean children, at the cost of an interpreter start.
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    if "forkserver" not in methods:
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["pixalot_cli.jobs"])
    return context


def run_on_pool(job: Job, tasks: Sequence[Task], workers: int) -> Generator[Outcome]:
    """Starts the pool at once (before a progress bar's thread exists, so that it may fork),
    and gives the outcomes as they come."""
    # Small chunks keep the progress bar moving and the workers evenly loaded.
    chunk = max(1, min(16, len(tasks) // (workers * 8)))
    sys.stdout.flush()  # a forked child must not write out the parent's buffered lines again
    sys.stderr.flush()
    try:
        with warnings.catch_warnings():
            # Python warns of forking beside threads that it counts in the whole process,
            # such as a BLAS library's idle pool, which registers its own fork handlers.
            warnings.simplefilter("ignore", DeprecationWarning)
            pool = ProcessPoolExecutor(max_workers=workers, mp_context=_pool_context(), initializer=_worker_start)
            outcomes = pool.map(functools.partial(_guarded, job), tasks, chunksize=chunk)
    except (OSError, NotImplementedError) as error:  # e.g. no /dev/shm for its semaphores
        raise UsageError(f"cannot start a pool of {workers} processes (-j): {error}") from None
    return _pool_outcomes(pool, outcomes)


def _pool_outcomes(pool: ProcessPoolExecutor, outcomes: Iterator[Outcome]) -> Generator[Outcome]:
    try:
        yield from outcomes
    except BaseException:
        # Interrupted: the workers are told to stop (each removes the temporary file it was
        # writing), and are waited for, so that none outlives the command.
        processes = list((getattr(pool, "_processes", None) or {}).values())
        for process in processes:
            with contextlib.suppress(OSError):
                process.terminate()
        pool.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            process.join(10)
        raise
    pool.shutdown()


def _keep_dask_off_stderr() -> None:
    """Dask's processes log their own start-up, shut-down and cancellation chatter, and an
    interrupt makes them print tracebacks, from threads and processes and atexit hooks the
    command does not control; the command's stderr is for the user's files and says in one
    line that it was interrupted. So, for the rest of the process, file descriptor 2 (which
    every Dask logger and child process writes to) goes to /dev/null, and the command's own
    messages go to a duplicate of the real stderr."""
    if getattr(sys.stderr, "_pixalot_own", False):
        return
    sys.stderr.flush()
    own = os.fdopen(os.dup(2), "w", encoding=sys.stderr.encoding, errors=sys.stderr.errors,
                    buffering=1)
    own._pixalot_own = True  # type: ignore[attr-defined]
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    sys.stderr = own


@contextlib.contextmanager
def dask_client(address: str, workers: int | None) -> Iterator[Any]:
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise UsageError("--dask needs Dask's distributed scheduler: pip install 'pixalot[dask]' "
                         "(from a source checkout: pip install '.[dask]')") from None
    _keep_dask_off_stderr()
    if address == "local":
        # pixalot holds the interpreter lock for a whole call: processes, not threads, run
        # files side by side.
        # The scheduler serves HTTP whatever is asked; on a free port of this machine only,
        # it neither collides with another cluster's nor is reachable from elsewhere.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                               host="127.0.0.1", dashboard_address="127.0.0.1:0")
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    try:
        client = Client(address, timeout="10s")  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        yield client


def run_on_dask(job: Job, tasks: Sequence[Task], client: Any) -> Generator[Outcome]:
    futures = client.map(job, tasks, pure=False)
    try:
        for future in futures:
            yield future.result()
    finally:
        client.cancel(futures)


@contextlib.contextmanager
def progress(total: int, enabled: bool, unit: str = "file") -> Iterator[Any]:
    """A tqdm bar on stderr, only when stderr is a terminal: redirected output stays clean."""
    bar = None
    if enabled and total > 1 and sys.stderr.isatty():
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            tqdm = None
        if tqdm is not None:
            bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True)
    try:
        yield bar
    finally:
        if bar is not None:
            bar.close()


def say(bar: Any, text: str, to_stderr: bool = False) -> None:
    """Prints a line above a live progress bar instead of through it; at once, also into a
    pipe, so that whoever reads it (tee, a log) sees each file as it is done."""
    stream = sys.stderr if to_stderr else sys.stdout
    if bar is not None:
        bar.write(text, file=stream)
    else:
        print(text, file=stream, flush=True)
