"""`pixalot levels` and `pixalot stripes`: each input rewritten into a result file, with a
line per file and the counts; its dry run says the same lines without writing."""

from __future__ import annotations

import argparse
import functools
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from . import jobs, placing, runners
from .display import display, printable
from .errors import ExitStatus
from .formats.picture import WriteSettings
from .inputs import Job, Outcome, Task, check_output_folder, given, plan, prepare_output_folder, refuse_output_in_inputs
from .jobs import LevelsSettings, StripesSettings


def levels(options: argparse.Namespace) -> int:
    settings = LevelsSettings(options.in_low, options.in_high, options.out_low, options.out_high,
                              options.gamma, options.codes)
    return _rewrite("levels", functools.partial(jobs.levels, settings=settings, output=_write_settings(options)),
                    options)


def stripes(options: argparse.Namespace) -> int:
    settings = StripesSettings(options.period, options.amplitude, options.horizontal, options.slant)
    return _rewrite("stripes", functools.partial(jobs.stripes, settings=settings, output=_write_settings(options)),
                    options)


def _write_settings(options: argparse.Namespace) -> WriteSettings:
    return WriteSettings(options.as_float, options.overwrite, options.skip_existing, options.quality,
                         options.max_pixels)


def _rewrite(command: str, job: Job, options: argparse.Namespace) -> int:
    """`command`'s results are NAME-`command`.EXT beside their inputs, or in the -o folder."""
    output_folder = Path(options.output) if options.output else None
    if output_folder is not None:
        check_output_folder(output_folder)
        refuse_output_in_inputs(output_folder, options.paths)
    sources = given(command, options, output_folder)
    tasks = plan(sources, output_folder, command, options.as_float, overwrite=options.overwrite,
                 skip_existing=options.skip_existing)
    if options.dry_run:
        report = _Report(command, dry=True)
        for task in tasks:
            if not report.planned(task):
                report.written(task.source.shown, _shown(task.output))
        return report.summary()
    if output_folder is not None:
        prepare_output_folder(output_folder, mark=True)
    to_do = [task for task in tasks if not (task.refusal or task.existing)]
    _remove_stale(command, tasks)
    with runners.outcomes(job, to_do, options.dask, options.jobs) as outcomes, \
            runners.progress(len(to_do), options.progress) as bar:
        report = _Report(command, dry=False, bar=bar)
        for task in tasks:
            if not report.planned(task):
                report.outcome(next(outcomes))
                if bar is not None:
                    bar.update()
    if options.dask:
        _remove_stale(command, tasks, mention_others=False)  # what Dask workers that died were writing
    return report.summary()


def _remove_stale(command: str, tasks: Sequence[Task], mention_others: bool = True) -> None:
    """Temporary files that a killed run left for these results are removed, and named;
    those of a run still writing them are kept."""
    results: dict[Path, set[str]] = {}
    for task in tasks:
        if task.output is not None:
            results.setdefault(task.output.parent, set()).add(task.output.name)
    for folder, names in sorted(results.items()):
        removed, left = placing.remove_stale(folder, names)
        for path in removed:
            print(printable(f"pixalot {command}: removed {display(path)}, a temporary file whose writer was "
                            "killed"), file=sys.stderr)
        for path in left if mention_others else ():
            print(printable(f"pixalot {command}: {display(path)} looks like a temporary file whose writer was "
                            "killed (left alone: remove it unless a program is writing it)"), file=sys.stderr)


def _shown(path: Path | None) -> str:
    return display(path) if path is not None else ""


class _Report:
    """The lines of a levels or stripes run: one per file, in the plan's order, then the
    counts. Its dry run prints the same lines, with "would be written" and "would fail" in
    the counts."""

    def __init__(self, command: str, dry: bool, bar: Any = None) -> None:
        self.command = command
        self.bar = bar
        self.words = ("would be written", "skipped", "would fail") if dry else ("written", "skipped", "failed")
        self.counts = dict.fromkeys(self.words, 0)

    def _say(self, what: int, text: str, to_stderr: bool = False) -> None:
        self.counts[self.words[what]] += 1
        runners.say(self.bar, printable(text), to_stderr=to_stderr)

    def written(self, shown: str, output: str) -> None:
        self._say(0, f"{shown} -> {output}")

    def skipped(self, shown: str, output: str) -> None:
        self._say(1, f"{shown}: skipped, {output} exists")

    def failed(self, shown: str, reason: str) -> None:
        self._say(2, f"pixalot {self.command}: {shown}: {reason}", to_stderr=True)

    def planned(self, task: Task) -> bool:
        """Reports a file whose fate the plan decided; False for one that is to be worked on."""
        if task.refusal:
            self.failed(task.source.shown, task.refusal)
        elif task.existing:
            self.skipped(task.source.shown, _shown(task.output))
        else:
            return False
        return True

    def outcome(self, outcome: Outcome) -> None:
        if outcome.error:
            self.failed(outcome.shown, outcome.error)
        elif outcome.skipped:
            self.skipped(outcome.shown, outcome.output or "")
        else:
            self.written(outcome.shown, outcome.output or "")

    def summary(self) -> int:
        print(", ".join(f"{count} {what}" for what, count in self.counts.items() if count or what == self.words[0]))
        return ExitStatus.FILES_FAILED if self.counts[self.words[2]] else ExitStatus.OK
