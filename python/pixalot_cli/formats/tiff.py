"""TIFF: Pillow for 8 and 16-bit grey and 8-bit colour; tifffile, where installed, for 16-bit
colour, for what Pillow cannot identify, and for colour float results. Descriptive tags and
the compression come along into the result."""

from __future__ import annotations

from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .. import wholeness
from ..errors import PictureError
from .family import Family
from .picture import Picture, damaged, optional, os_reason, split

_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_deflate", "tiff_adobe_deflate", "packbits"}
# TIFF tags that describe the picture rather than its pixels: carried into the result.
_DESCRIPTIVE = (269, 270, 271, 272, 285, 305, 306, 315, 316, 33432, 700, 33723)
_TIFFFILE_COMPRESSIONS = {"tiff_lzw": "lzw", "tiff_deflate": "zlib", "tiff_adobe_deflate": "zlib",
                          "packbits": "packbits"}


class Tiff(Family):
    def unidentified(self, path: Path) -> Picture | None:
        return read_tifffile(path) if optional("tifffile") else None

    def metadata(self, image: Any, path: Path, format_: str) -> dict[str, Any]:
        info = super().metadata(image, path, format_)
        if image.info.get("compression") in _COMPRESSIONS:
            info["compression"] = image.info["compression"]
        tags = getattr(image, "tag_v2", {})
        info["tags"] = {tag: tags[tag] for tag in _DESCRIPTIVE if tag in tags}
        return info

    def decode(self, image: Any, path: Path, data: bytes | None, info: dict[str, Any],
               deep_colour: bool) -> Picture | None:
        """16-bit colour at 16 bits, where tifffile is installed; Pillow would read 8."""
        if not deep_colour or not optional("tifffile"):
            return None
        picture = read_tifffile(path)
        picture.info.update(info)
        return picture

    def write_integer(self, picture: Picture, codes: NDArray[Any], file: BinaryIO, quality: int | None) -> None:
        if picture.bits == 16 and codes.ndim == 3:
            _write_deep_colour(picture, np.ascontiguousarray(codes), file)
        else:
            super().write_integer(picture, codes, file, quality)

    def save_options(self, picture: Picture, quality: int | None) -> dict[str, Any]:
        options = super().save_options(picture, quality)
        info = picture.info
        if "compression" in info:
            options["compression"] = info["compression"]
        if info.get("tags"):
            from PIL import TiffImagePlugin

            tags = TiffImagePlugin.ImageFileDirectory_v2()
            for tag, value in info["tags"].items():
                tags[tag] = value
            options["tiffinfo"] = tags
        return options


def read_tifffile(path: Path) -> Picture:
    import tifffile

    try:
        with tifffile.TiffFile(path) as tiff:
            if len(tiff.pages) > 1:
                raise PictureError(f"has {len(tiff.pages)} frames; only single images are supported")
            page = tiff.pages.first
            problem = wholeness.strips_problem(tuple(page.dataoffsets), tuple(page.databytecounts),
                                               tiff.filehandle.size)
            if problem is not None:
                raise damaged(problem)
            # tifffile pads what it cannot decode with zeros, and says so only in its log.
            with wholeness.logged_warnings("tifffile") as warnings:
                data = page.asarray()
            if warnings:
                raise damaged(warnings[0].splitlines()[0])
            extra = page.extrasamples
    except (tifffile.TiffFileError, ValueError) as error:
        raise PictureError(f"damaged, truncated or unsupported TIFF ({error})") from None
    except OSError as error:
        raise PictureError(os_reason(error)) from None
    channels = 1 if data.ndim == 2 else data.shape[2]
    has_alpha = channels in (2, 4) and bool(extra)
    mode = {(1, False): "L", (2, True): "LA", (3, False): "RGB", (4, True): "RGBA"}.get((channels, has_alpha))
    if mode is None or data.ndim not in (2, 3):
        raise PictureError(f"a TIFF of shape {data.shape} is not supported (grey, RGB and RGBA are)")
    if data.dtype == np.float32:
        alpha = None
        if has_alpha:
            data, alpha = data[..., :-1], data[..., -1].copy()
            if mode == "LA":
                data = data[..., 0]
        return Picture(None, np.ascontiguousarray(data), alpha, mode, 32, "TIFF")
    if data.dtype not in (np.uint8, np.uint16):
        raise PictureError(f"TIFF samples of type {data.dtype} are not supported")
    bits = 8 if data.dtype == np.uint8 else 16
    return split(data, mode if bits == 8 or channels > 1 else "I;16", bits, "TIFF", {})


def _write_deep_colour(picture: Picture, codes: NDArray[Any], file: BinaryIO) -> None:
    import tifffile

    info = picture.info
    tags = info.get("tags", {})
    extratags = [(tag, "s", 0, value, True) for tag, value in tags.items()
                 if isinstance(value, str) and tag not in (270, 305, 306)]
    compression = _TIFFFILE_COMPRESSIONS.get(info.get("compression", ""))
    options = dict(photometric="rgb", extrasamples=("unassalpha",) if codes.shape[2] == 4 else None,
                   compression=compression, description=tags.get(270), software=tags.get(305, False),
                   datetime=tags.get(306), iccprofile=info.get("icc_profile"), extratags=extratags,
                   metadata=None, resolution=info.get("dpi"),
                   resolutionunit="inch" if "dpi" in info else None)
    if compression is not None:
        tifffile.imwrite(file, codes, **options)
        return
    # Uncompressed pixels would reach the file through a bytes copy of the whole image (the
    # file has no descriptor for tifffile to write from the array): the layout is written
    # first, then the pixels straight from the array into their place.
    place = tifffile.imwrite(file, shape=codes.shape, dtype=codes.dtype, returnoffset=True, **options)
    if place is None:
        raise PictureError("tifffile gave no place for the pixels of a 16-bit colour TIFF")
    end = file.tell()
    file.seek(place[0])
    file.write(codes.data)  # a memoryview: what the type stubs of every Python take for a buffer
    file.seek(end)


FAMILY = Tiff()
