"""--threads: how many threads each process that computes gives a pixalot call.

pixalot reads PIXALOT_NUM_THREADS once, when it is imported, so the setting must be in the
environment before any computing process imports it. This process puts it there before it
imports the command's code (which imports pixalot); then the pool's workers have it either
way they start (forked, they inherit the module as imported here; spawned, this
environment), and so do a local Dask cluster's (each puts it into its own environment
before it unpickles the job, whatever the fork server it comes from was started with; the
server never imports pixalot). Workers of a running Dask cluster were started elsewhere:
nothing set here reaches them.
"""

from __future__ import annotations

import argparse
import os
import sys

from .arguments import AUTO_THREADS
from .errors import UsageError

VARIABLE = "PIXALOT_NUM_THREADS"

_set_here: int | None = None  # what this process put into the environment before pixalot was imported


def usable_cpus() -> int:
    """The CPUs this process may run on (its affinity mask), as pixalot counts them."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # no affinity masks on this system
        return os.cpu_count() or 1


def per_process(asked: int, processes: int, usable: int) -> int:
    """The threads of each of `processes` computing processes: `asked`, or for auto an equal
    share of the usable CPUs, so that the processes' threads together never outnumber them."""
    if asked != AUTO_THREADS:
        return asked
    return max(1, usable // processes)


def apply(command: str, options: argparse.Namespace) -> None:
    """Puts --threads into the environment of every process that will compute, or refuses
    it where it cannot take effect; without --threads the environment is left as it is."""
    global _set_here
    asked: int | None = getattr(options, "threads", None)
    if asked is None:
        return
    dask = getattr(options, "dask", None)
    if dask and dask != "local":
        raise UsageError(f"--threads cannot reach the workers of a running Dask cluster: set {VARIABLE} "
                         "in the environment they are started with (and leave --threads out)")
    processes: int = getattr(options, "jobs", 1)
    usable = usable_cpus()
    count = per_process(asked, processes, usable)
    if "pixalot" in sys.modules and count != _set_here:
        # This process, and a pool forked from it, would go on with the count pixalot was
        # imported with: saying nothing would claim a setting that is not in force.
        raise UsageError(f"--threads cannot take effect: pixalot is already imported in this process, and "
                         f"reads {VARIABLE} only then (set it before importing pixalot)")
    os.environ[VARIABLE] = str(count)
    _set_here = count
    if asked != AUTO_THREADS and processes * count > usable:
        # Asked for in so many words: honoured, and said once.
        jobs = f"-j {processes} with " if processes > 1 else ""
        print(f"pixalot {command}: note: {jobs}--threads {count} makes {processes * count} threads on "
              f"{usable} usable CPU{'' if usable == 1 else 's'} (--threads auto shares them out)", file=sys.stderr)
