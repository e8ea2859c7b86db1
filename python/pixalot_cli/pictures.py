"""Image files in and out: Pillow's integer images and float32 .npy arrays, as float32 in [0, 1]."""

from __future__ import annotations

import dataclasses
import warnings
from pathlib import Path
from typing import BinaryIO

import numpy as np

from .float_tiff import write_float_tiff
from .placing import Identity, Refused, placed

# Extensions looked for when a folder is given; a file named explicitly is tried whatever it is called.
IMAGE_SUFFIXES = (".png", ".tif", ".tiff", ".jpg", ".jpeg", ".webp", ".bmp", ".npy")

# Writers that keep what they are given; JPEG and WebP re-encode with loss, so at high quality.
_SAVE_OPTIONS = {"JPEG": {"quality": 95}, "WEBP": {"quality": 95}}
_TIFF_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_deflate", "tiff_adobe_deflate", "packbits"}


def display(path: Path) -> str:
    """A path as the user would type it: relative to the working folder when inside it."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


class PictureError(Exception):
    """A file that cannot be read or written; the message says why, in a few words."""


@dataclasses.dataclass
class Picture:
    """An image as the operations see it, and what is needed to write it back alike.

    `pixels` holds only the grey or colour channels, float32, in [0, 1] by the type's full
    range: (H, W) for grey, (H, W, 3) for colour, or an .npy array's own shape. `alpha` is the
    untouched alpha channel in the file's own integer type, or None.
    """

    pixels: np.ndarray
    alpha: np.ndarray | None
    mode: str  # the file's colour model: "L", "LA", "RGB", "RGBA", "I;16", "F" or "npy"
    bits: int  # bits per channel of the file: 8, 16 or 32 (float)
    format: str  # Pillow's format name, or "NPY"
    info: dict = dataclasses.field(default_factory=dict)
    reduced_from_16_bits: bool = False  # Pillow reads 16-bit colour at 8 bits per channel

    @property
    def code_max(self) -> int | None:
        """The largest code value of the file's integer type; None for float data."""
        return {8: 255, 16: 65535}.get(self.bits)


def _pillow():
    try:
        from PIL import Image
    except ImportError:
        raise PictureError("reading images needs Pillow: pip install 'pixalot[cli]'") from None
    return Image


def read_picture(path: Path) -> Picture:
    if path.suffix.lower() == ".npy":
        return _read_npy(path)
    Image = _pillow()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            with Image.open(path) as image:
                return _from_pillow(image)
    except PictureError:
        raise
    except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
        raise PictureError(f"refused as too large ({error})") from None
    except Image.UnidentifiedImageError:
        raise PictureError("not an image Pillow can read") from None
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    except (ValueError, SyntaxError, EOFError) as error:
        # Pillow's decoders report damaged files with these.
        raise PictureError(f"damaged or truncated image ({error})") from None


def _os_reason(error: OSError) -> str:
    return error.strerror or str(error) if error.errno else str(error)


def _rawmode(image) -> str:
    for tile in getattr(image, "tile", None) or ():
        args = tile[3] if len(tile) > 3 else None
        if isinstance(args, str):
            return args
        if isinstance(args, tuple) and args and isinstance(args[0], str):
            return args[0]
    return ""


def _from_pillow(image) -> Picture:
    frames = getattr(image, "n_frames", 1)
    if frames > 1:
        raise PictureError(f"has {frames} frames; only single images are supported")
    reduced = image.mode in ("RGB", "RGBA") and ";16" in _rawmode(image)
    format_ = image.format or "PNG"
    image.load()
    info = {key: image.info[key] for key in ("icc_profile", "exif", "compression", "dpi") if key in image.info}
    mode = image.mode
    if mode == "1":
        image, mode = image.convert("L"), "L"
    elif mode in ("P", "PA"):
        mode = "RGBA" if mode == "PA" or "transparency" in image.info else "RGB"
        image = image.convert(mode)
    if mode in ("L", "LA", "RGB", "RGBA"):
        data = np.asarray(image)
        return _split(data, mode, 8, 255, format_, info, reduced)
    if mode.startswith("I;16"):
        data = np.asarray(image).astype(np.uint16)
        return _split(data, "I;16", 16, 65535, format_, info, False)
    if mode == "I":
        # Older Pillow versions open 16-bit grey PNG files as 32-bit integers.
        data = np.asarray(image)
        if data.size and (data.min() < 0 or data.max() > 65535):
            raise PictureError("32-bit integer images are not supported")
        return _split(data.astype(np.uint16), "I;16", 16, 65535, format_, info, False)
    if mode == "F":
        data = np.asarray(image, dtype=np.float32)
        return Picture(data.copy(), None, "F", 32, format_, info)
    raise PictureError(f"colour model {mode} is not supported (grey, RGB and RGBA are)")


def _split(data, mode, bits, code_max, format_, info, reduced) -> Picture:
    alpha = None
    if mode in ("LA", "RGBA"):
        data, alpha = data[..., :-1], data[..., -1].copy()
        if mode == "LA":
            data = data[..., 0]
    pixels = data.astype(np.float32) / np.float32(code_max)
    return Picture(pixels, alpha, mode, bits, format_, info, reduced)


def _read_npy(path: Path) -> Picture:
    try:
        data = np.load(path, allow_pickle=False)
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    except ValueError as error:
        raise PictureError(f"not a readable .npy array ({error})") from None
    if not isinstance(data, np.ndarray) or data.dtype != np.float32:
        kind = data.dtype if isinstance(data, np.ndarray) else type(data).__name__
        raise PictureError(f".npy arrays must hold float32 values, this one holds {kind}")
    return Picture(data, None, "npy", 32, "NPY")


def write_picture(picture: Picture, pixels: np.ndarray, path: Path, as_float: bool, overwrite: bool,
                  protected: set[Identity]) -> None:
    """Writes `pixels` (the result for `picture.pixels`) with the picture's alpha, at the
    file's own bit depth (rounded, clipped) or as 32-bit float TIFF with `as_float`.

    The result appears under its name only once complete; an existing file is replaced only
    with `overwrite`, and a file in `protected` (the inputs) never.
    """
    shown = display(path)
    try:
        with placed(path, overwrite, protected, shown) as file:
            if as_float or picture.format == "NPY" or picture.bits == 32:
                _write_float(picture, pixels, file, as_float)
            else:
                _write_integer(picture, pixels, file)
    except Refused as error:
        raise PictureError(str(error)) from None
    except PictureError:
        raise
    except OSError as error:
        raise PictureError(f"cannot write {shown}: {_os_reason(error)}") from None
    except (ValueError, KeyError) as error:
        raise PictureError(f"cannot write {shown}: {error}") from None


def _write_float(picture: Picture, pixels: np.ndarray, file: BinaryIO, as_float: bool) -> None:
    if picture.format == "NPY" and not as_float:
        np.save(file, np.ascontiguousarray(pixels, dtype=np.float32), allow_pickle=False)
        return
    if pixels.ndim not in (2, 3) or (pixels.ndim == 3 and pixels.shape[2] not in (1, 3)):
        raise PictureError(f"an array of shape {pixels.shape} has no float TIFF form; write it as .npy")
    channels = pixels if pixels.ndim == 2 or pixels.shape[2] != 1 else pixels[..., 0]
    if picture.alpha is not None:
        alpha = picture.alpha.astype(np.float32) / np.float32(picture.code_max)
        channels = np.dstack([channels, alpha])
    write_float_tiff(file, channels, has_alpha=picture.alpha is not None)


def _write_integer(picture: Picture, pixels: np.ndarray, file: BinaryIO) -> None:
    Image = _pillow()
    code_max = picture.code_max
    dtype = np.uint8 if picture.bits == 8 else np.uint16
    # NaN becomes 0 as pixalot's own clamps make it, rather than whatever a cast would give.
    codes = np.clip(np.rint(np.nan_to_num(pixels, nan=0.0) * np.float32(code_max)), 0, code_max).astype(dtype)
    if picture.alpha is not None:
        codes = np.dstack([codes, picture.alpha])
    image = Image.fromarray(np.ascontiguousarray(codes))
    options = dict(_SAVE_OPTIONS.get(picture.format, {}))
    for key in ("icc_profile", "dpi"):
        if key in picture.info:
            options[key] = picture.info[key]
    # Pixels are processed as stored; the orientation tag must come along for viewers to
    # turn the result as they turned the original.
    if "exif" in picture.info and picture.format in ("JPEG", "PNG", "WEBP"):
        options["exif"] = picture.info["exif"]
    if picture.format == "TIFF" and picture.info.get("compression") in _TIFF_COMPRESSIONS:
        options["compression"] = picture.info["compression"]
    image.save(file, format=picture.format, **options)
