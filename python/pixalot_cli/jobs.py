"""The work on one file, for each command: plain functions of picklable values, so that the
same job runs in this process, in a process pool or on a Dask worker."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

import pixalot

from .arguments import Level
from .calls import call
from .display import display
from .errors import Exists, OperationFault, PictureError
from .formats.files import read_picture, write_picture
from .formats.picture import Picture, WriteSettings, to_codes
from .inputs import Outcome, Task
from .placing import identities


def _fraction(level: Level, option: str, picture: Picture, codes: bool) -> np.float32:
    """A level as a fraction of full scale: percentages, and the defaults, are fractions
    whatever --codes says."""
    if level.percent or not codes:
        return np.float32(level.value)
    code_max = picture.code_max
    if code_max is None:
        raise PictureError(f"{option} {level.text} is a code value, but {_kind(picture)} has none (use a fraction)")
    if not 0 <= level.value <= code_max:
        raise PictureError(f"{option} {level.text} is out of range for {_kind(picture)} (0 to {code_max})")
    return np.float32(level.value / code_max)


@dataclasses.dataclass(frozen=True)
class LevelsSettings:
    in_low: Level
    in_high: Level
    out_low: Level
    out_high: Level
    gamma: float
    codes: bool


@dataclasses.dataclass(frozen=True)
class StripesSettings:
    period: int
    amplitude: float
    horizontal: bool
    slant: float


@dataclasses.dataclass(frozen=True)
class GraySettings:
    tolerance: float


def _kind(picture: Picture) -> str:
    if picture.format == "NPY":
        return "a float32 array"
    if picture.bits == 32:
        return "a float image"
    return f"an {picture.bits}-bit image" if picture.bits == 8 else f"a {picture.bits}-bit image"


def _failure(task: Task, error: BaseException, picture: Picture | None = None) -> Outcome:
    if isinstance(error, OperationFault):
        reason = f"pixalot faulted: {error}"
    elif isinstance(error, PictureError):
        reason = str(error)
    else:
        # Whatever else goes wrong with one file is reported with it, and the batch goes on.
        reason = f"unexpected {type(error).__name__}: {error}"
    return Outcome(task.source.shown, error=reason,
                   mode=picture.mode if picture else None, bits=picture.stored_bits if picture else None)


def _rewrite(task: Task, output: WriteSettings, compute: Callable[[Picture], NDArray[Any]]) -> Outcome:
    """Reads the task's picture, computes its result and writes it; a failure is the outcome."""
    picture = None
    assert task.output is not None
    try:
        if task.refusal:
            raise PictureError(task.refusal)
        picture = read_picture(task.source.path, output.max_pixels)
        if picture.unreadable_depth:
            raise PictureError(f"{picture.unreadable_depth}; refusing to write a reduced copy")
        result = compute(picture)
        # The source's pixels are not needed any more: a large image's peak memory is the
        # source and the result at once, not more.
        picture.codes = picture.floats = None
        write_picture(picture, result, task.output, output, identities(task.source.path))
    except PictureError as error:
        if output.skip_existing and isinstance(error.__context__, Exists):
            # Another run wrote it since this one was planned.
            return Outcome(task.source.shown, output=display(task.output), skipped=True)
        return _failure(task, error, picture)
    except Exception as error:
        return _failure(task, error, picture)
    return Outcome(task.source.shown, output=display(task.output), mode=picture.mode, bits=picture.bits)


def _look_up(table: NDArray[Any], codes: NDArray[Any]) -> NDArray[Any]:
    """table[codes] for an image's codes; `codes` is used up, written over where it can be.

    NumPy's take over machine-word indices is several times faster than indexing by the
    small integer codes themselves. The indices are made a band at a time in one reused
    buffer, where the whole image's would take 1 GB for 48 megapixels. Writing over the
    codes spares a second image of fresh memory, which costs more than the lookups, and
    8-bit codes are looked up two at a time, through a table of every pair of codes.
    """
    in_place = codes.dtype == table.dtype and codes.flags.c_contiguous and codes.flags.writeable
    mapped = codes if in_place else np.empty(codes.shape, table.dtype)
    if codes.size == 0:
        return mapped
    if not codes.flags.c_contiguous:
        _take_in_bands(table, codes, mapped)
        return mapped
    source, target = codes.reshape(-1), mapped.reshape(-1)
    if source.dtype == table.dtype == np.uint8 and source.size >= 2:
        even = source.size & ~1
        if even != source.size:
            target[-1] = table[source[-1]]
        pairs = table[np.arange(1 << 16, dtype=np.uint16).view(np.uint8)].view(np.uint16)
        source, target, table = source[:even].view(np.uint16), target[:even].view(np.uint16), pairs
    _take_in_bands(table, source, target)
    return mapped


def _take_in_bands(table: NDArray[Any], codes: NDArray[Any], mapped: NDArray[Any]) -> None:
    """mapped[...] = table[codes] along the first axis, about a million values at a time.
    Every code is an index of the table, so take needs no bounds check ("clip"), and with
    none it writes straight into `mapped` rather than through a buffer of its own."""
    rows = max(1, (1 << 20) // max(1, codes[0].size)) if codes.ndim > 1 else 1 << 20
    band = codes[:rows]
    indices = np.empty(band.size, np.intp)
    for first in range(0, len(codes), rows):
        part = codes[first:first + rows]
        index = indices[:part.size].reshape(part.shape)
        np.copyto(index, part)
        np.take(table, index, out=mapped[first:first + rows], mode="clip")


def levels(task: Task, settings: LevelsSettings, output: WriteSettings) -> Outcome:
    def compute(picture: Picture) -> NDArray[Any]:
        bounds = [
            _fraction(level, option, picture, settings.codes)
            for option, level in (("--in-low", settings.in_low), ("--in-high", settings.in_high),
                                  ("--out-low", settings.out_low), ("--out-high", settings.out_high))
        ]
        if bounds[0] == bounds[1]:
            raise PictureError(f"--in-low and --in-high are the same level for {_kind(picture)}")
        gamma = np.float32(settings.gamma)
        if picture.codes is None or picture.code_max is None:
            result: NDArray[Any] = call(pixalot.color_levels, picture.pixels, *bounds, gamma)
            return result
        # Levels act on each value alone, and an integer image has at most 65536 of them:
        # the module maps every code once, each converted to float exactly as the whole
        # image would be, and the pixels are looked up. Same bits, no float pass over the image.
        every_code = np.arange(picture.code_max + 1, dtype=np.float32)
        every_code /= np.float32(picture.code_max)
        table: NDArray[Any] = call(pixalot.color_levels, every_code, *bounds, gamma)
        if not output.as_float:
            table = to_codes(table, picture.code_max)
        return _look_up(table, picture.codes)

    return _rewrite(task, output, compute)


def stripes(task: Task, settings: StripesSettings, output: WriteSettings) -> Outcome:
    def compute(picture: Picture) -> NDArray[Any]:
        pixels = picture.pixels
        picture.codes = None  # the float copy is all that is needed from here on
        result: NDArray[Any] = call(pixalot.sin_patern, pixels, settings.period, settings.amplitude,
                                  not settings.horizontal, settings.slant)
        return result

    return _rewrite(task, output, compute)


def gray(task: Task, settings: GraySettings, max_pixels: int) -> Outcome:
    picture = None
    try:
        if task.refusal:
            raise PictureError(task.refusal)
        picture = read_picture(task.source.path, max_pixels)
        pixels = picture.pixels
        if pixels.ndim == 2:
            # One channel is grey by definition; pixalot's test needs three.
            is_grey = True
        else:
            is_grey = call(pixalot.gray_or_color, pixels, settings.tolerance)
    except Exception as error:
        return _failure(task, error, picture)
    return Outcome(task.source.shown, verdict="grey" if is_grey else "colour", mode=picture.mode,
                   bits=picture.stored_bits)
