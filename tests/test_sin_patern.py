import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import reference
from pixalot import sin_patern
from strategies import EDGE_VALUES, LAYOUTS, assert_same_bits, fault_args, laid_out

nan, inf = np.nan, np.inf
DIVISOR_ZERO = "attempt to calculate the remainder with a divisor of zero"
OVERFLOW = "attempt to calculate the remainder with overflow"
OUT_OF_BOUNDS = "ndarray: index out of bounds"


def assert_matches_model(arr, *parameters):
    before = arr.copy()
    try:
        expected = reference.sin_patern(arr, *parameters)
    except reference.Fault as fault:
        assert fault_args(sin_patern, arr, *parameters) == fault.args
    else:
        result = sin_patern(arr, *parameters)
        assert_same_bits(result, expected)
        assert result.flags.c_contiguous
    assert_same_bits(arr, before)


@settings(max_examples=60, deadline=None)
@given(
    laid_out(st.one_of(hnp.array_shapes(min_dims=2, max_dims=3, min_side=0, max_side=7),
                       hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=3))),
    st.one_of(st.integers(1, 40), st.sampled_from([0, 32768, 40000, 65535, 65536, 65537])),
    st.one_of(st.sampled_from(EDGE_VALUES), st.floats(-2, 2, width=32)),
    st.booleans(),
    st.one_of(st.sampled_from([nan, inf, -inf, 0.5, -0.5, 1e6, -1e6]), st.floats(-40, 40, width=32)),
)
def test_every_image_and_parameter_set_matches_the_model(arr, shape_sin, alpha, vertical, bias):
    assert_matches_model(arr, shape_sin, alpha, vertical, bias)


def test_four_entry_table_lays_the_documented_stripes_in_both_directions():
    across = sin_patern(np.zeros((1, 8), np.float32), 4, 1.0, True, 0.0)[0]
    down = sin_patern(np.zeros((8, 1), np.float32), 4, 1.0, False, 0.0)[:, 0]
    # sinf of 0, 1.57, 3.14 and 4.71: 3.14 is not pi, so entry 2 stays slightly positive.
    np.testing.assert_allclose(across, [0, 1, 0.0016, 0] * 2, atol=1e-4)
    assert 0 < across[1] < 1 and across[2] > 0
    # The horizontal wave runs backwards through the table: T[0], T[3], T[2], T[1].
    assert_same_bits(down, across[[0, 3, 2, 1, 0, 3, 2, 1]])
    assert_matches_model(np.zeros((1, 8), np.float32), 4, 1.0, True, 0.0)


@pytest.mark.parametrize("vertical", [True, False])
@pytest.mark.parametrize(
    "bias, shift",
    [(0.0, lambda k: 0), (1.0, lambda k: k), (3.0, lambda k: 3 * k), (0.5, lambda k: k // 2), (nan, lambda k: 0),
     (-0.5, lambda k: -(k // 2)),  # truncated toward zero, not floored
     (inf, lambda k: 0 if k == 0 else 32767),  # 0 * inf is NaN on line 0
     (-1e6, lambda k: 0 if k == 0 else -32768)],
)
def test_bias_shifts_each_line_by_its_truncated_saturated_offset(bias, shift, vertical):
    image = np.full((8, 8, 3), 0.5, np.float32)
    result = sin_patern(image, 4, 0.4, vertical, bias)
    first = result[0] if vertical else result[:, 0]
    for k in range(8):
        line = result[k] if vertical else result[:, k]
        # Phases j - o and o - i: either way a line is the first one rolled on by its offset.
        assert_same_bits(line, np.roll(first, shift(k), axis=0))
    assert (result[..., 0] == result[..., 2]).all()
    assert_matches_model(image, 4, 0.4, vertical, bias)


# 2**32 - 1 (low half -1) has a table of four billion entries of which only the first can be
# read; on 32-bit builds such a table is refused by its size instead (see test_word_size).
BILLIONS = [pytest.param(2**32 - 1, marks=pytest.mark.skipif(sys.maxsize < 2**32, reason="32-bit word"))]


@pytest.mark.parametrize("vertical", [True, False])
@pytest.mark.parametrize("shape_sin", [1, 65535, 65537, *BILLIONS])
def test_one_entry_periods_only_clamp_the_image(shape_sin, vertical):
    image = np.array([[-1, -0.0, 0, 0.3], [1, 2, nan, inf], [-inf, 0.999, 1e-40, 0.5]], np.float32)
    expected = [[0, 0, 0, 0.3], [1, 1, 0, 1], [0, 0.999, 1e-40, 0.5]]
    assert_same_bits(sin_patern(image, shape_sin, 0.7, vertical, 2.5), np.array(expected, np.float32))


@pytest.mark.parametrize(
    "shape, shape_sin, vertical, bias, message",
    [
        ((3, 4), 0, True, 0, DIVISOR_ZERO),
        ((3, 4, 2), 65536, False, 0, DIVISOR_ZERO),
        ((2, 3, 1), 5, True, 0, OUT_OF_BOUNDS),
        ((2, 3, 0), 5, False, 0, OUT_OF_BOUNDS),
        ((2, 3, 2, 2), 5, True, 0, OUT_OF_BOUNDS),
        ((5,), 5, True, 0, "index out of bounds: the len is 1 but the index is 1"),
        ((), 5, True, 0, "index out of bounds: the len is 0 but the index is 0"),
        ((1, 32769), 65535, True, 0, OVERFLOW),  # column 32768 is phase -32768
        ((32769, 1), 65535, False, 0, OVERFLOW),
        ((2, 4), 40000, True, 1, OUT_OF_BOUNDS),  # -1 rem -25536 plus -25536 stays negative
        ((1, 32769), 40000, True, 0, OUT_OF_BOUNDS),
    ],
)
def test_impossible_shapes_and_periods_fault_with_their_message(shape, shape_sin, vertical, bias, message):
    image = np.full(shape, 0.25, np.float32)
    assert fault_args(sin_patern, image, shape_sin, 1.0, vertical, bias) == (message,)
    assert_matches_model(image, shape_sin, 1.0, vertical, bias)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0, 3), (4, 0, 1), (0, 2, 2, 2)])
def test_images_without_pixels_give_an_empty_result_whatever_the_period(shape):
    result = sin_patern(np.zeros(shape, np.float32), 0, 1.0, True, 0.0)
    assert result.shape == shape and result.dtype == np.float32


@pytest.mark.parametrize(
    "shape, shape_sin, vertical",
    [((1, 40000), 1000, True), ((40000, 1), 1000, False), ((2, 40000), 32768, True), ((1, 40000), 40000, False)],
)
def test_lines_past_32768_pixels_wrap_their_phase_to_16_bits(shape, shape_sin, vertical):
    image = np.full(shape, 0.5, np.float32)
    assert_matches_model(image, shape_sin, 0.5, vertical, 1.0)


def test_column_32768_counts_as_minus_32768_and_jumps_the_stripes():
    row = sin_patern(np.full((1, 33000), 0.5, np.float32), 1000, 0.5, True, 0.0)[0]
    assert row[32768] == row[232] != row[768]  # -32768 rem 1000 is -768, plus 1000


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("shape", [(5, 6), (5, 6, 3), (4, 7, 4)])
def test_any_layout_gives_the_result_of_its_contiguous_copy(layout, shape):
    values = np.linspace(-0.2, 1.2, np.prod(shape), dtype=np.float32).reshape(shape)
    arr = LAYOUTS[layout](values)
    for vertical in (True, False):
        assert_same_bits(sin_patern(arr, 5, 0.3, vertical, 0.7), sin_patern(values, 5, 0.3, vertical, 0.7))
        assert_matches_model(arr, 5, 0.3, vertical, 0.7)
