"""PNG: plain files through imagecodecs (faster than Pillow, and 16 bits in colour too) with
their descriptive chunks kept whole; palettes, transparency chunks and animations through
Pillow."""

from __future__ import annotations

import struct
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .. import wholeness
from ..errors import PictureError
from .family import Family, with_exif
from .picture import Picture, checked_bytes, damaged, optional, os_reason, split, too_many_pixels

# PNG chunks that describe the picture; copied as they are when another encoder writes it.
_DESCRIPTIVE = {b"tEXt", b"zTXt", b"iTXt", b"iCCP", b"eXIf", b"pHYs", b"sRGB", b"gAMA", b"cHRM", b"sBIT"}

_MODES = {(0, 8): "L", (0, 16): "I;16", (2, 8): "RGB", (2, 16): "RGB", (4, 8): "LA", (4, 16): "LA",
          (6, 8): "RGBA", (6, 16): "RGBA"}


class Png(Family):
    def read(self, path: Path, max_pixels: int) -> Picture | None:
        """A plain PNG (grey or colour, 8 or 16 bits, with or without alpha) through imagecodecs,
        which decodes and encodes PNG several times faster than Pillow and at 16 bits in colour
        too; its descriptive chunks are kept whole for the result. None for whatever else
        (palettes, transparency chunks, animations, no imagecodecs): Pillow reads those."""
        imagecodecs = optional("imagecodecs")
        if imagecodecs is None:
            return None
        try:
            data = path.read_bytes()
        except OSError as error:
            raise PictureError(os_reason(error)) from None
        if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR" or len(data) < 33:
            return None
        width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
        mode = _MODES.get((colour_type, depth))
        chunks, trailing, kinds = _chunks(data)
        if mode is None or interlace or kinds & {b"tRNS", b"acTL"}:
            return None
        too_many = too_many_pixels(width, height, max_pixels)
        if too_many is not None:
            raise too_many
        # libpng checks the image data's checksums itself, but not that the file goes on to its end.
        problem = wholeness.png_problem(data, check_image_data=False)
        if problem is not None:
            raise damaged(problem)
        try:
            codes = imagecodecs.png_decode(data)
        except Exception as error:  # imagecodecs reports a damaged stream with its own error type
            raise damaged(str(error)) from None
        bits = 16 if depth == 16 else 8
        return split(codes, mode, bits, "PNG", {"chunks": chunks, "trailing_chunks": trailing})

    def whole(self, path: Path, format_: str) -> bytes | None:
        checked_bytes(path, lambda data: wholeness.png_problem(data, check_image_data=True))
        return None

    def metadata(self, image: Any, path: Path, format_: str) -> dict[str, Any]:
        info = {key: image.info[key] for key in ("icc_profile", "exif", "dpi") if key in image.info}
        # Text chunks (Author, Copyright, XMP...) as they were, compressed or international.
        info["text"] = dict(getattr(image, "text", {}) or {})
        return info

    def write_integer(self, picture: Picture, codes: NDArray[Any], file: BinaryIO, quality: int | None) -> None:
        if "chunks" not in picture.info:
            super().write_integer(picture, codes, file, quality)
            return
        import imagecodecs

        # Pillow's default compression level, so that results are no larger than before.
        data = imagecodecs.png_encode(np.ascontiguousarray(codes), level=6)
        # The encoder writes pixels only; the source's descriptive chunks go back where they
        # stood: before the image data, or after it (text a program added once the pixels
        # were written), ahead of the final IEND chunk.
        cut = 8 + 12 + struct.unpack(">I", data[8:12])[0]  # after the signature and IHDR
        with memoryview(data) as encoded:
            file.write(encoded[:cut])
            file.write(b"".join(picture.info["chunks"]))
            file.write(encoded[cut:-12])
            file.write(b"".join(picture.info.get("trailing_chunks", ())))
            file.write(encoded[-12:])

    def save_options(self, picture: Picture, quality: int | None) -> dict[str, Any]:
        from PIL import PngImagePlugin

        options = with_exif(picture, super().save_options(picture, quality))
        text = PngImagePlugin.PngInfo()
        for key, value in picture.info.get("text", {}).items():
            text.add_text(key, value, zip=len(value) > 1024)
        options["pnginfo"] = text
        return options


def _chunks(data: bytes) -> tuple[list[bytes], list[bytes], set[bytes]]:
    """The descriptive chunks before the image data and those after it, whole (length, type,
    data, CRC), and the types of every chunk before it."""
    before: list[bytes] = []
    after: list[bytes] = []
    kinds: set[bytes] = set()
    image_data_seen, offset = False, 8
    while offset + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        if kind == b"IEND":
            break
        if kind == b"IDAT":
            image_data_seen = True
        elif kind in _DESCRIPTIVE:
            (after if image_data_seen else before).append(data[offset:offset + 12 + length])
        if not image_data_seen:
            kinds.add(kind)
        offset += 12 + length
    return before, after, kinds


FAMILY = Png()
