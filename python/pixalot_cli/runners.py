"""Runs one job over many tasks: here, on a local process pool, or on a Dask cluster.

Every runner yields the outcomes in the order of the tasks, so output is the same whichever
runs it.
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import dataclasses
import multiprocessing
import os
import signal
import sys
import threading
import warnings
from collections.abc import Generator, Iterator, Sequence
from multiprocessing.connection import Connection, wait
from typing import Any

from . import placing, threads
from .errors import Stopped, UsageError
from .inputs import Job, Outcome, Task


@contextlib.contextmanager
def outcomes(job: Job, tasks: Sequence[Task], dask: str | None, workers: int) -> Iterator[Iterator[Outcome]]:
    """The outcomes of `job` over `tasks`, in their order, from whichever runner the options
    (--dask, -j) ask for."""
    if dask:
        with dask_client(dask, workers) as client, contextlib.closing(run_on_dask(job, tasks, client)) as done:
            yield done
    elif workers > 1 and len(tasks) > 1:
        with contextlib.closing(run_on_pool(job, tasks, min(workers, len(tasks)))) as done:
            yield done
    else:
        with contextlib.closing(run_here(job, tasks)) as done:
            yield done


def run_here(job: Job, tasks: Sequence[Task]) -> Generator[Outcome]:
    for task in tasks:
        yield job(task)


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
_stopping = False


def _worker_signal(signum: int, frame: object) -> None:
    global _stopping
    if _stopping:
        # Ctrl-C reaches every process, then the pool ends them: a second signal must not
        # cut short the removal of what the first one interrupted.
        return
    if not _busy:
        os._exit(128 + signum)
    _stopping = True
    raise Stopped(signum)  # unwinds the file being written, which removes its temporary file


def _die_with_parent(parent: int) -> None:
    """Asks the kernel to send SIGTERM when the process that started this one ends, however
    it ends (SIGKILL included), so that the worker removes its temporary file and goes."""
    if not sys.platform.startswith("linux"):
        return
    with contextlib.suppress(OSError, AttributeError):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    # The parent may have ended before the request was made: then it never fires.
    if os.getppid() != parent:
        os._exit(128 + signal.SIGTERM)


_PR_SET_PDEATHSIG = 1


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


def _serve(job: Job, connection: Connection, inherited: list[Connection], parent: int) -> None:
    """A pool worker: takes one task at a time and sends its outcome back, until the command
    closes its end of the pipe, or ends."""
    for other in inherited:  # a forked worker's copies of the command's ends of every pipe
        other.close()
    _die_with_parent(parent)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _worker_signal)
    while True:
        try:
            index, task = connection.recv()
        except (EOFError, OSError):  # the command is done, or gone
            os._exit(0)
        outcome = _guarded(job, task)
        try:
            connection.send((index, outcome))
        except OSError:
            os._exit(0)


def _pool_context() -> multiprocessing.context.BaseContext:
    # Forking is instant and the children have everything imported already, but a forked
    # child inherits the parent's other threads (tqdm's monitor, Dask's event loop) in
    # whatever state they were: only a single-threaded process forks. Otherwise each child
    # starts as a clean interpreter; not from a fork server, whose children keep the server
    # alive, so that it cannot tell them that the command has ended.
    if "fork" in multiprocessing.get_all_start_methods() and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


@dataclasses.dataclass
class _Worker:
    process: Any  # the context's Process
    connection: Connection  # the command's end of the worker's pipe
    held: tuple[int, Task] | None = None  # the task it is working on, by its place in the batch


class _Pool:
    """Worker processes that hold one task at a time, so that the task of a worker that dies
    is known: that file alone fails, and a fresh worker takes the dead one's place."""

    def __init__(self, job: Job, size: int) -> None:
        self.job = job
        self.size = size
        self.workers: list[_Worker] = []
        self.deaths_in_a_row = 0  # with no outcome between them: a pool that cannot work
        for _ in range(size):
            self.start()

    def start(self) -> None:
        context = _pool_context()
        method = context.get_start_method()
        ours, theirs = context.Pipe()
        inherited = [worker.connection for worker in self.workers] + [ours] if method == "fork" else []
        process = context.Process(  # type: ignore[attr-defined]
            target=_serve, args=(self.job, theirs, inherited, os.getpid()), daemon=True)
        sys.stdout.flush()  # a forked child must not write out the parent's buffered lines again
        sys.stderr.flush()
        with warnings.catch_warnings():
            # Python warns of forking beside threads that it counts in the whole process,
            # such as a BLAS library's idle pool, which registers its own fork handlers.
            warnings.simplefilter("ignore", DeprecationWarning)
            process.start()
        theirs.close()
        self.workers.append(_Worker(process, ours))

    def hand_out(self, waiting: collections.deque[tuple[int, Task]]) -> list[tuple[int, Outcome]]:
        """Gives each idle worker a task, after replacing the dead; gives the outcomes of tasks
        that no worker is left for."""
        while waiting and len(self.workers) < self.size and self.deaths_in_a_row < 2 * self.size:
            self.start()
        if not self.workers:
            lost = list(waiting)
            waiting.clear()
            return [(index, Outcome(task.source.shown, error="no worker process is left: they kept dying"))
                    for index, task in lost]
        for worker in self.workers:
            if worker.held is None and waiting:
                worker.held = waiting.popleft()
                with contextlib.suppress(OSError):  # a dead worker is seen by its process's end
                    worker.connection.send(worker.held)
        return []

    def collect(self) -> list[tuple[int, Outcome]]:
        """Waits for outcomes, or for workers to die: the tasks of the dead fail."""
        sentinels = {worker.process.sentinel: worker for worker in self.workers}
        ready = wait([worker.connection for worker in self.workers if worker.held] + list(sentinels))
        outcomes = []
        for worker in list(self.workers):
            try:
                while worker.held and worker.connection.poll():
                    outcomes.append(worker.connection.recv())
                    worker.held = None
                    self.deaths_in_a_row = 0
            except (EOFError, OSError):
                pass
            else:
                if worker.process.sentinel not in ready:
                    continue
            outcomes += self.bury(worker)
        return outcomes

    def bury(self, worker: _Worker) -> list[tuple[int, Outcome]]:
        worker.process.join()
        worker.connection.close()
        self.workers.remove(worker)
        self.deaths_in_a_row += 1
        if worker.held is None:
            return []
        index, task = worker.held
        if task.output is not None:
            # What the dead worker was writing is nobody's now: its lock went with it.
            placing.remove_stale(task.output.parent, {task.output.name})
        code = worker.process.exitcode
        how = f"exit status {code}" if code >= 0 else f"killed by signal {-code}"
        if code < 0:
            with contextlib.suppress(ValueError):  # real-time signals have no names
                how = f"killed by {signal.Signals(-code).name}"
        return [(index, Outcome(task.source.shown,
                                error=f"the worker process working on it died ({how}); not retried"))]

    def close(self) -> None:
        for worker in self.workers:
            worker.connection.close()  # the worker reads the end of its pipe and goes
        for worker in self.workers:
            worker.process.join(10)
        self.terminate()

    def terminate(self) -> None:
        """Tells the workers to stop (each removes the temporary file it was writing), and
        waits for them, so that none outlives the command."""
        for worker in self.workers:
            if worker.process.is_alive():
                with contextlib.suppress(OSError):
                    worker.process.terminate()
        for worker in self.workers:
            worker.process.join(10)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.connection.close()
        self.workers.clear()


def run_on_pool(job: Job, tasks: Sequence[Task], workers: int) -> Generator[Outcome]:
    """Starts the pool at once (before a progress bar's thread exists, so that it may fork),
    and gives the outcomes as they come."""
    try:
        pool = _Pool(job, workers)
    except (OSError, NotImplementedError) as error:  # e.g. no /dev/shm for its semaphores
        raise UsageError(f"cannot start a pool of {workers} processes (-j): {error}") from None
    return _pool_outcomes(pool, tasks)


def _pool_outcomes(pool: _Pool, tasks: Sequence[Task]) -> Generator[Outcome]:
    waiting = collections.deque(enumerate(tasks))
    done: dict[int, Outcome] = {}
    following = 0
    try:
        while following < len(tasks):
            done.update(pool.hand_out(waiting))
            if pool.workers:
                done.update(pool.collect())
            while following in done:
                yield done.pop(following)
                following += 1
    except BaseException:
        pool.terminate()
        raise
    pool.close()


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
def _forked_dask_workers() -> Iterator[None]:
    """Dask starts each local worker as a new interpreter that imports Dask, NumPy and
    Pillow again: about 0.7 s of processor time each, which on a small machine makes
    two workers slower than one for a batch of photos. Forked from a fork server that has
    imported them once, a worker starts in a few milliseconds (and a dead one is replaced
    as fast)."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        yield
        return
    import dask.config

    # Dask has its fork server import itself, NumPy and the other packages it knows of.
    with dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}):
        yield


@contextlib.contextmanager
def _thread_count_for_dask_workers() -> Iterator[None]:
    """A fork server keeps the environment it was started with, and in a program that
    started one before the command set --threads, that lacks the count; so each worker also
    puts this process's PIXALOT_NUM_THREADS into its own environment, before it unpickles
    the job that imports pixalot."""
    count = os.environ.get(threads.VARIABLE)
    if count is None:
        yield
        return
    import dask.config

    environ = {**dask.config.get("distributed.nanny.environ", {}), threads.VARIABLE: count}
    with dask.config.set({"distributed.nanny.environ": environ}):
        yield


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
        with _forked_dask_workers(), _thread_count_for_dask_workers():
            cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address="127.0.0.1:0")
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
    """Gives the outcomes in the tasks' order, each fetched from the cluster as soon as it is
    done (and then let go of): the scheduler runs a finished task again if the worker keeping
    its outcome dies while the command still wants it, and a result written twice would then
    be reported as existing."""
    from dask.distributed import as_completed

    futures = client.map(job, tasks, pure=False)
    pending = {future.key: (index, future) for index, future in enumerate(futures)}
    done: dict[int, Outcome] = {}
    following = 0
    try:
        finished = as_completed(futures, with_results=True, raise_errors=False)  # type: ignore[no-untyped-call]
        for future, result in finished:
            index, _ = pending.pop(future.key)
            if not isinstance(result, Outcome):  # the job reports its own failures: this is the cluster's
                lost = future.exception() if future.status == "error" else result
                result = Outcome(tasks[index].source.shown, error=_lost_on_dask(lost))
            done[index] = result
            future.release()
            while following in done:
                yield done.pop(following)
                following += 1
    finally:
        client.cancel([future for _, future in pending.values()])


def _lost_on_dask(error: object) -> str:
    # The scheduler runs a task whose worker died on another one, a few times
    # (distributed.scheduler.allowed-failures), before it gives up on it.
    if type(error).__name__ == "KilledWorker":
        return "every Dask worker that took it died, and the scheduler gave up on it"
    return f"lost on the Dask cluster ({type(error).__name__}: {error})"


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
