"""Telling a whole image file from a cut-short or damaged one before its pixels are trusted.

Decoders are lenient where an archive must not be: libjpeg fills the rows after a cut with
grey and only warns, Pillow's PNG reader stops quietly where the end chunk is missing, and
tifffile pads a strip that lies beyond the file's end. These checks walk the file's own
structure, which costs little beside decoding, and name what is wrong.
"""

from __future__ import annotations

import contextlib
import logging
import re
import struct
import zlib
from collections.abc import Iterator

# In JPEG image data a 0xFF byte is followed by 0x00 (a stuffed byte) or by a restart
# marker; any other byte after it ends the data: the next marker, maybe after fill bytes.
_JPEG_DATA_END = re.compile(rb"\xff[^\x00\xd0-\xd7]")
_JPEG_STANDALONE = {0x01, *range(0xD0, 0xD8)}


def jpeg_problem(data: bytes) -> str | None:
    """Why a JPEG file is not whole, or None: its segments and image data must run on to its
    end marker. (JPEG has no checksums: damage that keeps the structure is found by none.)"""
    if data[:2] != b"\xff\xd8":
        return "no JPEG start marker"
    position, size = 2, len(data)
    while True:
        while position + 1 < size and data[position] == 0xFF and data[position + 1] == 0xFF:
            position += 1  # fill bytes before a marker
        if position + 2 > size:
            return "cut short before its end marker"
        if data[position] != 0xFF or data[position + 1] == 0x00:
            return f"no marker where one belongs, at byte {position:,}"
        marker = data[position + 1]
        position += 2
        if marker == 0xD9:
            return None
        if marker in _JPEG_STANDALONE:
            continue
        if position + 2 > size:
            return "cut short before its end marker"
        length = int.from_bytes(data[position:position + 2], "big")
        if length < 2:
            return f"a segment of impossible length, at byte {position:,}"
        position += length
        if position > size:
            return "cut short inside a segment"
        if marker == 0xDA:  # start of scan: its image data follows the header
            end = _JPEG_DATA_END.search(data, position)
            if end is None:
                return "cut short in its image data"
            position = end.start()


_PNG_END = b"IEND"

# How files of the formats read here begin; one whose start is known but whose header cannot
# be read is damaged, not some other kind of file.
_SIGNATURES = ((b"\xff\xd8\xff", "JPEG"), (b"\x89PNG\r\n\x1a\n", "PNG"), (b"GIF8", "GIF"), (b"BM", "BMP"),
               (b"II*\x00", "TIFF"), (b"MM\x00*", "TIFF"))


def known_start(head: bytes) -> str | None:
    """The format whose signature `head` (12 bytes) starts with, or None."""
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "WebP"
    return next((name for signature, name in _SIGNATURES if head.startswith(signature)), None)


def png_problem(data: bytes, check_image_data: bool) -> str | None:
    """Why a PNG file is not whole, or None: every chunk complete with its checksum right,
    up to the end chunk. The image data's checksums are left to a decoder that checks them."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return "no PNG signature"
    position, size = 8, len(data)
    with memoryview(data) as view:
        while position + 12 <= size:
            length, kind = struct.unpack_from(">I4s", data, position)
            end = position + 12 + length
            if end > size:
                break
            if (check_image_data or kind != b"IDAT") and \
                    zlib.crc32(view[position + 4:end - 4]) != int.from_bytes(view[end - 4:end], "big"):
                return f"bad checksum in its {kind.decode('latin-1')!r} chunk"
            if kind == _PNG_END:
                return None
            position = end
    return "cut short before its end chunk"


def gif_problem(data: bytes) -> str | None:
    """Why a GIF file is not whole, or None: its blocks must run on to its trailer."""
    if data[:3] != b"GIF" or len(data) < 13:
        return "no GIF header"
    position, size = 13, len(data)
    if data[10] & 0x80:  # a global colour table follows the screen descriptor
        position += 3 << ((data[10] & 7) + 1)
    while position < size:
        kind = data[position]
        if kind == 0x3B:
            return None
        if kind == 0x21:  # an extension: its label, then data blocks
            position += 2
        elif kind == 0x2C:  # an image: its descriptor, colour table and code size, then data blocks
            if position + 10 > size:
                break
            flags = data[position + 9]
            position += 10 + (3 << ((flags & 7) + 1) if flags & 0x80 else 0) + 1
        else:
            return f"an unknown block at byte {position:,}"
        while position < size and data[position]:  # data blocks, up to the empty one
            position += 1 + data[position]
        position += 1
    return "cut short before its trailer"


def strips_problem(offsets: tuple[int, ...], counts: tuple[int, ...], size: int) -> str | None:
    """Why a TIFF page's strips or tiles are not all in the file, or None."""
    if len(offsets) != len(counts):
        return f"its {len(offsets)} strip offsets and {len(counts)} strip sizes disagree"
    for index, (offset, count) in enumerate(zip(offsets, counts, strict=True)):
        if offset + count > size or (count and not offset):
            return f"strip {index} is missing (the file is {size:,} bytes)"
    return None


class _Recorder(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


@contextlib.contextmanager
def logged_warnings(name: str) -> Iterator[list[str]]:
    """The warnings a library logs meanwhile (tifffile reports padded, undecodable data so),
    gathered rather than printed."""
    logger = logging.getLogger(name)
    recorder = _Recorder()
    logger.addHandler(recorder)
    try:
        yield recorder.messages
    finally:
        logger.removeHandler(recorder)
