"""A misaligned input whose byte strides are whole elements computes exactly as its aligned
twin, whatever its layout: the same bits, the same result strides, the same verdicts."""
import contextlib
import ctypes
import mmap

import numpy as np
import pytest

import reference
from pixalot import color_levels, gray_or_color, sin_patern
from strategies import LAYOUTS, assert_same_bits, just_below, lay_out

resource = pytest.importorskip("resource")


def column_major_rows_cut(values):
    """Column-major with a gap after every column: contiguous but for one element."""
    memory = np.full((values.shape[0] + 1, *values.shape[1:]), np.nan, np.float32, order="F")
    memory[:-1] = values
    return memory[:-1]


def planes_apart(values):
    """The last axis outermost, each of its planes row-major, one element between planes."""
    plane = values[..., 0]
    memory = np.full((values.shape[-1], plane.size + 1), np.nan, np.float32)
    planes = np.lib.stride_tricks.as_strided(
        memory, (values.shape[-1], *plane.shape),
        (memory.strides[0], *(s // plane.itemsize * 4 for s in np.empty_like(plane).strides)))
    view = np.moveaxis(planes, 0, -1)
    view[...] = values
    return view


def channels_overlapping(values):
    """Pixels one element apart, their channels two: channel 1 of a pixel is channel 0 of the
    pixel after next. The planes are row-major, but the whole is a layout a compact copy
    cannot mirror, so it keeps the input's own strides."""
    pixels = values[..., 0].size
    memory = np.resize(values.reshape(-1), pixels + 2 * (values.shape[-1] - 1))
    inner = np.empty(values.shape[:-1], np.float32).strides
    return np.lib.stride_tricks.as_strided(memory, values.shape, (*inner, 8), writeable=False)


TWIN_LAYOUTS = ["row-major", "column-major", "channels outermost", "every axis reversed",
                "rows reversed, columns stepped", "rows broadcast", "column-major, rows cut", "planes apart",
                "channels overlapping"]
LAYOUTS = {**LAYOUTS, "rows broadcast": lambda v: np.broadcast_to(v[0], v.shape),
           "column-major, rows cut": column_major_rows_cut, "planes apart": planes_apart,
           "channels overlapping": channels_overlapping}


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


@pytest.mark.parametrize("layout", ["channels outermost", "planes apart"])
def test_the_channel_planes_of_a_misaligned_image_are_summed_as_planes(layout):
    # Summed as a contiguous plane, 1e8 and -1e8 meet first and the ones survive: mean 0.75.
    # Summed row by row they swallow the ones, and the image would not be grey.
    values = np.full((2, 4, 3), 0.75, np.float32)
    values[..., 0] = [[1e8, 1, 1, 1], [-1e8, 1, 1, 1]]
    image = LAYOUTS[layout](values)
    assert gray_or_color(image, 0.0) is gray_or_color(misaligned_twin(image), 0.0) is True


CALLS = {
    "levels": lambda a: color_levels(a, 0.1, 0.9, 0.05, 0.95, 1.3),
    "stripes down": lambda a: sin_patern(a, 6, 0.3, True, 0.5),
    "stripes across": lambda a: sin_patern(a, 5, -0.4, False, -1.5),
}


@pytest.mark.parametrize("make", [
    lambda v: lay_out(v[:1], steps=[1, 2, 1]),
    lambda v: lay_out(v[:1], steps=[-1, -3, 1]),
    lambda v: lay_out(v[:1], memory_order=[2, 0, 1], steps=[1, 2, -1]),
    lambda v: np.broadcast_to(lay_out(v[:1], steps=[1, 2, 1]), v.shape),
    lambda v: np.broadcast_to(lay_out(v[:1, :, 0], steps=[1, -2]), v.shape[:2]),
], ids=["one row, columns stepped", "one row, columns stepped backwards", "one row, channels outermost",
        "rows broadcast, columns stepped", "rows broadcast, no channels, columns stepped backwards"])
def test_a_single_or_broadcast_row_with_stepped_columns_is_copied_element_by_element_exactly(make):
    aligned = make(np.random.default_rng(5).uniform(-0.2, 1.2, (4, 9, 3)).astype(np.float32))
    twin = misaligned_twin(aligned)
    for call in CALLS.values():
        expected, actual = call(aligned), call(twin)
        assert_same_bits(actual, expected)
        assert actual.strides == expected.strides
    if aligned.ndim == 3:
        edge = reference.tightest_tolerance(reference.channel_means(aligned))
        for tolerance in [just_below(edge), edge]:
            assert gray_or_color(twin, tolerance) == gray_or_color(aligned, tolerance) == \
                reference.gray_or_color(aligned, tolerance)


@contextlib.contextmanager
def address_space_to_spare(room):
    """No more than `room` bytes of address space beyond what the process maps now."""
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * mmap.PAGESIZE
    limits = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + room, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, limits)


# Two stretches of a sparse file far apart: 78 GiB where addresses allow, 1 GiB on 32-bit.
FAR = (78 << 30) if ctypes.sizeof(ctypes.c_void_p) == 8 else (1 << 30)


@pytest.mark.parametrize("shape, strides", [
    ((2, 5, 3), (FAR, 12, 4)), ((4, 2, 3), (12, 4 - FAR, 4)), ((3, 4, 3), (32, 8, FAR)),
], ids=["rows apart", "columns apart, backwards", "channels apart"])
def test_a_misaligned_input_spread_over_a_sparse_map_is_copied_into_the_room_of_its_elements(
        tmp_path, shape, strides):
    span = sum((n - 1) * abs(s) for n, s in zip(shape, strides, strict=True)) + 8
    low = -sum((n - 1) * s for n, s in zip(shape, strides, strict=True) if s < 0)
    values = np.random.default_rng(7).uniform(-0.2, 1.2, shape).astype(np.float32)
    maps, arrays = [], []
    try:
        for start in (4, 1):
            with open(tmp_path / f"sparse{start}", "wb") as file:
                file.truncate(span)
            maps.append(np.memmap(tmp_path / f"sparse{start}", np.uint8, "r+"))
            (tmp_path / f"sparse{start}").unlink()  # the map stays; no huge file is left behind
            arrays.append(np.ndarray(shape, np.float32, maps[-1], low + start, strides))
            arrays[-1][...] = values
    except (OSError, ValueError, OverflowError, MemoryError) as refused:
        pytest.skip(f"no sparse map of {span} bytes here: {refused}")
    aligned, twin = arrays
    with address_space_to_spare(256 << 20):
        for call in CALLS.values():
            assert_same_bits(call(twin), call(aligned))
        assert gray_or_color(twin, 0.01) == gray_or_color(aligned, 0.01)
