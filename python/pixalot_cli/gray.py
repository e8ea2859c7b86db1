"""`pixalot gray`: a verdict per file, printed as a line per file and a summary, one JSON
document, or CSV."""

from __future__ import annotations

import argparse
import csv
import functools
import json
import sys
from collections.abc import Iterable

from . import jobs, runners
from .display import printable
from .errors import ExitStatus
from .inputs import Outcome, Task, given, input_problem
from .jobs import GraySettings


def gray(options: argparse.Namespace) -> int:
    job = functools.partial(jobs.gray, settings=GraySettings(options.tolerance), max_pixels=options.max_pixels)
    tasks = [Task(source, None, input_problem(source.path)) for source in given("gray", options)]
    with runners.outcomes(job, tasks, options.dask, options.jobs) as outcomes:
        return report(options.format, outcomes, len(tasks), options.progress)


def _summary(total: int, counts: dict[str, int]) -> str:
    return (f"{total} file{'' if total == 1 else 's'}: {counts['grey']} grey, {counts['colour']} colour, "
            f"{counts['failed']} failed")


def report(form: str | None, outcomes: Iterable[Outcome], total: int, progress: bool) -> int:
    """Reports each outcome as it comes (JSON once all have come); `form` is None, "json" or "csv"."""
    counts = {"grey": 0, "colour": 0, "failed": 0}
    records: list[Outcome] = []
    writer = quoting_writer = None
    if form == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        # The writer quotes only what holds its own line end, so a name with a carriage
        # return, which readers take for a line end too, would split its row.
        quoting_writer = csv.writer(sys.stdout, lineterminator="\n", quoting=csv.QUOTE_ALL)
        writer.writerow(["path", "verdict", "mode", "bits", "error"])
    with runners.progress(total, progress) as bar:
        for outcome in outcomes:
            counts[outcome.verdict or "failed"] += 1
            if outcome.error:
                runners.say(bar, printable(f"pixalot gray: {outcome.shown}: {outcome.error}"), to_stderr=True)
            if form == "json":
                records.append(outcome)
            elif writer is not None and quoting_writer is not None:
                row = [outcome.shown, outcome.verdict or "", outcome.mode or "", outcome.bits or "",
                       outcome.error or ""]
                (quoting_writer if any("\r" in str(field) for field in row) else writer).writerow(row)
            elif outcome.verdict:
                runners.say(bar, printable(f"{outcome.verdict:<7}{outcome.shown}"))
            if bar is not None:
                bar.update()
    line = _summary(total, counts)
    if form == "json":
        document = {
            "files": [{"path": r.shown, "verdict": r.verdict, "mode": r.mode, "bits": r.bits, "error": r.error}
                      for r in records],
            "summary": {"files": total, **counts},
        }
        json.dump(document, sys.stdout, indent=1)
        print()
    else:
        print(line, file=sys.stderr if form == "csv" else sys.stdout)
    return ExitStatus.FILES_FAILED if counts["failed"] else ExitStatus.OK
