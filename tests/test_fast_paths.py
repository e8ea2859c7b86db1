"""Large images, where results are computed by blocks, memos, cached rows and streamed
stores: every one of those must give the bits of the element-wise definition, in its vector
body and in its tail."""

import numpy as np
import pytest

import reference
from pixalot import color_levels, gray_or_color, sin_patern
from strategies import assert_same_bits

rng = np.random.default_rng(2026)


def image(shape):
    values = rng.random(shape, dtype=np.float32) * np.float32(1.3) - np.float32(0.15)
    values.reshape(-1)[::97] = np.nan
    return values


@pytest.mark.parametrize("shape, shape_sin", [
    ((1100, 1003, 3), 40),     # streamed result; cached pattern rows; gather tail of 3 columns
    ((257, 515), 7),            # short period, one-channel rows
    ((90, 130, 4), 30000),      # period longer than the image: no cached rows
    ((33100, 21), 12),          # rows past 32768: the 16-bit phase wraps inside a column
    ((9, 40000, 2), 5),         # columns past 32768: the phase wraps inside a row
])
@pytest.mark.parametrize("vertical", [True, False])
@pytest.mark.parametrize("bias", [0.0, 0.5, -2.75])
def test_large_stripes_match_the_definition(shape, shape_sin, vertical, bias):
    arr = image(shape)
    assert_same_bits(sin_patern(arr, shape_sin, 0.3, vertical, bias),
                     reference.sin_patern_whole(arr, shape_sin, 0.3, vertical, bias))


@pytest.mark.parametrize("layout", [np.asfortranarray, lambda a: a[::-1, ::-2], lambda a: a.transpose(1, 0, 2)])
def test_large_stripes_on_strided_inputs_match_the_definition(layout):
    arr = layout(image((300, 410, 3)))
    assert_same_bits(sin_patern(arr, 40, 0.3, False, 0.5), reference.sin_patern_whole(arr, 40, 0.3, False, 0.5))


def few_then_distinct(shape):
    """8-bit values, with a stretch of all-distinct values in the middle: the memo of
    results must step aside there and come back afterwards."""
    arr = (rng.integers(0, 256, shape) / 255).astype(np.float32)
    flat = arr.reshape(-1)
    middle = flat.size // 3
    flat[middle:2 * middle] = rng.random(middle, dtype=np.float32)
    return arr


@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[:, ::2], lambda a: a[::-1], np.asfortranarray])
@pytest.mark.parametrize("gamma", [1.6, 0.45])
def test_large_levels_match_the_definition(layout, gamma):
    arr = layout(few_then_distinct((301, 999, 3)))
    assert_same_bits(color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma),
                     reference.color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma))


@pytest.mark.parametrize("shape", [(4, 9, 3), (7, 1001, 3), (1030, 17, 4), (5, 3, 3)])
@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[::-1, ::-1], lambda a: a[:, ::3]])
def test_channel_means_of_large_images_follow_the_defined_order(shape, layout):
    arr = layout(rng.random(shape, dtype=np.float32) * np.float32(1e4))
    means = reference.channel_means(arr)
    tightest = reference.tightest_tolerance(means)
    assert gray_or_color(arr, tightest) is True
    assert gray_or_color(arr, np.nextafter(tightest, np.float32(-1))) is False
