import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import reference
from pixalot import color_levels, sin_patern
from strategies import EDGE_VALUES, LAYOUTS, assert_same_bits, laid_out, lay_out

nan, inf = np.nan, np.inf
VALUES = np.array([-1.0, -0.0, 0.0, 0.1, 0.25, 0.5, 0.7, 1.0, 1.5, nan, inf, -inf, 1e-40], np.float32)


def assert_matches_model(arr, *parameters):
    before = arr.copy()
    result = color_levels(arr, *parameters)
    assert_same_bits(result, reference.color_levels(arr, *parameters))
    assert result.flags.f_contiguous if reference.color_levels_order(arr) == "F" else result.flags.c_contiguous
    assert_same_bits(arr, before)
    return result


@settings(max_examples=60, deadline=None)
@given(
    laid_out(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=7)),
    st.tuples(*[st.one_of(st.sampled_from(EDGE_VALUES), st.floats(-2, 3, width=32))] * 5),
)
def test_every_value_and_layout_matches_the_float32_model(arr, parameters):
    assert_matches_model(arr, *parameters)


@pytest.mark.parametrize(
    "parameters",
    [(0.1, 0.9, 0.05, 0.95, 2.2), (0.2, 0.8, 0, 1, 0.45), (0, 1, 1, 0, 2), (0, 1, -1, 2, 1), (-inf, inf, 0, 1, 1),
     (0, inf, 0, 1, 1), (0, 1, 0, inf, 1), (nan, 1, 0, 1, 1), (1e-30, 2e-30, 0, 1e30, 1.7), (0.3, 0.3, -1, 0, 1)],
)
def test_parameter_edges_match_the_model(parameters):
    assert_matches_model(VALUES, *parameters)


@pytest.mark.parametrize(
    "parameters, expected",
    [
        # Identity: the clamps alone act; NaN, -0.0 and -inf become +0.0.
        ((0, 1, 0, 1, 1), [0, 0, 0, 0.1, 0.25, 0.5, 0.7, 1, 1, 0, 1, 0, 1e-40]),
        # The power of +0.0 to 0 is 1; a negative one sends +0.0 to +infinity.
        ((0, 1, 0, 1, 0), [1] * 13),
        ((0, 1, 0, 1, -1), [inf, inf, inf, 10, 4, 2, 1 / 0.7, 1, 1, inf, 1, inf, inf]),
        # A NaN exponent leaves only the base 1.0 alone.
        ((0, 1, 0, 1, nan), [nan] * 7 + [1, 1, nan, 1, nan, nan]),
        # An empty input span: above in_low 1.0, at in_low 0/0, below it -inf.
        ((0.5, 0.5, 0, 1, 1), [0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0, 0]),
        # An inverted input range: nothing reorders the bounds.
        ((1, 0, 0, 1, 1), [1, 1, 1, 0.9, 0.75, 0.5, 0.3, 0, 0, 0, 0, 1, 1]),
    ],
)
def test_edge_values_and_parameters_give_their_documented_results(parameters, expected):
    result = assert_matches_model(VALUES, *parameters)
    np.testing.assert_allclose(result, np.array(expected, np.float32), rtol=1e-6, atol=0)
    assert not np.signbit(result).any()  # the lower clamp never lets -0.0 through


@pytest.mark.parametrize(
    "make, order",
    [
        pytest.param(lambda v: v.copy(), "C", id="C"),
        pytest.param(np.asfortranarray, "F", id="F"),
        pytest.param(lambda v: lay_out(v, memory_order=[2, 0, 1]), "C", id="permuted"),
        pytest.param(lambda v: lay_out(v, steps=[1, -1, 1]), "C", id="negative"),
        pytest.param(lambda v: lay_out(v, steps=[2, 1, 3]), "C", id="gapped"),
        pytest.param(lambda v: np.asfortranarray(v)[::-1], "C", id="F reversed"),
        pytest.param(lambda v: v[:1, :1].copy(order="F"), "C", id="single pixel"),
        pytest.param(lambda v: v[:, :0], "C", id="empty"),
        pytest.param(lambda v: v[2, 3, 1, ...], "C", id="0-d"),
        pytest.param(lambda v: v[:, 2, 1].copy()[::-1], "C", id="1-d reversed"),
        pytest.param(lambda v: v[:, ::-1], "C", id="flipped left-right"),
        pytest.param(lambda v: v[::-1, ::-1], "C", id="flipped both ways"),
        pytest.param(lambda v: v[::-1, ::-1, ::-1], "C", id="every axis reversed"),
        pytest.param(lambda v: v[..., 0].copy()[:, ::-1], "C", id="grey flipped left-right"),
        pytest.param(lambda v: v.reshape(5, 3, 4)[:, ::-1], "C", id="4 channels flipped"),
        pytest.param(lambda v: v.reshape(4, 3, 5)[:, ::-1], "C", id="5 channels flipped"),
        pytest.param(lambda v: v.reshape(4, 5, 1, 3)[::-1, ::-1], "C", id="flipped, axis of one between"),
        pytest.param(lambda v: np.broadcast_to(v[:, :1], v.shape)[:, ::-1], "C", id="flipped broadcast"),
        pytest.param(lambda v: np.asfortranarray(v.reshape(2, 2, 5, 3, 1)), "F", id="5-d F"),
        pytest.param(lambda v: lay_out(v.reshape(2, 2, 5, 3, 1), [3, 1, 4, 0, 2]), "C", id="5-d permuted"),
    ],
)
def test_result_keeps_the_memory_order_of_a_plainly_ordered_input_and_is_row_major_otherwise(make, order):
    arr = make(np.linspace(-0.1, 1.1, 4 * 5 * 3, dtype=np.float32).reshape(4, 5, 3))
    assert reference.color_levels_order(arr) == order
    assert not np.shares_memory(assert_matches_model(arr, 0.05, 0.95, 0.1, 0.9, 1.3), arr)


@pytest.mark.parametrize("layout", ["packed record field", "packed record field, channels outermost", "unaligned"])
@pytest.mark.parametrize("shape", [(7,), (3, 5), (2, 3, 4)])
def test_inputs_not_addressable_in_whole_elements_read_like_their_contiguous_copy(layout, shape):
    arr = LAYOUTS[layout](np.linspace(-0.2, 1.2, np.prod(shape), dtype=np.float32).reshape(shape))
    assert_same_bits(color_levels(arr, 0.1, 0.9, 0, 1, 0.8),
                     color_levels(np.ascontiguousarray(arr), 0.1, 0.9, 0, 1, 0.8))
    assert_matches_model(arr, 0.1, 0.9, 0, 1, 0.8)


@pytest.mark.skipif(np.intp(0).itemsize < 8,
                    reason="32-bit NumPy refuses arrays over 2 GiB, so no input is big enough to make allocation fail")
@pytest.mark.parametrize("shape", [(2**20, 2**20), (2**29, 2**31)], ids=["4 TiB", "largest NumPy allows"])
@pytest.mark.parametrize("call", [lambda a: color_levels(a, 0, 1, 0, 1, 1), lambda a: sin_patern(a, 4, 0.0, True, 0.0)],
                         ids=["color_levels", "sin_patern"])
def test_terabyte_broadcast_input_raises_memory_error_and_the_process_stays_usable(shape, call):
    scalar = np.array(0.5, np.float32)
    huge = np.broadcast_to(scalar, shape)
    for _ in range(2):  # the refused call gave its borrow back, so the same input is taken again
        with pytest.raises(MemoryError):
            call(huge)
    assert_same_bits(call(huge[:2, :3]), np.full((2, 3), 0.5, np.float32))
    assert_same_bits(color_levels(scalar, 0, 1, 0, 1, 2), np.float32(0.25))


def bases_across_every_binade():
    """Every float32 exponent from the subnormals up to 1.0, at both ends of its mantissa
    range and at a spread of mantissas in between: the bases a levels step can produce."""
    mantissas = np.unique(np.r_[0, 1, 2, np.linspace(3, 2**23 - 2, 61).astype(np.uint32), 2**23 - 1])
    bits = [(exponent << 23) | m for exponent in range(0, 127) for m in mantissas]
    return np.r_[np.array(bits, dtype=np.uint32).view(np.float32), np.float32(1.0)]


def test_powf_is_the_identity_for_gamma_one_and_one_for_gamma_zero_on_every_base():
    # The fast paths for gamma 1 and gamma 0 skip powf; they rely on exactly this.
    for base in bases_across_every_binade():
        assert reference.libm.powf(base, 1.0) == base
        assert reference.libm.powf(base, 0.0) == 1.0 and reference.libm.powf(base, -0.0) == 1.0


@pytest.mark.parametrize("gamma", [1.0, 0.0, -0.0, 1.6])
def test_data_from_eight_bit_sources_gives_the_elementwise_results(gamma):
    # Few distinct values, many repeats: the memo of results must return each one's own.
    rng = np.random.default_rng(7)
    arr = (rng.integers(0, 256, (96, 128, 3)).astype(np.float32) / np.float32(255))
    arr[::5, ::3] = rng.random((20, 43, 3), dtype=np.float32)  # distinct values interleaved
    expected = reference.color_levels(arr, 0.05, 0.95, 0.0, 1.0, gamma)
    assert_same_bits(color_levels(arr, 0.05, 0.95, 0.0, 1.0, gamma), expected)


@pytest.mark.parametrize("shape", [(0,), (0, 3), (3, 0), (2, 0, 3), (4, 3), (1, 1, 3), (2, 1, 3)])
@pytest.mark.parametrize("operation", ["color_levels", "sin_patern"])
def test_a_c_ordered_result_has_c_strides_and_an_empty_one_has_zero_strides(shape, operation):
    if operation == "sin_patern" and len(shape) < 2:
        pytest.skip("stripes need rows and columns")
    arr = np.zeros(shape, np.float32)
    if operation == "color_levels":
        result = color_levels(arr, 0.0, 1.0, 0.0, 1.0, 2.0)
    else:
        result = sin_patern(arr, 5, 0.5, True, 0.0)
    # Zero strides for an empty result whatever NumPy itself would choose for a new empty array.
    expected = (0,) * len(shape) if 0 in shape else np.empty(shape, np.float32).strides
    assert result.strides == expected
