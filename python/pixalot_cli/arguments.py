"""What the command line accepts: argparse with one-line errors, and the parsers of option
values that say what is wrong with a value in the words of its option."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import NamedTuple, NoReturn

from .errors import ExitStatus


class Parser(argparse.ArgumentParser):
    """argparse, with its errors on one line: what is wrong and where to read more."""

    def error(self, message: str) -> NoReturn:
        self.exit(ExitStatus.USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def in_range(low: float, high: float, what: str = "") -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = finite(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is out of range ({what or f'{low:g} to {high:g}'})")
        return value
    return parse


def positive(text: str) -> float:
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is out of range (it must be above 0)")
    return value


def whole(what: str, low: int, high: int | None = None, unit: str = "") -> Callable[[str], int]:
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


period = whole("a whole number of pixels", 1, 32767, " pixels")
workers = whole("a whole number", 1)
quality = whole("a whole number", 1, 100)
pixel_count = whole("a whole number of pixels", 1)

AUTO_THREADS = 0  # --threads auto: the usable CPUs shared out among the computing processes
MOST_THREADS = 1024  # pixalot itself takes no more


def threads(text: str) -> int:
    """A thread count, or AUTO_THREADS for `auto` (or 0, which PIXALOT_NUM_THREADS also
    takes for it)."""
    if text == "auto":
        return AUTO_THREADS
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number or 'auto': {text!r}") from None
    if not 0 <= value <= MOST_THREADS:
        raise argparse.ArgumentTypeError(f"{text} is out of range (1 to {MOST_THREADS}, or auto)")
    return value


# Named tuples rather than dataclasses here and in the command table: the dataclasses module
# alone would add a quarter to the time `pixalot --help` takes.
class Level(NamedTuple):
    """A level bound as given: a fraction of full scale, a percentage, or (with --codes) a code
    value. Percentages, and the defaults, are fractions whatever --codes says."""

    value: float
    text: str
    percent: bool = False


def level(text: str) -> Level:
    stripped = text.strip()
    if stripped.endswith("%"):
        value = finite(stripped[:-1])
        if not 0 <= value <= 100:
            raise argparse.ArgumentTypeError(f"{text} is out of range (0% to 100%)")
        return Level(value / 100.0, text, percent=True)
    value = finite(stripped)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is out of range (levels are 0 or more)")
    return Level(value, text)
