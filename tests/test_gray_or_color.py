import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from pixalot import gray_or_color
from strategies import LAYOUTS, SUBNORMAL, assert_same_bits, fault_args, just_below, laid_out, lay_out

nan, inf = np.nan, np.inf
ABOVE_ONE = float(np.nextafter(np.float32(1), np.float32(2)))  # 1 + 2**-23
RUN = [1e8, 1, 1, 1, -1e8, 1, 1, 1]  # sums to 6 by the eight-way fold, to 3 left to right


def assert_answers_match_model(arr, *tolerances):
    """Compare answers at the model's tightest tolerance and just below it, where a mean
    that is off in its last bit changes the answer."""
    before = arr.copy()
    tightest = reference.tightest_tolerance(reference.channel_means(arr))
    boundary = [0.0, 1.0, inf] if tightest is None else [tightest, just_below(tightest)]
    for tolerance in [*boundary, *tolerances]:
        assert gray_or_color(arr, tolerance) is reference.gray_or_color(arr, tolerance), tolerance
    assert_same_bits(arr, before)


IMAGES = laid_out(
    st.tuples(st.integers(1, 6), st.integers(1, 10), st.integers(3, 4)),
    elements=st.one_of(*[st.floats(-1, 2, width=32)] * 3, st.sampled_from([-0.0, 1e8, -1e8, SUBNORMAL, inf, nan])),
)


@settings(max_examples=60, deadline=None)
@given(IMAGES, st.floats(width=32))
def test_answer_matches_the_model_at_the_tightest_tolerance_in_any_layout(arr, tolerance):
    assert_answers_match_model(arr, tolerance)


def image_with_first_channel(plane, others, **layout):
    """Channel 0 is `plane`; channels 1 and 2 hold the constant `others`."""
    values = np.stack([plane, np.full_like(plane, others), np.full_like(plane, others)], axis=-1)
    return lay_out(values.astype(np.float32), **layout)


SHORT_ROWS = np.array([RUN[:4], RUN[4:]])  # (2, 4)
LONG_ROWS = np.array([RUN, [0] * 8])  # (2, 8)


@pytest.mark.parametrize(
    "plane, layout, mean",
    [
        (SHORT_ROWS, dict(memory_order=[2, 0, 1]), 0.75),  # contiguous plane: one fold over 8
        (SHORT_ROWS, dict(), 0.0),  # strided columns: plain sum per row
        (SHORT_ROWS, dict(memory_order=[2, 1, 0]), 0.5),  # column-major plane: 1e8, -1e8, 1, ...
        (SHORT_ROWS, dict(memory_order=[2, 0, 1], steps=[1, -1, 1]), 0.75),  # address order: 1,1,1,1e8,...
        (LONG_ROWS, dict(memory_order=[2, 0, 1], steps=[2, 1, 1]), 0.375),  # gapped rows of unit stride
        (LONG_ROWS, dict(memory_order=[2, 0, 1], steps=[2, -1, 1]), 0.1875),  # reversed columns: plain
    ],
    ids=["channels outermost", "row-major", "column-major", "reversed contiguous", "gapped rows", "reversed gapped"],
)
def test_summation_order_follows_the_memory_layout_of_each_plane(plane, layout, mean):
    arr = image_with_first_channel(plane, mean, **layout)
    assert reference.channel_means(arr) == [mean] * 3
    assert gray_or_color(arr, 0.0) is True
    assert gray_or_color(image_with_first_channel(plane, mean + 0.0625, **layout), 0.0) is False


@pytest.mark.parametrize(
    "channels, tolerance, expected",
    [
        ((0.3, 0.3, 0.3), 0.0, True),
        ((0.3, 0.3, 0.3), -0.0, True),
        ((0.3, 0.3, 0.3), inf, True),
        ((0.3, 0.3, 0.3), nan, False),
        ((0.3, 0.3, 0.3), -1.0, False),
        ((0.3, 0.3, 0.3), -1e-45, True),  # 0.3 plus or minus it rounds back to 0.3
        ((0.3, nan, 0.3), inf, False),
        ((inf, inf, inf), 1.0, True),
        ((inf, inf, inf), inf, False),  # inf - inf is NaN
        ((0.5, 0.5, 0.75), 0.25, True),
        ((0.5, 0.5, 0.75), float(just_below(0.25)), True),  # 0.5 + t still rounds to 0.75
        ((0.5, 0.5, 0.75), 0.2499, False),
        ((-0.0, 0.0, -0.0), 0.0, True),
        ((0.3, 0.3, 0.3, nan), 0.0, True),  # a fourth channel is never looked at
        ((0.3, 0.3, 0.3, 0.9), 0.1, True),
        # 1 + 2**-24 rounds down to 1, so m0 <= m1 + t fails though m1 >= m0 - t holds.
        ((ABOVE_ONE, 1.0, 1.0), 2.0**-24, False),
        ((ABOVE_ONE, 1.0, 1.0), 2.0**-23, True),
    ],
)
def test_tolerance_compares_each_pair_of_means_from_both_sides(channels, tolerance, expected):
    arr = np.empty((2, 4, len(channels)), np.float32)
    arr[...] = channels
    assert gray_or_color(arr, tolerance) is expected
    assert reference.gray_or_color(arr, tolerance) is expected


DIMENSIONS = "assertion `left == right` failed: The input dimension of `info` must match the array to be sliced.\n"


@pytest.mark.parametrize(
    "shape, message",
    [
        ((4, 5), DIMENSIONS + "  left: 3\n right: 2"),
        ((2, 2, 3, 1), DIMENSIONS + "  left: 3\n right: 4"),
        ((3,), DIMENSIONS + "  left: 3\n right: 1"),
        ((), DIMENSIONS + "  left: 3\n right: 0"),
        ((2, 2, 2), "assertion failed: index < dim"),
        ((2, 2, 0), "assertion failed: index < dim"),
        ((0, 3, 3), "called `unwrap()` on an empty value"),
        ((3, 0, 4), "called `unwrap()` on an empty value"),
    ],
)
def test_images_that_are_not_three_channel_planes_fault(shape, message):
    arr = np.full(shape, 0.5, np.float32)
    assert fault_args(gray_or_color, arr, 0.1) == (message,)
    with pytest.raises(reference.Fault) as fault:
        reference.gray_or_color(arr, 0.1)
    assert fault.value.args == (message,)
    assert gray_or_color(np.full((1, 1, 3), 0.5, np.float32), 0.0) is True


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_any_layout_answers_as_the_model_and_as_its_contiguous_copy_at_the_boundary(layout):
    values = np.random.default_rng(7).random((4, 9, 3), dtype=np.float32)
    values[..., 1] += np.float32(1e-3)
    arr = LAYOUTS[layout](values)
    assert_answers_match_model(arr)
    if layout.startswith("packed") or layout == "unaligned":
        tightest = reference.tightest_tolerance(reference.channel_means(values))
        assert gray_or_color(arr, tightest) and not gray_or_color(arr, just_below(tightest))
