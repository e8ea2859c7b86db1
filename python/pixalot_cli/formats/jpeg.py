"""JPEG: checked whole before decoding, pixels through imagecodecs where it is installed, and
results that keep the source's quantisation, chroma subsampling and metadata (IPTC included).
Multi-picture files (MPO) are JPEG files too, for the check; Pillow does the rest of them."""

from __future__ import annotations

import struct
from pathlib import Path
from typing import Any

import numpy as np

from .. import wholeness
from .family import Family, with_exif
from .picture import LOSSY_QUALITY, Picture, checked_bytes, optional, split


class Jpeg(Family):
    def whole(self, path: Path, format_: str) -> bytes | None:
        return checked_bytes(path, wholeness.jpeg_problem)  # the bytes read for the check are the decoder's

    def metadata(self, image: Any, path: Path, format_: str) -> dict[str, Any]:
        info = super().metadata(image, path, format_)
        if format_ != "JPEG":
            return info
        from PIL import JpegImagePlugin

        info["qtables"] = getattr(image, "quantization", None)
        info["subsampling"] = JpegImagePlugin.get_sampling(image)
        # IPTC lives in a Photoshop APP13 segment, which Pillow reads but does not write.
        info["extra"] = b"".join(b"\xff\xed" + struct.pack(">H", len(data) + 2) + data
                                 for marker, data in getattr(image, "applist", []) if marker == "APP13")
        info["progressive"] = bool(image.info.get("progressive"))
        return info

    def decode(self, image: Any, path: Path, data: bytes | None, info: dict[str, Any],
               deep_colour: bool) -> Picture | None:
        """JPEG pixels through imagecodecs: the same libjpeg-turbo decoding as Pillow's, the very
        same values, without Pillow's extra copy of the image on the way to NumPy; about three
        times faster on a large photo. Pillow has read the metadata already."""
        imagecodecs = optional("imagecodecs")
        if image.format != "JPEG" or image.mode not in ("L", "RGB") or data is None or imagecodecs is None:
            return None
        try:
            codes = imagecodecs.jpeg8_decode(data)
        except Exception:  # whatever imagecodecs cannot decode, Pillow tries and reports on
            return None
        width, height = image.size
        if codes.shape[:2] != (height, width) or codes.dtype != np.uint8 or (codes.ndim == 3) != (image.mode == "RGB"):
            return None
        return split(codes, image.mode, 8, "JPEG", info)

    def save_options(self, picture: Picture, quality: int | None) -> dict[str, Any]:
        options = super().save_options(picture, quality)
        if picture.format != "JPEG":
            return options
        info = picture.info
        with_exif(picture, options)
        options.update({key: info[key] for key in ("comment", "xmp", "extra") if info.get(key)})
        options["progressive"] = info.get("progressive", False)
        sampling = info.get("subsampling", -1)
        if sampling is not None and sampling >= 0:
            options["subsampling"] = sampling
        if quality is not None or not info.get("qtables"):
            options["quality"] = quality or LOSSY_QUALITY
        else:
            options["qtables"] = info["qtables"]
        return options


FAMILY = Jpeg()
