"""The image formats the command reads and writes: one module per family of formats, each
behind the same interface (`family.Family`), found here by file suffix or by the format its
contents turn out to be. Adding a format is one module and one entry of `FAMILIES`.

This table imports nothing heavy: the parser names the suffixes in its help, and a family's
module (with NumPy and its codecs) is imported only when a file of it is read or written.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from .family import Family


class Entry(NamedTuple):
    module: str  # the family's module in this package, which defines FAMILY
    suffixes: tuple[str, ...]  # the names looked for in folders, and the files its own reader tries first
    formats: tuple[str, ...]  # the format names (Pillow's, or "NPY") whose files it writes and describes


FAMILIES = (
    Entry("png", (".png",), ("PNG",)),
    Entry("tiff", (".tif", ".tiff"), ("TIFF",)),
    Entry("jpeg", (".jpg", ".jpeg"), ("JPEG", "MPO")),
    Entry("webp_bmp_gif", (".webp", ".bmp", ".gif"), ("WEBP", "BMP", "GIF")),
    Entry("npy", (".npy",), ("NPY",)),
)

# Extensions looked for when a folder is given; a file named explicitly is tried whatever it is called.
IMAGE_SUFFIXES = tuple(suffix for entry in FAMILIES for suffix in entry.suffixes)

# Files are the user's own, so the limit is generous: a 500-megapixel image already needs
# 6 GB as float32 RGB. It only keeps a damaged or hostile header from asking for terabytes.
DEFAULT_MAX_PIXELS = 500_000_000


def _load(module: str) -> Family:
    family: Family = importlib.import_module(f"{__name__}.{module}").FAMILY
    return family


def by_suffix(suffix: str) -> Family | None:
    """The family whose files are named so (`suffix` in any case), or None."""
    folded = suffix.lower()
    return next((_load(entry.module) for entry in FAMILIES if folded in entry.suffixes), None)


def by_format(name: str) -> Family:
    """The family of a format; a format no family names (one Pillow reads, such as PPM) is
    written by Pillow with the metadata every format shares."""
    entry = next((entry for entry in FAMILIES if name in entry.formats), None)
    if entry is not None:
        return _load(entry.module)
    from .family import Family

    return Family()
