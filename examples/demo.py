"""The main job on a built-in sample: levels, stripes and the grey-or-colour test.

Synthesizes a colour test image and a grey one (nothing is downloaded), runs the three
pixalot operations on them, writes before/after PNG files into demo-output/ and prints
what it did and how long each call took.
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np

import pixalot

OUTPUT = pathlib.Path("demo-output")


def colour_sample(height: int = 360, width: int = 480) -> np.ndarray:
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


def grey_sample(height: int = 360, width: int = 480) -> np.ndarray:
    """A grey radial gradient stored as three equal channels."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    radius = np.hypot(yy - height / 2, xx - width / 2) / np.float32(np.hypot(height / 2, width / 2))
    grey = (0.9 - 0.7 * radius).astype(np.float32)
    return np.repeat(grey[:, :, None], 3, axis=2)


def write_png(image: np.ndarray, name: str) -> pathlib.Path:
    from PIL import Image

    path = OUTPUT / name
    bytes_ = np.clip(np.rint(image * 255.0), 0, 255).astype(np.uint8)
    Image.fromarray(bytes_).save(path)
    return path


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, (time.perf_counter() - start) * 1000.0


def main() -> int:
    OUTPUT.mkdir(exist_ok=True)
    colour, grey = colour_sample(), grey_sample()
    write_png(colour, "colour-before.png")
    write_png(grey, "grey-before.png")

    rows = []
    levelled, ms = timed(lambda: pixalot.color_levels(colour, 0.1, 0.9, 0.0, 1.0, 1.6))
    rows.append(("color_levels(colour, 0.1, 0.9, 0, 1, gamma=1.6)", write_png(levelled, "colour-levels.png").name, ms))
    vertical, ms = timed(lambda: pixalot.sin_patern(colour, 40, 0.25, True, 0.0))
    rows.append(("sin_patern(colour, 40, 0.25, vertical)", write_png(vertical, "colour-stripes-vertical.png").name, ms))
    slanted, ms = timed(lambda: pixalot.sin_patern(grey, 32, 0.3, False, 0.5))
    rows.append(("sin_patern(grey, 32, 0.3, horizontal, slant 0.5)", write_png(slanted, "grey-stripes-slanted.png").name, ms))
    for label, image in (("colour", colour), ("grey", grey)):
        answer, ms = timed(lambda: pixalot.gray_or_color(image, 0.01))
        rows.append((f"gray_or_color({label}, 0.01)", "grey" if answer else "colour", ms))

    width = max(len(call) for call, _, _ in rows)
    print(f"pixalot demo: {colour.shape[1]}x{colour.shape[0]} samples, pictures in {OUTPUT}/")
    print(f"{'call':<{width}}  {'result':<28}  {'time':>9}")
    for call, result, ms in rows:
        print(f"{call:<{width}}  {result:<28}  {ms:7.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
