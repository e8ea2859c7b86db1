"""The main job on a built-in sample: levels, stripes and the grey-or-colour test.

Synthesizes a colour test image and a grey one (nothing is downloaded), runs the three
pixalot operations on them, writes before/after PNG files and a contact sheet, and prints
what it did and how long each call took.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

import pixalot

from .display import printable
from .errors import UsageError
from .inputs import prepare_output_folder

Result = TypeVar("Result")


def colour_sample(height: int = 360, width: int = 480) -> NDArray[Any]:
    """Colour bars over a soft diagonal gradient, with a bright disc: every channel differs."""
    rows = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    columns = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    image = np.empty((height, width, 3), dtype=np.float32)
    bars = np.array(
        [[0.9, 0.9, 0.9], [0.9, 0.9, 0.1], [0.1, 0.9, 0.9], [0.1, 0.9, 0.1],
         [0.9, 0.1, 0.9], [0.9, 0.1, 0.1], [0.1, 0.1, 0.9]],
        dtype=np.float32,
    )
    bar_of_column = np.minimum((columns[0] * len(bars)).astype(int), len(bars) - 1)
    image[:] = bars[bar_of_column][None, :, :]
    image *= (0.35 + 0.65 * (1.0 - rows))[:, :, None]
    centre_y, centre_x = height * 0.62, width * 0.5
    yy, xx = np.mgrid[0:height, 0:width]
    disc = ((yy - centre_y) ** 2 + (xx - centre_x) ** 2) < (min(height, width) * 0.18) ** 2
    image[disc] = np.float32(0.5) * image[disc] + np.float32(0.45)
    return np.ascontiguousarray(image, dtype=np.float32)


def grey_sample(height: int = 360, width: int = 480) -> NDArray[Any]:
    """A grey radial gradient stored as three equal channels."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    radius = np.hypot(yy - height / 2, xx - width / 2) / np.float32(np.hypot(height / 2, width / 2))
    grey = (0.9 - 0.7 * radius).astype(np.float32)
    return np.repeat(grey[:, :, None], 3, axis=2)


def to_bytes(image: NDArray[Any]) -> NDArray[np.uint8]:
    codes: NDArray[np.uint8] = np.clip(np.rint(image * 255.0), 0, 255).astype(np.uint8)
    return codes


def timed(call: Callable[[], Result]) -> tuple[Result, float]:
    start = time.perf_counter()
    result = call()
    return result, (time.perf_counter() - start) * 1000.0


def contact_sheet(tiles: list[tuple[NDArray[Any], str]], columns: int = 3, scale: int = 2) -> Any:
    """The pictures side by side, each at 1/`scale` size with its caption beneath."""
    from PIL import Image, ImageDraw, ImageFont

    try:
        font = ImageFont.load_default(size=13)
    except TypeError:  # Pillow before 10.1 has only the bitmap font
        font = ImageFont.load_default()
    height, width = tiles[0][0].shape[:2]
    tile_w, tile_h, caption, gap = width // scale, height // scale, 22, 10
    rows = -(-len(tiles) // columns)
    sheet = Image.new("RGB", (gap + columns * (tile_w + gap), gap + rows * (tile_h + caption + gap)), (32, 32, 36))
    draw = ImageDraw.Draw(sheet)
    for index, (image, label) in enumerate(tiles):
        x = gap + (index % columns) * (tile_w + gap)
        y = gap + (index // columns) * (tile_h + caption + gap)
        thumbnail = Image.fromarray(to_bytes(image)).resize((tile_w, tile_h), Image.Resampling.LANCZOS)
        sheet.paste(thumbnail, (x, y))
        draw.text((x + 2, y + tile_h + 4), label, fill=(230, 230, 230), font=font)
    return sheet


def demo(options: argparse.Namespace) -> int:
    return run_demo(options.output)


def run_demo(output: str) -> int:
    try:
        from PIL import Image
    except ImportError:
        raise UsageError("the demo writes pictures with Pillow: pip install 'pixalot[cli]'") from None
    folder = prepare_output_folder(output)
    colour, grey = colour_sample(), grey_sample()

    rows: list[tuple[str, str, float]] = []
    pictures = {"colour-before.png": colour, "grey-before.png": grey}
    steps = [
        ("color_levels(colour, 0.1, 0.9, 0, 1, gamma=1.6)", "colour-levels.png",
         lambda: pixalot.color_levels(colour, 0.1, 0.9, 0.0, 1.0, 1.6)),
        ("sin_patern(colour, 40, 0.25, vertical, 0)", "colour-stripes-vertical.png",
         lambda: pixalot.sin_patern(colour, 40, 0.25, True, 0.0)),
        ("sin_patern(grey, 32, 0.3, horizontal, slant 0.5)", "grey-stripes-slanted.png",
         lambda: pixalot.sin_patern(grey, 32, 0.3, False, 0.5)),
        ("color_levels(grey, 0, 1, 0.1, 0.9, gamma=0.6)", "grey-levels.png",
         lambda: pixalot.color_levels(grey, 0.0, 1.0, 0.1, 0.9, 0.6)),
    ]
    for call, name, operation in steps:
        result, ms = timed(operation)
        pictures[name] = result
        rows.append((call, name, ms))
    verdicts = {}
    for label, image in (("colour", colour), ("grey", grey)):
        answer, ms = timed(partial(pixalot.gray_or_color, image, 0.01))
        verdicts[label] = "grey" if answer else "colour"
        rows.append((f"gray_or_color({label}, 0.01)", verdicts[label], ms))

    try:
        for name, image in pictures.items():
            Image.fromarray(to_bytes(image)).save(folder / name)
        captions = {
            "colour-before.png": f"colour sample: {verdicts['colour']}",
            "colour-levels.png": "levels 0.1-0.9, gamma 1.6",
            "colour-stripes-vertical.png": "stripes: period 40, vertical",
            "grey-before.png": f"grey sample: {verdicts['grey']}",
            "grey-stripes-slanted.png": "stripes: period 32, slant 0.5",
            # Gamma comes after the output range: 0.1-0.9 becomes 0.1**0.6-0.9**0.6.
            "grey-levels.png": "out 0.1-0.9, gamma 0.6: 0.25-0.94",
        }
        order = ["colour-before.png", "colour-levels.png", "colour-stripes-vertical.png",
                 "grey-before.png", "grey-stripes-slanted.png", "grey-levels.png"]
        sheet = contact_sheet([(pictures[name], captions[name]) for name in order])
        sheet.save(folder / "contact-sheet.png")
    except OSError as error:
        raise UsageError(f"cannot write the demo pictures into {output}: {error.strerror or error}") from None

    width = max(len(call) for call, _, _ in rows)
    print(printable(f"pixalot demo: {colour.shape[1]}x{colour.shape[0]} samples, pictures in {output}/"))
    print(f"{'call':<{width}}  {'result':<28}  {'time':>10}")
    for call, outcome, ms in rows:
        print(f"{call:<{width}}  {outcome:<28}  {ms:7.2f} ms")
    print(printable(f"contact sheet: {Path(output) / 'contact-sheet.png'}"))
    return 0
