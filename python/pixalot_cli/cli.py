"""The `pixalot` command: levels, stripes and the grey-or-colour test on image files, and a demo.

Each command is one entry of `COMMANDS`: its help, its options, and where its code lives,
which is imported only when the command runs. Help and option errors need no more than
this module, so they load neither NumPy, nor Pillow, nor pixalot itself.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

from . import arguments
from .arguments import Level, Parser
from .errors import UsageError
from .formats import DEFAULT_MAX_PIXELS, IMAGE_SUFFIXES

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
-j pays for batches of many or large files: each process starts at a cost. --threads N splits
each large image's work over N threads in each process; --threads auto gives each of the -j
processes an equal share of the CPUs this one may use. An N that makes more threads than
those CPUs is honoured, with a note on stderr.
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

class Command(NamedTuple):
    name: str
    summary: str
    help: str
    options: Callable[[argparse.ArgumentParser], None]
    code: str  # "module:function" in this package: the command, given the parsed options
    tag: str | None = None  # results are NAME-TAG.EXT beside their input
    check: Callable[[argparse.Namespace], None] | None = None  # what the parser alone cannot refuse


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
    command.add_argument("--threads", type=arguments.threads, metavar="N",
                         help="threads each pixalot call may use, in every process that computes: N "
                              "(1 to 1024), or auto for an equal share of the usable CPUs per -j process; "
                              "only images of at least 1 Mi values are split (default: PIXALOT_NUM_THREADS "
                              "if set, else 1; for --dask ADDRESS set that where the workers start)")
    command.add_argument("--no-progress", dest="progress", action="store_false",
                         help="no progress bar (it is shown on stderr when it is a terminal and there "
                              "is more than one file)")


def _levels_options(command: argparse.ArgumentParser) -> None:
    level = arguments.level
    command.add_argument("--in-low", type=level, default=Level(0.05, "5%", percent=True), metavar="LEVEL",
                         help="input level that becomes --out-low (default: 0.05)")
    command.add_argument("--in-high", type=level, default=Level(0.95, "95%", percent=True), metavar="LEVEL",
                         help="input level that becomes --out-high (default: 0.95)")
    command.add_argument("--out-low", type=level, default=Level(0.0, "0%", percent=True), metavar="LEVEL",
                         help="output level for --in-low, before gamma (default: 0)")
    command.add_argument("--out-high", type=level, default=Level(1.0, "100%", percent=True), metavar="LEVEL",
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


def _check_levels(options: argparse.Namespace) -> None:
    if not options.codes:
        for option in ("in_low", "in_high", "out_low", "out_high"):
            level = getattr(options, option)
            if not level.percent and level.value > 1:
                raise UsageError(f"--{option.replace('_', '-')} {level.text} is out of range "
                                 "(0 to 1, or a percentage; with --codes, a code value)")
        if options.in_low.value == options.in_high.value:
            raise UsageError("--in-low and --in-high are the same level: the input range is empty")


COMMANDS = (
    Command("levels", "adjust levels: map an input range onto an output range, then apply gamma", LEVELS_HELP,
            _levels_options, "rewrite:levels", tag="levels", check=_check_levels),
    Command("stripes", "overlay a sine stripe pattern", STRIPES_HELP, _stripes_options, "rewrite:stripes",
            tag="stripes"),
    Command("gray", "tell grey images from colour ones by their channel means", GRAY_HELP, _gray_options,
            "gray:gray"),
    Command("demo", "run every operation on built-in samples and save the pictures", DEMO_HELP, _demo_options,
            "demo:demo"),
)


class _Version(argparse.Action):
    """--version, which looks the installed version up only when asked."""

    def __init__(self, option_strings: Sequence[str], dest: str, **options: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show program's version number and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        from . import __version__

        print(f"pixalot {__version__}")
        parser.exit()


def build_parser() -> Parser:
    parser = Parser(prog="pixalot", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="Run 'pixalot COMMAND --help' for a command's options and an example.")
    parser.add_argument("--version", action=_Version)
    # Folder scans of every command leave out the results of each command that writes them.
    parser.set_defaults(result_tags=tuple(command.tag for command in COMMANDS if command.tag))
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


def main(argv: Sequence[str] | None = None) -> int:
    options = build_parser().parse_args(argv)
    command: Command = options.entry
    from .running import run

    return run(command.name, command.code, command.check, options)
