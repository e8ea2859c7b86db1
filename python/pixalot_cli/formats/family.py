"""What a family of formats supplies, with what Pillow does for any format as the default.

Files are opened by Pillow unless the family's own reader (`read`) takes them first; the
family then says whether the file is whole, what of its metadata a result carries, and how
it decodes faster or deeper than Pillow; and it writes results in its format.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from ..errors import PictureError
from .picture import Picture, optional, pillow

# Metadata Pillow reads the same way from every format that has it; kept as save options.
_COMMON_METADATA = ("icc_profile", "exif", "dpi", "comment", "xmp")


class Family:
    """The defaults: Pillow reads, checks nothing before decoding, and writes."""

    def read(self, path: Path, max_pixels: int) -> Picture | None:
        """Reads a file of the family's suffix before Pillow is tried; None leaves it to Pillow."""
        return None

    def unidentified(self, path: Path) -> Picture | None:
        """A file of the family's suffix that Pillow does not know; None: not an image."""
        return None

    def whole(self, path: Path, format_: str) -> bytes | None:
        """Refuses (`PictureError`) a cut-short or damaged file before it is decoded; gives
        back the file's bytes where they were read for the check and `decode` wants them."""
        return None

    def metadata(self, image: Any, path: Path, format_: str) -> dict[str, Any]:
        """What the result must carry of the source besides its pixels, as save options."""
        return {key: image.info[key] for key in _COMMON_METADATA if key in image.info}

    def decode(self, image: Any, path: Path, data: bytes | None, info: dict[str, Any],
               deep_colour: bool) -> Picture | None:
        """The pixels by the family's own decoder, where it is faster or reads more bits than
        Pillow's; None leaves them to Pillow."""
        return None

    def write_integer(self, picture: Picture, codes: NDArray[Any], file: BinaryIO, quality: int | None) -> None:
        """Writes code values (with alpha as the last channel) at the picture's bit depth."""
        if picture.bits == 16 and codes.ndim == 3:
            raise PictureError(f"16-bit colour {picture.format} cannot be written")
        if picture.file_bits == 32:
            codes = codes.astype(np.int32)
        image = pillow().fromarray(np.ascontiguousarray(codes))
        image.save(file, format=picture.format, **self.save_options(picture, quality))

    def save_options(self, picture: Picture, quality: int | None) -> dict[str, Any]:
        info = picture.info
        return {key: info[key] for key in ("icc_profile", "dpi") if key in info}

    def write_float(self, picture: Picture, pixels: NDArray[Any], file: BinaryIO, as_float: bool) -> None:
        """Writes float32 pixels, and the picture's alpha as a float extra channel: float
        results of every family are 32-bit float TIFF files."""
        if pixels.ndim not in (2, 3) or (pixels.ndim == 3 and pixels.shape[2] not in (1, 3)):
            raise PictureError(f"an array of shape {pixels.shape} has no float TIFF form; write it as .npy")
        channels = pixels if pixels.ndim == 2 or pixels.shape[2] != 1 else pixels[..., 0]
        if picture.alpha is not None:
            alpha = picture.alpha.astype(np.float32)
            if picture.code_max is not None:
                alpha /= np.float32(picture.code_max)
            channels = np.dstack([channels, alpha])
        tifffile = optional("tifffile")
        if tifffile is None:
            if channels.ndim != 2:
                raise PictureError("colour float TIFF needs tifffile: pip install 'pixalot[cli]'")
            pillow().fromarray(np.ascontiguousarray(channels), "F").save(file, format="TIFF")
            return
        tifffile.imwrite(file, np.ascontiguousarray(channels), photometric="minisblack" if channels.ndim == 2 or
                         channels.shape[2] == 2 else "rgb", extrasamples=("unassalpha",) if picture.alpha is not None
                         else None, compression="zlib", metadata=None)


def with_exif(picture: Picture, options: dict[str, Any]) -> dict[str, Any]:
    # Pixels are processed as stored; the orientation tag must come along for viewers to
    # turn the result as they turned the original.
    if "exif" in picture.info:
        options["exif"] = picture.info["exif"]
    return options
