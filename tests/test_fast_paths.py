"""Large images, where results are computed by blocks, memos, cached rows and streamed
stores: every one of those must give the bits of the element-wise definition, in its vector
body and in its tail."""

import os
import platform
import subprocess
import sys

import numpy as np
import pytest

import reference
from pixalot import color_levels, gray_or_color, sin_patern
from strategies import assert_same_bits

rng = np.random.default_rng(2026)
# The processors for which the module has vector bodies of its own (AVX2).
X86 = ("x86_64", "AMD64", "i386", "i686")


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


@pytest.mark.parametrize("layout", [np.asfortranarray, lambda a: a[::-1, ::-2], lambda a: a.transpose(1, 0, 2),
                                    lambda a: a[:, ::-1], lambda a: a[::-1, ::-1],
                                    lambda a: np.ascontiguousarray(a[..., 0])[:, ::-1]],
                         ids=["F", "stepped", "transposed", "flipped left-right", "flipped both ways",
                              "grey flipped left-right"])
@pytest.mark.parametrize("vertical", [True, False])
def test_large_stripes_on_strided_inputs_match_the_definition(layout, vertical):
    arr = layout(image((300, 410, 3)))
    assert_same_bits(sin_patern(arr, 40, 0.3, vertical, 0.5), reference.sin_patern_whole(arr, 40, 0.3, vertical, 0.5))


def few_then_distinct(shape):
    """8-bit values, with a stretch of all-distinct values in the middle: the memo of
    results must step aside there and come back afterwards."""
    arr = (rng.integers(0, 256, shape) / 255).astype(np.float32)
    flat = arr.reshape(-1)
    middle = flat.size // 3
    flat[middle:2 * middle] = rng.random(middle, dtype=np.float32)
    return arr


@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[:, ::2], lambda a: a[::-1], np.asfortranarray,
                                    lambda a: a[:, ::-1], lambda a: a[::-1, ::-1], lambda a: a[::-1, ::-1, ::-1],
                                    lambda a: np.ascontiguousarray(a[..., 0])[:, ::-1]],
                         ids=["C", "stepped", "flipped up-down", "F", "flipped left-right", "flipped both ways",
                              "every axis reversed", "grey flipped left-right"])
@pytest.mark.parametrize("gamma", [1.6, 0.45, 1.0])
def test_large_levels_match_the_definition(layout, gamma):
    arr = layout(few_then_distinct((301, 999, 3)))
    assert_same_bits(color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma),
                     reference.color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma))


def codes(depth, count):
    """`count` values k / (2^depth - 1) in float32, every code at least once, shuffled."""
    levels = (1 << depth) - 1
    k = np.concatenate([np.arange(levels + 1), rng.integers(0, levels + 1, max(0, count - levels - 1))])
    return rng.permutation(k).astype(np.float32) / np.float32(levels)


# A NaN gamma whose powf result may carry every payload bit: the code table's mark for a
# code not met yet.
ALL_ONES_NAN = float(np.uint32(0xFFFFFFFF).view(np.float32))
LEVELS_GAMMAS = [2.2, 0.45, -1.5, 1.0, 0.0, float("nan"), ALL_ONES_NAN]


@pytest.mark.parametrize("depth", [8, 10, 12, 14, 16])
@pytest.mark.parametrize("gamma", LEVELS_GAMMAS)
def test_every_code_of_integer_sources_gives_the_elementwise_result(depth, gamma):
    arr = codes(depth, 3 << 15).reshape(-1, 3)
    assert_same_bits(color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma),
                     reference.color_levels(arr, 0.05, 0.95, 0.1, 0.9, gamma))


def near_codes(depth, count):
    """Codes with values that are almost codes, and others no code can be, strewn in."""
    arr = codes(depth, count)
    levels = np.float32((1 << depth) - 1)
    near = arr[rng.integers(0, count, 64)]
    odd = np.array([-0.0, np.nan, -np.nan, ALL_ONES_NAN, np.inf, -np.inf, 2.0, -1.0, 1e-40,
                    np.float32(levels + 1) / levels, np.float32(-1) / levels], np.float32)
    spots = rng.choice(count, 128 + odd.size, replace=False)
    arr[spots[:64]] = np.nextafter(near, np.float32(np.inf))
    arr[spots[64:128]] = np.nextafter(near, np.float32(-np.inf))
    arr[spots[128:]] = odd
    return arr


@pytest.mark.parametrize("depth", [8, 16])
@pytest.mark.parametrize("gamma", LEVELS_GAMMAS)
def test_values_that_are_not_quite_codes_give_their_own_results(depth, gamma):
    arr = near_codes(depth, 40000).reshape(-1, 4)
    assert_same_bits(color_levels(arr, 0.0, 1.0, 0.0, 1.0, gamma),
                     reference.color_levels(arr, 0.0, 1.0, 0.0, 1.0, gamma))


def changing_sources(shape):
    """A flat border, then 8-bit codes, 16-bit codes, all-distinct values and 10-bit codes:
    whatever table serves one stretch must give way to the next."""
    flat = np.zeros(int(np.prod(shape)), np.float32)
    part = flat.size // 6
    flat[part:2 * part] = codes(8, part)
    flat[2 * part:3 * part] = codes(16, part)
    flat[3 * part:4 * part] = rng.random(part, dtype=np.float32)
    flat[4 * part:] = codes(10, flat.size - 4 * part)
    return flat.reshape(shape)


@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[:, ::2], lambda a: a[::-1], np.asfortranarray,
                                    lambda a: a.transpose(1, 0, 2)])
@pytest.mark.parametrize("gamma", [2.2, -0.7])
def test_code_tables_follow_the_data_in_every_layout(layout, gamma):
    arr = layout(changing_sources((420, 555, 3)))
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


def negative_zeros(shape):
    """-0.0 almost everywhere, with a few ordinary values so that a result of all +0.0
    bits cannot pass by accident."""
    arr = np.full(shape, -0.0, np.float32)
    arr.reshape(-1)[::89] = 0.5
    return arr


# Small (vector tails only), vector bodies and tails, and a result large enough to be streamed.
NEGATIVE_ZERO_SHAPES = [(3, 5), (2, 37, 3), (720, 1000, 3)]


@pytest.mark.parametrize("shape, shape_sin", [
    *((shape, 1) for shape in NEGATIVE_ZERO_SHAPES),
    ((3, 5), 65535), ((2, 37, 3), 65535),  # a negative 16-bit period: pixel by pixel
])
@pytest.mark.parametrize("vertical", [True, False])
def test_negative_zero_plus_a_negative_zero_stripe_leaves_the_clamp_as_positive_zero(shape, shape_sin, vertical):
    # Entry 0 of the table is sinf(0) times a negative alpha, -0.0; -0.0 + -0.0 is -0.0.
    arr = negative_zeros(shape)
    result = sin_patern(arr, shape_sin, -0.5, vertical, 0.0)
    assert not np.signbit(result).any()
    model = reference.sin_patern_whole if shape_sin == 1 else reference.sin_patern
    assert_same_bits(result, model(arr, shape_sin, -0.5, vertical, 0.0))


@pytest.mark.parametrize("shape", NEGATIVE_ZERO_SHAPES)
@pytest.mark.parametrize("gamma", [1.0, 3.0])
def test_negative_zero_mapped_onto_a_negative_zero_floor_leaves_the_clamp_as_positive_zero(shape, gamma):
    # (-0.0 - 0) / 1 * 1 + -0.0 is -0.0, and powf(-0.0, 1 or 3) would keep its sign.
    arr = negative_zeros(shape)
    result = color_levels(arr, 0.0, 1.0, -0.0, 1.0, gamma)
    assert not np.signbit(result).any()
    assert_same_bits(result, reference.color_levels(arr, 0.0, 1.0, -0.0, 1.0, gamma))


@pytest.mark.skipif(os.environ.get("PIXALOT_CPU") == "baseline", reason="this is the baseline run")
@pytest.mark.skipif(platform.machine() not in X86, reason="only x86 has bodies beside the baseline, which ran above")
def test_the_baseline_kernels_give_the_same_bits():
    """The tests above ran the vector bodies this processor has; the baseline bodies, which
    every processor runs, must pass them too."""
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", "not channel_means", __file__],
        env={**os.environ, "PIXALOT_CPU": "baseline"}, capture_output=True, text=True, timeout=600,
    )
    assert completed.returncode == 0, completed.stdout[-4000:]
