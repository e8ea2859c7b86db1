"""A misaligned input whose byte strides are whole elements computes exactly as its aligned
twin, whatever its layout: the same bits, the same result strides, the same verdicts."""
import numpy as np
import pytest

import reference
from pixalot import color_levels, gray_or_color, sin_patern
from strategies import LAYOUTS, assert_same_bits, just_below

TWIN_LAYOUTS = ["row-major", "column-major", "channels outermost", "every axis reversed",
                "rows reversed, columns stepped", "rows broadcast"]
LAYOUTS = {**LAYOUTS, "rows broadcast": lambda v: np.broadcast_to(v[0], v.shape)}


def misaligned_twin(arr):
    """The same values at the same byte strides in memory of their own, the data pointer one
    byte past the 4-byte grid. The gaps between elements hold NaN."""
    extents = [(length - 1) * stride for length, stride in zip(arr.shape, arr.strides, strict=True)]
    low = sum(extent for extent in extents if extent < 0)
    memory = np.full(sum(extent for extent in extents if extent > 0) - low + arr.itemsize + 4, 0xFF, np.uint8)
    offset = (1 - memory.ctypes.data) % 4 - low
    twin = np.ndarray(arr.shape, np.float32, buffer=memory, offset=offset, strides=arr.strides)
    twin[...] = arr
    assert twin.ctypes.data % 4 == 1
    return twin


@pytest.mark.parametrize("shape", [(5, 7, 3), (9, 4, 4), (3, 17)])
@pytest.mark.parametrize("layout", TWIN_LAYOUTS)
def test_a_misaligned_twin_gives_the_same_result_bits_in_the_same_memory_order(layout, shape):
    aligned = LAYOUTS[layout](np.random.default_rng(3).uniform(-0.2, 1.2, shape).astype(np.float32))
    twin = misaligned_twin(aligned)
    for call in (lambda a: color_levels(a, 0.1, 0.9, 0.05, 0.95, 1.3), lambda a: color_levels(a, 0, 1, 0, 1, 1),
                 lambda a: sin_patern(a, 6, 0.3, True, 0.5), lambda a: sin_patern(a, 6, 0.3, False, -0.5)):
        expected, actual = call(aligned), call(twin)
        assert_same_bits(actual, expected)
        assert actual.strides == expected.strides


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("layout", TWIN_LAYOUTS)
def test_a_misaligned_twin_answers_as_the_aligned_one_at_the_edges_of_the_tolerance(layout, seed):
    values = np.random.default_rng(seed).random((6, 11, 3), dtype=np.float32)
    values[..., 1] += np.float32(1e-3)
    aligned = LAYOUTS[layout](values)
    twin = misaligned_twin(aligned)
    edge = reference.tightest_tolerance(reference.channel_means(aligned))
    for tolerance in [0.0, just_below(edge), edge, np.nextafter(edge, np.float32(np.inf))]:
        assert gray_or_color(twin, tolerance) == gray_or_color(aligned, tolerance) == \
            reference.gray_or_color(aligned, tolerance)


def test_the_channel_planes_of_a_misaligned_image_are_summed_as_planes():
    # Summed as a contiguous plane, 1e8 and -1e8 meet first and the ones survive: mean 0.75.
    # Summed row by row they swallow the ones, and the image would not be grey.
    planes = np.full((3, 2, 4), 0.75, np.float32)
    planes[0] = [[1e8, 1, 1, 1], [-1e8, 1, 1, 1]]
    image = planes.transpose(1, 2, 0)
    assert gray_or_color(image, 0.0) is gray_or_color(misaligned_twin(image), 0.0) is True
