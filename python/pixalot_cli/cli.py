"""The `pixalot` command: levels, stripes and the grey-or-colour test on image files, and a demo."""

from __future__ import annotations

import argparse
import contextlib
import csv
import functools
import json
import math
import os
import signal
import sys
import threading
from collections.abc import Sequence

from . import __version__
from .inputs import Task, UsageError, collect, plan, prepare_output_folder
from .jobs import GraySettings, Level, LevelsSettings, Outcome, StripesSettings
from .pictures import IMAGE_SUFFIXES
from . import jobs, runners

EXIT_FAILED_FILES = 1
EXIT_USAGE = 2

DESCRIPTION = """\
Exact, fast image operations from pixalot, on image files.

Images are read with Pillow (8- and 16-bit grey, RGB and RGBA: PNG, TIFF, JPEG, WebP, BMP)
or as float32 .npy arrays, converted to float32 in [0, 1], and written back at the file's
own bit depth (or as 32-bit float TIFF with --float). Alpha is carried through unchanged.
"""

FILES_HELP = """\
Inputs: image files, and folders of images (""" + " ".join(IMAGE_SUFFIXES) + """);
-r also looks in subfolders. Results go beside each input as NAME-{tag}.EXT, or into the
folder -o names; an existing file is never replaced without --overwrite, and an input never.
Exit status: 0 when every file succeeded, 1 when any failed, 2 when nothing could start.
"""

EPILOGS = {
    "levels": """\
Levels are fractions of full scale (0 to 1) or percentages (40%); with --codes, plain
numbers are code values of each file instead (0-255 for 8-bit, 0-65535 for 16-bit).
Each value v becomes ((v - in_low) / (in_high - in_low)) * (out_high - out_low) + out_low,
clamped to [0, 1] and raised to the power --gamma (above 1 darkens the midtones).

Example:
  pixalot levels --in-low 0.1 --in-high 0.9 --gamma 1.2 photos/ -o levelled/
  pixalot levels --codes --in-low 16 --in-high 235 scan.png      # writes scan-levels.png
""",
    "stripes": """\
The stripes are a sine wave over --period pixels (strictly 6.28 radians: just short of a full
turn), scaled by --amplitude and added to every channel; the sum is clamped to [0, 1].

Example:
  pixalot stripes --period 40 --amplitude 0.25 photo.jpg         # writes photo-stripes.jpg
  pixalot stripes --horizontal --slant 0.5 --float scans/ -o striped/
""",
    "gray": """\
An image is grey when the means of its red, green and blue channels agree pairwise within
--tolerance (a fraction of full scale); alpha is not looked at. A one-channel image is
grey without a test.

Example:
  pixalot gray photos/ -r --csv > verdicts.csv
  pixalot gray -j 4 archive/ -r --json
  pixalot gray --dask tcp://scheduler:8786 /shared/archive -r
""",
    "demo": """\
Synthesizes a colour and a grey sample (nothing is downloaded), runs the three operations,
and writes before/after PNG files and a contact sheet.

Example:
  pixalot demo                 # pictures in demo-output/
  pixalot demo -o /tmp/show
""",
}


class Parser(argparse.ArgumentParser):
    """argparse, with its errors on one line: what is wrong and where to read more."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _in_range(low: float, high: float, what: str = ""):
    def parse(text: str) -> float:
        value = _finite(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is out of range ({what or f'{low:g} to {high:g}'})")
        return value
    return parse


def _positive(text: str) -> float:
    value = _finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is out of range (it must be above 0)")
    return value


def _whole(what: str, low: int, high: int | None = None, unit: str = ""):
    """A parser of whole numbers from `low` to `high` (no upper bound when None)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"at least {low}" if high is None else f"{low} to {high}{unit}"
            raise argparse.ArgumentTypeError(f"{text} is out of range ({bounds})")
        return value
    return parse


_period = _whole("a whole number of pixels", 1, 32767, " pixels")
_workers = _whole("a whole number", 1)


def _level(text: str) -> Level:
    stripped = text.strip()
    if stripped.endswith("%"):
        value = _finite(stripped[:-1])
        if not 0 <= value <= 100:
            raise argparse.ArgumentTypeError(f"{text} is out of range (0% to 100%)")
        return Level(value / 100.0, text, percent=True)
    value = _finite(stripped)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is out of range (levels are 0 or more)")
    return Level(value, text)


def _add_file_options(command: argparse.ArgumentParser, tag: str | None) -> None:
    command.add_argument("paths", nargs="+", metavar="PATH", help="image files and folders of images")
    command.add_argument("-r", "--recursive", action="store_true", help="look for images in subfolders too")
    if tag:
        command.add_argument("-o", "--output", metavar="DIR",
                             help=f"write results into DIR under the inputs' own names "
                                  f"(default: beside each input, as NAME-{tag}.EXT)")
        command.add_argument("--float", action="store_true", dest="as_float",
                             help="write 32-bit float TIFF files instead of the inputs' bit depth")
        command.add_argument("--overwrite", action="store_true", help="replace results left by an earlier run")
    command.add_argument("-j", "--jobs", type=_workers, default=1, metavar="N",
                         help="work on N files at a time in a local process pool (default: 1)")
    command.add_argument("--no-progress", dest="progress", action="store_false",
                         help="no progress bar (it is shown only when stderr is a terminal)")


def build_parser() -> Parser:
    parser = Parser(prog="pixalot", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="Run 'pixalot COMMAND --help' for a command's options and an example.")
    parser.add_argument("--version", action="version", version=f"pixalot {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)

    def command(name: str, summary: str, tag: str | None) -> argparse.ArgumentParser:
        epilog = EPILOGS[name] + ("\n" + FILES_HELP.format(tag=tag) if tag else "")
        return commands.add_parser(name, help=summary, description=summary + ".", epilog=epilog,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    levels = command("levels", "adjust levels: map an input range onto an output range, then apply gamma", "levels")
    levels.add_argument("--in-low", type=_level, default=Level(0.05, "5%", percent=True), metavar="LEVEL",
                        help="input level that becomes --out-low (default: 0.05)")
    levels.add_argument("--in-high", type=_level, default=Level(0.95, "95%", percent=True), metavar="LEVEL",
                        help="input level that becomes --out-high (default: 0.95)")
    levels.add_argument("--out-low", type=_level, default=Level(0.0, "0%", percent=True), metavar="LEVEL",
                        help="darkest output level (default: 0)")
    levels.add_argument("--out-high", type=_level, default=Level(1.0, "100%", percent=True), metavar="LEVEL",
                        help="brightest output level (default: 1)")
    levels.add_argument("--gamma", type=_positive, default=1.0, metavar="G",
                        help="exponent applied last; above 1 darkens, below 1 brightens (default: 1)")
    levels.add_argument("--codes", action="store_true",
                        help="read plain levels as code values of each file's bit depth")
    _add_file_options(levels, "levels")

    stripes = command("stripes", "overlay a sine stripe pattern", "stripes")
    stripes.add_argument("--period", type=_period, default=32, metavar="PIXELS",
                         help="length of one wave, 1 to 32767 pixels (default: 32)")
    stripes.add_argument("--amplitude", type=_in_range(-1.0, 1.0), default=0.15, metavar="A",
                         help="height of the wave, -1 to 1 of full scale (default: 0.15)")
    stripes.add_argument("--horizontal", action="store_true", help="horizontal stripes (default: vertical)")
    stripes.add_argument("--slant", type=_in_range(-32767.0, 32767.0), default=0.0, metavar="PIXELS",
                         help="shift of the wave per line, in pixels, to slant the stripes (default: 0)")
    _add_file_options(stripes, "stripes")

    gray = command("gray", "tell grey images from colour ones", None)
    gray.add_argument("--tolerance", type=_in_range(0.0, 1.0), default=0.01, metavar="T",
                      help="largest difference of channel means that is still grey, 0 to 1 (default: 0.01)")
    formats = gray.add_mutually_exclusive_group()
    formats.add_argument("--json", dest="format", action="store_const", const="json",
                         help="print one JSON document with every file and the summary")
    formats.add_argument("--csv", dest="format", action="store_const", const="csv",
                         help="print CSV: path,verdict,mode,bits,error (summary on stderr)")
    gray.add_argument("--dask", metavar="ADDRESS",
                      help="run on the Dask cluster at ADDRESS (e.g. tcp://host:8786), or 'local' "
                           "for a local cluster of -j workers; every worker must see the files")
    _add_file_options(gray, None)

    demo = command("demo", "run every operation on built-in samples and save the pictures", None)
    demo.add_argument("-o", "--output", metavar="DIR", default="demo-output",
                      help="where the pictures go (default: demo-output)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        with runners.stopping_on_signals():
            if options.command == "demo":
                from .demo import run_demo

                return run_demo(options.output)
            if options.command == "gray":
                return _gray(options)
            return _rewrite(options)
    except UsageError as error:
        print(f"pixalot {options.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        _ignore_further_signals()
        print("pixalot: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except runners.Stopped as stop:
        _ignore_further_signals()
        print(f"pixalot: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (| head); nothing left to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED_FILES
    except Exception as error:
        # A defect of ours, not of the input: still one line, unless asked for the details.
        if os.environ.get("PIXALOT_TRACEBACK"):
            raise
        print(f"pixalot {options.command}: internal error: {type(error).__name__}: {error} "
              "(set PIXALOT_TRACEBACK=1 for details)", file=sys.stderr)
        return EXIT_FAILED_FILES


def _ignore_further_signals() -> None:
    # The command is ending: a second Ctrl-C (or a terminal's SIGHUP after SIGTERM) would only
    # break the clean-up at exit with a traceback.
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)


def _settings(options: argparse.Namespace):
    if options.command == "levels":
        if not options.codes:
            for option in ("in_low", "in_high", "out_low", "out_high"):
                level = getattr(options, option)
                if not level.percent and level.value > 1:
                    raise UsageError(f"--{option.replace('_', '-')} {level.text} is out of range "
                                     "(0 to 1, or a percentage; with --codes, a code value)")
            if options.in_low.value == options.in_high.value:
                raise UsageError("--in-low and --in-high are the same level: the input range is empty")
        settings = LevelsSettings(options.in_low, options.in_high, options.out_low, options.out_high,
                                  options.gamma, options.codes, options.as_float, options.overwrite)
        return functools.partial(jobs.levels, settings=settings)
    settings = StripesSettings(options.period, options.amplitude, options.horizontal, options.slant,
                               options.as_float, options.overwrite)
    return functools.partial(jobs.stripes, settings=settings)


def _rewrite(options: argparse.Namespace) -> int:
    job = _settings(options)
    output_folder = prepare_output_folder(options.output) if options.output else None
    sources = collect(options.paths, options.recursive, skip_stem_suffix=None if output_folder else f"-{options.command}")
    tasks = plan(sources, output_folder, options.command, options.as_float)
    failed = 0
    with runners.progress(len(tasks), options.progress) as bar, \
            contextlib.closing(_run(job, tasks, options.jobs)) as outcomes:
        for outcome in outcomes:
            if outcome.error:
                failed += 1
                runners.say(bar, f"pixalot {options.command}: {outcome.shown}: {outcome.error}", to_stderr=True)
            else:
                runners.say(bar, f"{outcome.shown} -> {outcome.output}")
            if bar is not None:
                bar.update()
    written = len(tasks) - failed
    print(f"{written} written" + (f", {failed} failed" if failed else ""))
    return EXIT_FAILED_FILES if failed else 0


def _run(job, tasks, workers: int, client=None):
    if client is not None:
        return runners.run_on_dask(job, tasks, client)
    if workers > 1 and len(tasks) > 1:
        return runners.run_on_pool(job, tasks, min(workers, len(tasks)))
    return runners.run_here(job, tasks)


def _gray(options: argparse.Namespace) -> int:
    tasks = [Task(source, None) for source in collect(options.paths, options.recursive)]
    job = functools.partial(jobs.gray, settings=GraySettings(options.tolerance))
    if options.dask:
        workers = options.jobs if options.jobs > 1 else None
        with runners.dask_client(options.dask, workers) as client:
            with contextlib.closing(_run(job, tasks, 1, client)) as outcomes:
                return _report_gray(options, outcomes, len(tasks))
    with contextlib.closing(_run(job, tasks, options.jobs)) as outcomes:
        return _report_gray(options, outcomes, len(tasks))


def _report_gray(options: argparse.Namespace, outcomes, total: int) -> int:
    counts = {"grey": 0, "colour": 0, "failed": 0}
    records: list[Outcome] = []
    writer = None
    if options.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(["path", "verdict", "mode", "bits", "error"])
    with runners.progress(total, options.progress) as bar:
        for outcome in outcomes:
            counts[outcome.verdict or "failed"] += 1
            if outcome.error:
                runners.say(bar, f"pixalot gray: {outcome.shown}: {outcome.error}", to_stderr=True)
            if options.format == "json":
                records.append(outcome)
            elif writer is not None:
                writer.writerow([outcome.shown, outcome.verdict or "", outcome.mode or "",
                                 outcome.bits or "", outcome.error or ""])
            elif outcome.verdict:
                runners.say(bar, f"{outcome.verdict:<7}{outcome.shown}")
            if bar is not None:
                bar.update()
    summary = {"files": total, **counts}
    line = f"{total} file{'' if total == 1 else 's'}: {counts['grey']} grey, {counts['colour']} colour, {counts['failed']} failed"
    if options.format == "json":
        document = {
            "files": [{"path": r.shown, "verdict": r.verdict, "mode": r.mode, "bits": r.bits, "error": r.error}
                      for r in records],
            "summary": summary,
        }
        json.dump(document, sys.stdout, indent=1)
        print()
    elif options.format == "csv":
        print(line, file=sys.stderr)
    else:
        print(line)
    return EXIT_FAILED_FILES if counts["failed"] else 0
