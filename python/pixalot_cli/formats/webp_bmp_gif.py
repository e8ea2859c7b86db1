"""WebP, BMP and GIF, read and written by Pillow: a GIF is checked whole before decoding
(libwebp refuses a cut WebP file itself), and lossless WebP stays lossless."""

from __future__ import annotations

import io
import struct
from pathlib import Path
from typing import Any

from .. import wholeness
from .family import Family, with_exif
from .picture import LOSSY_QUALITY, Picture, checked_bytes


class WebpBmpGif(Family):
    def whole(self, path: Path, format_: str) -> bytes | None:
        if format_ != "GIF":
            return None
        checked_bytes(path, wholeness.gif_problem)
        return None

    def metadata(self, image: Any, path: Path, format_: str) -> dict[str, Any]:
        info = super().metadata(image, path, format_)
        if format_ == "WEBP":
            info["lossless"] = _webp_is_lossless(path)
        return info

    def save_options(self, picture: Picture, quality: int | None) -> dict[str, Any]:
        options = super().save_options(picture, quality)
        info = picture.info
        if picture.format == "WEBP":
            with_exif(picture, options)
            options.update({key: info[key] for key in ("xmp",) if info.get(key)})
            if info.get("lossless") and quality is None:
                # exact: the colour under fully transparent pixels is kept too, as it was.
                options.update(lossless=True, exact=True)
            else:
                options["quality"] = quality or LOSSY_QUALITY
        elif picture.format == "GIF" and info.get("comment"):
            options["comment"] = info["comment"]
        return options


def _webp_is_lossless(path: Path) -> bool:
    """A WebP file's image chunk is VP8L when lossless, VP8 when lossy."""
    with open(path, "rb") as file:
        head = file.read(12)
        if head[:4] != b"RIFF" or head[8:12] != b"WEBP":
            return False
        while chunk := file.read(8):
            if len(chunk) < 8:
                break
            kind, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if kind in (b"VP8L", b"VP8 "):
                return kind == b"VP8L"
            file.seek(size + (size & 1), io.SEEK_CUR)
    return False


FAMILY = WebpBmpGif()
