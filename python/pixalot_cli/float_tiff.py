"""Writes 32-bit float TIFF files with any number of channels.

Pillow's only float mode holds a single channel, so colour results are written here:
a baseline little-endian TIFF with one uncompressed strip, which every TIFF reader
(and tifffile, ImageJ, GDAL, Photoshop) understands.
"""

from __future__ import annotations

import struct
from typing import BinaryIO

import numpy as np

_SHORT, _LONG = 3, 4
_BLACK_IS_ZERO, _RGB = 1, 2
_UNASSOCIATED_ALPHA = 2
_IEEE_FLOAT = 3


def write_float_tiff(file: BinaryIO, pixels: np.ndarray, has_alpha: bool) -> None:
    """Writes (H, W) or (H, W, C) float32 data; with `has_alpha` the last channel is alpha."""
    data = np.ascontiguousarray(pixels, dtype="<f4")
    height, width = data.shape[:2]
    samples = 1 if data.ndim == 2 else data.shape[2]
    colour_samples = samples - 1 if has_alpha else samples
    if colour_samples not in (1, 3):
        raise ValueError(f"cannot write {samples} channels as a float TIFF")
    if data.nbytes >= 2**32 - 4096:
        raise ValueError("the image is too large for a TIFF file (4 GiB)")

    entries: list[tuple[int, int, list[int]]] = [
        (256, _LONG, [width]),
        (257, _LONG, [height]),
        (258, _SHORT, [32] * samples),
        (259, _SHORT, [1]),
        (262, _SHORT, [_RGB if colour_samples == 3 else _BLACK_IS_ZERO]),
        (273, _LONG, [0]),  # strip offset, filled in below once the layout is known
        (277, _SHORT, [samples]),
        (278, _LONG, [height]),
        (279, _LONG, [data.nbytes]),
        (284, _SHORT, [1]),
    ]
    if has_alpha:
        entries.append((338, _SHORT, [_UNASSOCIATED_ALPHA]))
    entries.append((339, _SHORT, [_IEEE_FLOAT] * samples))

    directory_size = 2 + 12 * len(entries) + 4
    overflow_at = 8 + directory_size
    overflow = bytearray()
    packed_values = []
    for _tag, kind, values in entries:
        code = "H" if kind == _SHORT else "I"
        raw = struct.pack(f"<{len(values)}{code}", *values)
        packed_values.append(raw)
        if len(raw) > 4:
            overflow += raw
            overflow += b"\0" * (len(overflow) % 2)
    # Aligned pixel data lets readers map the strip straight into a float array.
    strip_offset = overflow_at + len(overflow)
    padding = -strip_offset % 16
    strip_offset += padding

    directory = bytearray(struct.pack("<H", len(entries)))
    next_overflow = overflow_at
    for (tag, kind, values), raw in zip(entries, packed_values):
        if tag == 273:
            raw = struct.pack("<I", strip_offset)
        if len(raw) > 4:
            directory += struct.pack("<HHII", tag, kind, len(values), next_overflow)
            next_overflow += len(raw) + len(raw) % 2
        else:
            directory += struct.pack("<HHI", tag, kind, len(values)) + raw.ljust(4, b"\0")
    directory += struct.pack("<I", 0)

    file.write(b"II*\0" + struct.pack("<I", 8))
    file.write(directory)
    file.write(overflow)
    file.write(b"\0" * padding)
    file.write(data.data)
