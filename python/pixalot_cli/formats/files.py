"""Image files in and out, whatever their format: the family a file belongs to (by its name,
then by what Pillow finds in it) reads it, and the family of its format writes its result,
whole or not at all."""

from __future__ import annotations

import warnings
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .. import wholeness
from ..display import display
from ..errors import PictureError, Refused
from ..placing import Identity, placed
from . import DEFAULT_MAX_PIXELS, by_format, by_suffix
from .picture import (
    Picture,
    WriteSettings,
    damaged,
    floats_of,
    os_reason,
    pillow,
    split,
    to_codes,
    too_many_pixels,
)


def read_picture(path: Path, max_pixels: int = DEFAULT_MAX_PIXELS) -> Picture:
    own = by_suffix(path.suffix)
    if own is not None:
        picture = own.read(path, max_pixels)
        if picture is not None:
            return picture
    Image = pillow()
    from PIL import ImageFile

    # Never rows of grey in place of the missing end of a cut-short file.
    ImageFile.LOAD_TRUNCATED_IMAGES = False
    # Pillow's own limit (about 89 megapixels) would refuse a 100-megapixel camera's frames;
    # the size is checked against --max-pixels instead, before any pixel is decoded.
    Image.MAX_IMAGE_PIXELS = None
    try:
        with warnings.catch_warnings():
            # Pillow only warns when it skips what a damaged file no longer holds (EXIF or TIFF
            # tags cut short); the result would be written without it.
            warnings.filterwarnings("error", r".*(corrupt|truncat)", UserWarning)
            with Image.open(path) as image:
                return _from_pillow(image, path, max_pixels)
    except PictureError:
        raise
    except UserWarning as warning:
        raise damaged(str(warning).strip()) from None
    except Image.UnidentifiedImageError:
        unknown = own.unidentified(path) if own is not None else None
        if unknown is not None:
            return unknown
        known = _known_start(path)
        if known is not None:
            raise damaged(f"a {known} file whose header cannot be read") from None
        raise PictureError("not an image Pillow can read") from None
    except OSError as error:
        if error.errno:
            raise PictureError(os_reason(error)) from None
        # Pillow's decoders report a damaged or cut-short file as an OSError with no errno.
        raise damaged(str(error)) from None
    except (ValueError, SyntaxError, EOFError) as error:
        # Pillow's decoders report damaged files with these.
        raise damaged(str(error)) from None


def _known_start(path: Path) -> str | None:
    try:
        with open(path, "rb") as file:
            return wholeness.known_start(file.read(12))
    except OSError:
        return None


def _rawmode(image: Any) -> str:
    for tile in getattr(image, "tile", None) or ():
        args = tile[3] if len(tile) > 3 else None
        if isinstance(args, str):
            return args
        if isinstance(args, tuple) and args and isinstance(args[0], str):
            return args[0]
    return ""


def _from_pillow(image: Any, path: Path, max_pixels: int) -> Picture:
    frames = getattr(image, "n_frames", 1)
    if frames > 1:
        raise PictureError(f"has {frames} frames; only single images are supported")
    width, height = image.size
    too_many = too_many_pixels(width, height, max_pixels)
    if too_many is not None:
        raise too_many
    deep_colour = image.mode in ("RGB", "RGBA") and ";16" in _rawmode(image)
    format_ = image.format or "PNG"
    family = by_format(format_)
    data = family.whole(path, format_)
    info = family.metadata(image, path, format_)
    decoded = family.decode(image, path, data, info, deep_colour)
    if decoded is not None:
        return decoded
    image.load()
    mode = stored = image.mode
    if mode == "1":
        image, mode = image.convert("L"), "L"
    elif mode in ("P", "PA"):
        mode = "RGBA" if mode == "PA" or "transparency" in image.info else "RGB"
        image = image.convert(mode)
    if mode in ("L", "LA", "RGB", "RGBA"):
        picture = split(np.asarray(image), mode, 8, format_, info)
        if deep_colour:
            picture.file_bits = 16
            picture.unreadable_depth = (f"16-bit colour {format_} is read by Pillow at 8 bits per channel "
                                        "(install tifffile and imagecodecs to keep 16 bits)")
        picture.mode = stored if stored in ("P", "PA") else mode
        return picture
    if mode.startswith("I;16") or mode == "I":
        # Older Pillow versions open 16-bit grey PNG files as 32-bit integers.
        codes = np.asarray(image)
        if mode == "I" and codes.size and (codes.min() < 0 or codes.max() > 65535):
            raise PictureError("32-bit integer images are not supported")
        picture = split(codes.astype(np.uint16, copy=False), "I;16", 16, format_, info)
        if mode == "I" and format_ == "TIFF":
            # Its values are 16-bit codes; the result is written at the file's 32 bits.
            picture.mode, picture.file_bits = "I", 32
        return picture
    if mode == "F":
        return Picture(None, np.array(image, dtype=np.float32), None, "F", 32, format_, info)
    raise PictureError(f"colour model {mode} is not supported (grey, RGB and RGBA are)")


def write_picture(picture: Picture, result: NDArray[Any], path: Path, settings: WriteSettings,
                  protected: set[Identity]) -> None:
    """Writes `result` (float32 pixels, or code values of the picture's type) with the
    picture's alpha and metadata, at the file's own bit depth or as float TIFF.

    The result appears under its name only once complete; an existing file is replaced only
    with `overwrite`, and a file in `protected` (the inputs) never.
    """
    shown = display(path)
    try:
        with placed(path, settings.overwrite, protected, shown) as file:
            if settings.as_float or picture.code_max is None:
                floats = result if result.dtype == np.float32 else floats_of(picture, result)
                by_format(picture.format).write_float(picture, floats, file, settings.as_float)
            else:
                codes = result if result.dtype != np.float32 else to_codes(result, picture.code_max)
                _write_integer(picture, codes, file, settings.quality)
    except Refused as error:
        raise PictureError(str(error)) from None
    except PictureError:
        raise
    except OSError as error:
        raise PictureError(f"cannot write {shown}: {os_reason(error)}") from None
    except (ValueError, KeyError, TypeError) as error:
        raise PictureError(f"cannot write {shown}: {error}") from None


def _write_integer(picture: Picture, codes: NDArray[Any], file: BinaryIO, quality: int | None) -> None:
    if picture.alpha is not None:
        codes = np.dstack([codes, picture.alpha])
    by_format(picture.format).write_integer(picture, codes, file, quality)
