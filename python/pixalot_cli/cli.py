"""The `pixalot` command: levels, stripes and the grey-or-colour test on image files, and a demo.

Each command is one entry of `COMMANDS`: its options, the job it runs on each file, and
the runner that plans the files and reports on them.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import io
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

from . import __version__, arguments, gray_report, jobs, placing, runners
from .arguments import ExitStatus, Parser
from .inputs import (
    Selection,
    Source,
    Task,
    UsageError,
    check_output_folder,
    collect,
    input_problem,
    plan,
    prepare_output_folder,
    refuse_output_in_inputs,
)
from .jobs import GraySettings, LevelsSettings, Outcome, StripesSettings, WriteSettings
from .pictures import DEFAULT_MAX_PIXELS, IMAGE_SUFFIXES, display, printable

DESCRIPTION = """\
Exact, fast image operations from pixalot, on image files.

Images are read with Pillow (8- and 16-bit grey, RGB and RGBA: PNG, TIFF, JPEG, WebP, BMP,
GIF; 16-bit colour PNG and TIFF with tifffile/imagecodecs installed) or as float32 .npy
arrays, converted to float32 in [0, 1], and written back at the file's own bit depth and
format (or as 32-bit float TIFF with --float), with its metadata. Alpha is carried through
unchanged. Pixels are worked on as stored: an EXIF orientation tag is kept, not applied.
"""

FILES_HELP = """\
Inputs: image files, and folders of images:
  {suffixes}
-r also looks in subfolders; --include/--exclude pick files found in folders by name, by
path below the folder, or by a folder they are in, ignoring case. Folder scans leave out
hidden files, results (NAME-levels.EXT, NAME-stripes-levels.EXT... where NAME.* is beside
them) and output folders the command made (marked by a hidden .pixalot-results file); files and folders
named on the command line are always taken.
Results go beside each input as NAME-{tag}.EXT, or into the folder -o names (never one that
holds the inputs). A result appears only when complete (written to a hidden temporary file,
then renamed). An existing file is replaced only with --overwrite, and never an input, by any
name or link; --skip-existing leaves earlier results alone. JPEG results keep the source's
quantisation and chroma subsampling unless --quality is given; lossless WebP stays lossless.
-n says what the run would do, file by file, with its exit status; only what reading the
pixels finds (a damaged file) it cannot foresee.
-j pays for batches of many or large files: each process starts at a cost.
Exit status: 0 when every file succeeded, 1 when any failed, 2 when nothing could start,
128+N when ended by signal N (Ctrl-C, SIGTERM, SIGHUP: no partial file is left).
"""

LEVELS_HELP = """\
Levels are fractions of full scale (0 to 1) or percentages (40%); with --codes, plain
numbers are code values of each file instead (0-255 for 8-bit, 0-65535 for 16-bit).
Each value v becomes ((v - in_low) / (in_high - in_low)) * (out_high - out_low) + out_low,
clamped to [0, 1] and then raised to the power --gamma. So gamma applies after the output
range: with --gamma other than 1, --out-low and --out-high are not the output's extremes
(out_low**gamma and out_high**gamma are). --gamma is the plain exponent: above 1 darkens the
midtones, below 1 brightens them (the reverse of many editors' levels dialogs).

Example:
  pixalot levels --in-low 0.1 --in-high 0.9 --gamma 1.2 photos/ -o levelled/
  pixalot levels --codes --in-low 16 --in-high 235 scan.png      # writes scan-levels.png
"""

STRIPES_HELP = """\
The stripes are a sine wave over --period pixels (strictly 6.28 radians: just short of a full
turn), scaled by --amplitude and added to every channel; the sum is clamped to [0, 1].
Directions refer to the pixels as stored: a photo with an EXIF orientation tag shows them
turned, as it shows the whole picture.

Example:
  pixalot stripes --period 40 --amplitude 0.25 photo.jpg         # writes photo-stripes.jpg
  pixalot stripes --horizontal --slant 0.5 --float scans/ -o striped/
"""

GRAY_HELP = """\
An image is grey when the whole-image means of its red, green and blue channels agree
pairwise within --tolerance (a fraction of full scale). Only the means are compared, not
each pixel: a picture whose colours balance out overall (a colour wheel, a star field) is
called grey. Alpha is not looked at. A one-channel image is grey without a test.

Example:
  pixalot gray photos/ -r --csv > verdicts.csv
  pixalot gray -j 4 archive/ -r --json
  pixalot gray --dask tcp://scheduler:8786 /shared/archive -r
"""

DEMO_HELP = """\
Synthesizes a colour and a grey sample (nothing is downloaded), runs the three operations,
and writes before/after PNG files and a contact sheet.

Example:
  pixalot demo                 # pictures in demo-output/
  pixalot demo -o /tmp/show
"""

Job = Callable[[Task], Outcome]


@dataclasses.dataclass(frozen=True)
class Command:
    name: str
    summary: str
    help: str
    options: Callable[[argparse.ArgumentParser], None]
    job: Callable[[argparse.Namespace], Job] | None  # the work on one file, from the options
    runner: Callable[[Command, argparse.Namespace], int]
    tag: str | None = None  # results are NAME-TAG.EXT beside their input


def _file_options(command: argparse.ArgumentParser, tag: str | None) -> None:
    command.add_argument("paths", nargs="+", metavar="PATH", help="image files and folders of images")
    command.add_argument("-r", "--recursive", action="store_true", help="look for images in subfolders too")
    command.add_argument("--include", action="append", default=[], metavar="GLOB",
                         help="in folders, only files whose name, path below the folder or folder "
                              "matches GLOB, ignoring case; may be given more than once")
    command.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                         help="in folders, leave out files and folders whose name (or path below the "
                              "folder) matches GLOB, ignoring case")
    if tag:
        command.add_argument("-o", "--output", metavar="DIR",
                             help=f"write results into DIR under the inputs' own names "
                                  f"(default: beside each input, as NAME-{tag}.EXT)")
        command.add_argument("--float", action="store_true", dest="as_float",
                             help="write 32-bit float TIFF files instead of the inputs' bit depth")
        existing = command.add_mutually_exclusive_group()
        existing.add_argument("--overwrite", action="store_true", help="replace results left by an earlier run")
        existing.add_argument("--skip-existing", action="store_true",
                              help="leave results of an earlier run alone and go on (they are counted)")
        command.add_argument("--quality", type=arguments.quality, metavar="N",
                             help="JPEG/WebP quality 1-100 (default: JPEG keeps the source's quantisation "
                                  "and subsampling; lossy WebP 95; lossless WebP stays lossless)")
        command.add_argument("-n", "--dry-run", action="store_true",
                             help="say what the run would do with each file, write nothing")
    command.add_argument("--max-pixels", type=arguments.pixel_count, default=DEFAULT_MAX_PIXELS, metavar="N",
                         help=f"refuse images of more than N pixels (default: {DEFAULT_MAX_PIXELS:,})")
    command.add_argument("-j", "--jobs", type=arguments.workers, default=1, metavar="N",
                         help="work on N files at a time in a local process pool (default: 1); "
                              "it pays only for batches of many or large files")
    command.add_argument("--dask", metavar="ADDRESS",
                         help="run on the Dask cluster at ADDRESS (e.g. tcp://host:8786), or 'local' "
                              "for a local cluster of -j workers; every worker must see the files")
    command.add_argument("--no-progress", dest="progress", action="store_false",
                         help="no progress bar (it is shown on stderr when it is a terminal and there "
                              "is more than one file)")


def _levels_options(command: argparse.ArgumentParser) -> None:
    level = arguments.level
    command.add_argument("--in-low", type=level, default=jobs.Level(0.05, "5%", percent=True), metavar="LEVEL",
                         help="input level that becomes --out-low (default: 0.05)")
    command.add_argument("--in-high", type=level, default=jobs.Level(0.95, "95%", percent=True), metavar="LEVEL",
                         help="input level that becomes --out-high (default: 0.95)")
    command.add_argument("--out-low", type=level, default=jobs.Level(0.0, "0%", percent=True), metavar="LEVEL",
                         help="output level for --in-low, before gamma (default: 0)")
    command.add_argument("--out-high", type=level, default=jobs.Level(1.0, "100%", percent=True), metavar="LEVEL",
                         help="output level for --in-high, before gamma (default: 1)")
    command.add_argument("--gamma", type=arguments.positive, default=1.0, metavar="G",
                         help="exponent applied last, after clamping to [0, 1]; above 1 darkens, "
                              "below 1 brightens (default: 1)")
    command.add_argument("--codes", action="store_true",
                         help="read plain levels as code values of each file's bit depth")
    _file_options(command, "levels")


def _stripes_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--period", type=arguments.period, default=32, metavar="PIXELS",
                         help="length of one wave, 1 to 32767 pixels (default: 32)")
    command.add_argument("--amplitude", type=arguments.in_range(-1.0, 1.0), default=0.15, metavar="A",
                         help="height of the wave, -1 to 1 of full scale (default: 0.15)")
    command.add_argument("--horizontal", action="store_true",
                         help="horizontal stripes, along the stored rows (default: vertical)")
    command.add_argument("--slant", type=arguments.in_range(-32767.0, 32767.0), default=0.0, metavar="PIXELS",
                         help="shift of the wave per line, in pixels, to slant the stripes (default: 0)")
    _file_options(command, "stripes")


def _gray_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--tolerance", type=arguments.in_range(0.0, 1.0), default=0.01, metavar="T",
                         help="largest difference of whole-image channel means that is still grey, "
                              "0 to 1 (default: 0.01)")
    formats = command.add_mutually_exclusive_group()
    formats.add_argument("--json", dest="format", action="store_const", const="json",
                         help="print one JSON document with every file and the summary")
    formats.add_argument("--csv", dest="format", action="store_const", const="csv",
                         help="print CSV: path,verdict,mode,bits,error (summary on stderr)")
    _file_options(command, None)


def _demo_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("-o", "--output", metavar="DIR", default="demo-output",
                         help="where the pictures go (default: demo-output)")


def _write_settings(options: argparse.Namespace) -> WriteSettings:
    return WriteSettings(options.as_float, options.overwrite, options.skip_existing, options.quality,
                         options.max_pixels)


def _levels_job(options: argparse.Namespace) -> Job:
    if not options.codes:
        for option in ("in_low", "in_high", "out_low", "out_high"):
            level = getattr(options, option)
            if not level.percent and level.value > 1:
                raise UsageError(f"--{option.replace('_', '-')} {level.text} is out of range "
                                 "(0 to 1, or a percentage; with --codes, a code value)")
        if options.in_low.value == options.in_high.value:
            raise UsageError("--in-low and --in-high are the same level: the input range is empty")
    settings = LevelsSettings(options.in_low, options.in_high, options.out_low, options.out_high,
                              options.gamma, options.codes)
    return functools.partial(jobs.levels, settings=settings, output=_write_settings(options))


def _stripes_job(options: argparse.Namespace) -> Job:
    settings = StripesSettings(options.period, options.amplitude, options.horizontal, options.slant)
    return functools.partial(jobs.stripes, settings=settings, output=_write_settings(options))


def _gray_job(options: argparse.Namespace) -> Job:
    return functools.partial(jobs.gray, settings=GraySettings(options.tolerance), max_pixels=options.max_pixels)


def _selection(options: argparse.Namespace, output_folder: Path | None) -> Selection:
    tags = tuple(command.tag for command in COMMANDS if command.tag)
    return Selection(options.recursive, tuple(options.include), tuple(options.exclude), result_tags=tags,
                     output_folder=output_folder)


def _sources(command: Command, options: argparse.Namespace, output_folder: Path | None = None) -> list[Source]:
    sources = collect(options.paths, _selection(options, output_folder))
    for source in sources:
        if source.also:
            names = ", ".join(source.also)
            verb = "names" if len(source.also) == 1 else "name"
            print(printable(f"pixalot {command.name}: {names} {verb} the same file as {source.shown}, "
                            "which is done once"), file=sys.stderr)
    return sources


@contextlib.contextmanager
def _outcomes(job: Job, tasks: Sequence[Task], options: argparse.Namespace) -> Iterator[Iterator[Outcome]]:
    """The outcomes of `job` over `tasks`, in their order, from whichever runner the options ask for."""
    if options.dask:
        with runners.dask_client(options.dask, options.jobs) as client, \
                contextlib.closing(runners.run_on_dask(job, tasks, client)) as outcomes:
            yield outcomes
    elif options.jobs > 1 and len(tasks) > 1:
        with contextlib.closing(runners.run_on_pool(job, tasks, min(options.jobs, len(tasks)))) as outcomes:
            yield outcomes
    else:
        with contextlib.closing(runners.run_here(job, tasks)) as outcomes:
            yield outcomes


def _rewrite(command: Command, options: argparse.Namespace) -> int:
    assert command.job is not None and command.tag is not None
    job = command.job(options)
    output_folder = Path(options.output) if options.output else None
    if output_folder is not None:
        check_output_folder(output_folder)
        refuse_output_in_inputs(output_folder, options.paths)
    sources = _sources(command, options, output_folder)
    tasks = plan(sources, output_folder, command.tag, options.as_float, overwrite=options.overwrite,
                 skip_existing=options.skip_existing)
    if options.dry_run:
        report = _Report(command.name, dry=True)
        for task in tasks:
            if not report.planned(task):
                report.written(task.source.shown, _shown(task.output))
        return report.summary()
    if output_folder is not None:
        prepare_output_folder(output_folder, mark=True)
    to_do = [task for task in tasks if not (task.refusal or task.existing)]
    _remove_stale(command, tasks)
    with _outcomes(job, to_do, options) as outcomes, runners.progress(len(to_do), options.progress) as bar:
        report = _Report(command.name, dry=False, bar=bar)
        for task in tasks:
            if not report.planned(task):
                report.outcome(next(outcomes))
                if bar is not None:
                    bar.update()
    if options.dask:
        _remove_stale(command, tasks, mention_others=False)  # what Dask workers that died were writing
    return report.summary()


def _remove_stale(command: Command, tasks: Sequence[Task], mention_others: bool = True) -> None:
    """Temporary files that a killed run left for these results are removed, and named;
    those of a run still writing them are kept."""
    results: dict[Path, set[str]] = {}
    for task in tasks:
        if task.output is not None:
            results.setdefault(task.output.parent, set()).add(task.output.name)
    for folder, names in sorted(results.items()):
        removed, left = placing.remove_stale(folder, names)
        for path in removed:
            print(printable(f"pixalot {command.name}: removed {display(path)}, a temporary file whose writer was "
                            "killed"), file=sys.stderr)
        for path in left if mention_others else ():
            print(printable(f"pixalot {command.name}: {display(path)} looks like a temporary file whose writer was "
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


def _gray(command: Command, options: argparse.Namespace) -> int:
    assert command.job is not None
    job = command.job(options)
    tasks = [Task(source, None, input_problem(source.path)) for source in _sources(command, options)]
    with _outcomes(job, tasks, options) as outcomes:
        return gray_report.report(options.format, outcomes, len(tasks), options.progress)


def _demo(command: Command, options: argparse.Namespace) -> int:
    from .demo import run_demo

    return run_demo(options.output)


COMMANDS = (
    Command("levels", "adjust levels: map an input range onto an output range, then apply gamma", LEVELS_HELP,
            _levels_options, _levels_job, _rewrite, tag="levels"),
    Command("stripes", "overlay a sine stripe pattern", STRIPES_HELP, _stripes_options, _stripes_job, _rewrite,
            tag="stripes"),
    Command("gray", "tell grey images from colour ones by their channel means", GRAY_HELP, _gray_options,
            _gray_job, _gray),
    Command("demo", "run every operation on built-in samples and save the pictures", DEMO_HELP, _demo_options,
            None, _demo),
)


def build_parser() -> Parser:
    parser = Parser(prog="pixalot", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="Run 'pixalot COMMAND --help' for a command's options and an example.")
    parser.add_argument("--version", action="version", version=f"pixalot {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    for command in COMMANDS:
        epilog = command.help
        if command.tag:
            epilog += "\n" + FILES_HELP.format(tag=command.tag, suffixes=" ".join(IMAGE_SUFFIXES))
        sub = subparsers.add_parser(command.name, help=command.summary, description=command.summary + ".",
                                    epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
        command.options(sub)
        sub.set_defaults(entry=command)
    return parser


def _tolerant_output() -> None:
    # A file name the terminal's encoding cannot show (CJK on a Latin-1 locale, undecodable
    # bytes) is shown with replacement characters rather than ending the run.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            with contextlib.suppress(ValueError, io.UnsupportedOperation):
                stream.reconfigure(errors="replace")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    _tolerant_output()
    command: Command = options.entry
    try:
        with runners.stopping_on_signals():
            return int(command.runner(command, options))
    except UsageError as error:
        print(printable(f"pixalot {command.name}: error: {error}"), file=sys.stderr)
        return ExitStatus.USAGE
    except KeyboardInterrupt:
        _end_interrupted()
        print("pixalot: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except runners.Stopped as stop:
        _end_interrupted()
        print(f"pixalot: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (| head); nothing left to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return ExitStatus.FILES_FAILED
    except Exception as error:
        # A defect of ours, not of the input: still one line, unless asked for the details.
        if os.environ.get("PIXALOT_TRACEBACK"):
            raise
        print(printable(f"pixalot {command.name}: internal error: {type(error).__name__}: {error} "
                        "(set PIXALOT_TRACEBACK=1 for details)"), file=sys.stderr)
        return ExitStatus.FILES_FAILED


def _end_interrupted() -> None:
    # A temporary file whose writer was cut short where no except clause saw it goes; and
    # as the command is ending, a second Ctrl-C (or a terminal's SIGHUP after SIGTERM) would
    # only break the clean-up at exit with a traceback, the removal included.
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
    placing.remove_pending()
