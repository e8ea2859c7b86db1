"""Exact, fast image operations on float32 NumPy arrays.

Every function reads its `input` in place (any memory layout), never modifies it and
never copies it. Besides the exceptions each function names, any call can raise
`pixalot_runtime.PanicException` when an internal assumption fails (a fault): it derives
from BaseException, not Exception, its `args[0]` is the fault's message, and the module
also writes a two-line report to file descriptor 2. The type is not a module attribute.
"""

from typing import Any

import numpy as np

__all__ = ["sin_patern", "color_levels", "gray_or_color"]

_Float32Array = np.ndarray[Any, np.dtype[np.float32]]

def sin_patern(input: _Float32Array, shape_sin: int, alpha: float, vertical: bool, bias: float) -> _Float32Array:
    """Adds a sine stripe pattern to an image and returns a new array, clamped to [0, 1].

    input: float32 array of shape (H, W) or (H, W, C) with C >= 2; the same value is added
        to every channel of a pixel.
    shape_sin: the period in pixels, 2 to 32767 in sensible use. The table holds
        sinf(t * 3.14 / (shape_sin * 0.5)) * alpha for t < shape_sin: 6.28 radians, just
        short of a full wave. Only its low 16 bits, as a signed number, serve as the period.
    alpha: the amplitude of the wave.
    vertical: True for vertical stripes (the wave runs along the columns), False for
        horizontal ones. Must be a bool: the int 1 is refused.
    bias: slant, the shift of the wave in pixels per line across it.

    Returns a new C-contiguous float32 array of the input's shape.

    Raises TypeError for arguments of the wrong type (e.g. a float64 input), OverflowError
    for a shape_sin that is negative or does not fit in 32 bits, and PanicException for
    a zero period ("attempt to calculate the remainder with a divisor of zero"), an input
    of another shape ("ndarray: index out of bounds", or "index out of bounds: ..." below
    two dimensions) and for some periods of 32768 and more.
    """

def color_levels(
    input: _Float32Array, in_low: float, in_high: float, out_low: float, out_high: float, gamma: float
) -> _Float32Array:
    """Levels: maps [in_low, in_high] onto [out_low, out_high], clamps, then applies gamma.

    Every element x becomes
    powf(clamp01((x - in_low) / (in_high - in_low) * (out_high - out_low) + out_low), gamma),
    computed in float32; NaN and values below 0 clamp to 0.

    input: float32 array of any shape (grey, colour, or any other data).
    in_low, in_high: the input range; in_high < in_low inverts the mapping.
    out_low, out_high: the output range.
    gamma: the exponent itself (not its reciprocal): above 1 darkens the midtones.

    Returns a new float32 array of the input's shape.

    Raises TypeError for arguments of the wrong type (e.g. a float64 input, a str bound).
    """

def gray_or_color(input: _Float32Array, min: float) -> bool:
    """Tells a grey image from a colour one.

    input: float32 array of shape (H, W, C) with H, W >= 1 and C >= 3; channels from
        index 3 on (alpha) are ignored.
    min: the tolerance: how far the channel means may differ.

    Returns True when the means of channels 0, 1 and 2 agree pairwise within `min`
    (a NaN mean or a NaN tolerance gives False).

    Raises TypeError for arguments of the wrong type, and PanicException for an input of
    another shape: "assertion `left == right` failed: ..." unless it has 3 dimensions,
    "assertion failed: index < dim" for fewer than 3 channels, "called `unwrap()` on an
    empty value" for an image without pixels.
    """
