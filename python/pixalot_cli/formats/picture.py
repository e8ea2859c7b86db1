"""The picture every format is read into and written from, and the helpers the formats share."""

from __future__ import annotations

import dataclasses
import functools
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..errors import PictureError
from . import DEFAULT_MAX_PIXELS

LOSSY_QUALITY = 95  # lossy WebP, and JPEG whose source tables are unknown


@dataclasses.dataclass
class Picture:
    """An image as the operations see it, and what is needed to write it back alike.

    Integer images keep their `codes` (grey (H, W) or colour (H, W, 3), uint8 or uint16);
    float files keep `floats`. `pixels` is the float32 form in [0, 1] by the type's full range
    that the operations take. `alpha` is the untouched alpha channel in the file's own type.
    """

    codes: NDArray[Any] | None
    floats: NDArray[Any] | None
    alpha: NDArray[Any] | None
    mode: str  # the file's colour model as stored: "L", "LA", "RGB", "RGBA", "P", "I;16", "I", "F" or "npy"
    bits: int  # bits per channel of the file: 8, 16 or 32 (float)
    format: str  # Pillow's format name, or "NPY"
    info: dict[str, Any] = dataclasses.field(default_factory=dict)
    shape: tuple[int, ...] | None = None  # an .npy array's own shape, when pixels are reshaped from it
    unreadable_depth: str | None = None  # why the pixels were read at less than the file's depth
    file_bits: int | None = None  # the file's own depth, where the pixels have less

    @property
    def stored_bits(self) -> int:
        return self.file_bits or self.bits

    @property
    def code_max(self) -> int | None:
        """The largest code value of the file's integer type; None for float data."""
        return {8: 255, 16: 65535}.get(self.bits)

    @property
    def pixels(self) -> NDArray[Any]:
        if self.floats is None:
            assert self.codes is not None and self.code_max is not None
            # In place after the one conversion: one float copy of the image, no more.
            floats = self.codes.astype(np.float32)
            floats /= np.float32(self.code_max)
            self.floats = floats
        return self.floats


@dataclasses.dataclass(frozen=True)
class WriteSettings:
    as_float: bool = False
    overwrite: bool = False
    skip_existing: bool = False
    quality: int | None = None
    max_pixels: int = DEFAULT_MAX_PIXELS


def split(data: NDArray[Any], mode: str, bits: int, format_: str, info: dict[str, Any]) -> Picture:
    """A picture of integer codes, with alpha (the last channel of LA and RGBA) set apart."""
    alpha = None
    if mode in ("LA", "RGBA"):
        data, alpha = data[..., :-1], data[..., -1].copy()
        if mode == "LA":
            data = data[..., 0]
    return Picture(data, None, alpha, mode, bits, format_, info)


def to_codes(floats: NDArray[Any], code_max: int) -> NDArray[Any]:
    """Float32 results in [0, 1] as rounded code values; `floats` is used up as scratch.

    pixalot's results are never NaN for what the command asks of it (both operations clamp),
    so no NaN pass is needed before the cast.
    """
    floats *= np.float32(code_max)
    np.rint(floats, out=floats)
    np.clip(floats, 0, code_max, out=floats)
    return floats.astype(np.uint8 if code_max == 255 else np.uint16)


def floats_of(picture: Picture, codes: NDArray[Any]) -> NDArray[Any]:
    floats = codes.astype(np.float32)
    floats /= np.float32(picture.code_max)
    return floats


def too_many_pixels(width: int, height: int, max_pixels: int) -> PictureError | None:
    if width * height > max_pixels:
        return PictureError(f"has {width * height:,} pixels, more than {max_pixels:,} "
                            "(raise --max-pixels to read it)")
    return None


def damaged(reason: str) -> PictureError:
    return PictureError(f"damaged or truncated image ({reason})")


def os_reason(error: OSError) -> str:
    return error.strerror or str(error) if error.errno else str(error)


def checked_bytes(path: Path, problem_of: Callable[[bytes], str | None]) -> bytes:
    """The file's bytes, once `problem_of` finds nothing wrong with them; a file it finds a
    problem in is refused as damaged."""
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PictureError(os_reason(error)) from None
    problem = problem_of(data)
    if problem is not None:
        raise damaged(problem)
    return data


def pillow() -> Any:
    """Pillow's Image module; a missing Pillow fails the file with what to install."""
    try:
        from PIL import Image
    except ImportError:
        raise PictureError("reading images needs Pillow: pip install 'pixalot[cli]' "
                           "(from a source checkout: pip install '.[cli]')") from None
    return Image


@functools.cache  # a missing library is looked for once, not once per file
def optional(name: str) -> Any:
    try:
        return __import__(name)
    except ImportError:
        return None
