"""A slow, independent float32 model of pixalot's three operations, to compare results bit for bit.

Every step is rounded to float32 (NumPy float32 scalars and arrays, never a wider intermediate).
The sine and power are the C library's sinf/powf: NumPy's own may differ in the last bit.
"""
import ctypes
import ctypes.util
import functools
import math

import numpy as np

F = np.float32
libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.sinf.restype, libm.sinf.argtypes = ctypes.c_float, [ctypes.c_float]
libm.powf.restype, libm.powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]
# Overflow, 0/0 and inf - inf are ordinary IEEE results here, nothing to warn about.
quiet = functools.partial(np.errstate, all="ignore")


class Fault(Exception):
    """A fault the module reports as PanicException with the same message."""


def clamp_unit(x):
    lower = np.where(x > F(0), x, F(0))  # NaN and -0.0 become +0.0
    return np.where(lower < F(1), lower, F(1)).astype(F)


def readable(arr):
    """A byte stride that is not a whole number of float32 cannot be walked in elements: such
    inputs read as their contiguous copy. A misaligned pointer alone changes nothing."""
    if any(s % 4 for s in arr.strides):
        return arr.copy(order="C")  # not np.ascontiguousarray, which gives a 0-d array an axis
    return arr


def element_strides(arr):
    return [s // 4 if s >= 0 else -(-s // 4) for s in arr.strides]


def is_contiguous(shape, strides):
    """Whether the elements fill one gap-free block, in any axis order and direction."""
    row_major = [0 if 0 in shape else math.prod(shape[a + 1 :]) for a in range(len(shape))]
    if list(strides) == row_major:
        return True
    if len(shape) == 1:
        return strides[0] == -1
    step = 1
    for axis in sorted(range(len(shape)), key=lambda a: abs(strides[a])):  # stable
        if shape[axis] != 1 and abs(strides[axis]) != step:
            return False
        step *= shape[axis]
    return True


def plain_order(shape, strides):
    """Plain row-major order with positive strides, axes of length 1 aside."""
    step = 1
    for length, stride in zip(reversed(shape), reversed(strides), strict=True):
        if length != 1 and stride != step and 0 not in shape:
            return False
        step *= length
    return True


def color_levels_order(arr):
    """'F' when color_levels gives a column-major result for this input, else 'C'."""
    arr = readable(arr)
    shape, strides = list(arr.shape), element_strides(arr)
    column_major = len(shape) > 1 and plain_order(shape[::-1], strides[::-1])
    # A non-contiguous input is mapped in logical order into row-major strides.
    return "F" if is_contiguous(shape, strides) and not plain_order(shape, strides) and column_major else "C"


@quiet()
def color_levels(arr, in_low, in_high, out_low, out_high, gamma):
    in_low, in_high, out_low, out_high, gamma = map(F, (in_low, in_high, out_low, out_high, gamma))
    x = np.array(arr, dtype=F)
    # Divided by one span, then multiplied by the other: never by their ratio.
    base = clamp_unit((x - in_low) / (in_high - in_low) * (out_high - out_low) + out_low)
    # powf is pure, so each distinct base is raised once (exact, and fast on 8-bit data).
    distinct, where = np.unique(base.view(np.uint32), return_inverse=True)
    powers = np.array([libm.powf(b, gamma) for b in distinct.view(F)], dtype=F)
    return powers[where.reshape(-1)].reshape(x.shape)


@functools.lru_cache(maxsize=32)
@quiet()
def sine_table(shape_sin, alpha):
    # t times 3.14 (float32 0x4048F5C3, not pi) first, then divided by the half period.
    angles = np.arange(shape_sin).astype(F) * F(3.14) / (F(shape_sin) * F(0.5))
    return np.array([libm.sinf(a) for a in angles], dtype=F) * F(alpha)


def wrap16(value):
    return (value + 0x8000) % 0x10000 - 0x8000


def table_index(phase, period, shape_sin):
    if period == -1 and phase == -32768:
        raise Fault("attempt to calculate the remainder with overflow")
    remainder = abs(phase) % abs(period) * (1 if phase >= 0 else -1)  # truncating
    if remainder < 0:
        remainder = wrap16(remainder + period)
    if not 0 <= remainder < shape_sin:
        raise Fault("ndarray: index out of bounds")
    return remainder


@quiet()
def sin_patern_whole(arr, shape_sin, alpha, vertical, bias):
    """The same as `sin_patern`, array-at-a-time, for large images whose period is positive
    and whose shape is (H, W) or (H, W, C >= 2), where no pixel can fault."""
    table = sine_table(shape_sin, float(F(alpha)))
    period = wrap16(shape_sin & 0xFFFF)
    assert period > 0 and (arr.ndim == 2 or (arr.ndim == 3 and arr.shape[2] >= 2))
    rows, columns = arr.shape[:2]
    line = np.arange(rows if vertical else columns)
    shift = line.astype(F) * F(bias)
    offset = np.clip(np.nan_to_num(shift, nan=0.0), F(-32768), F(32767)).astype(np.int64)  # truncates
    i, j = np.arange(rows)[:, None], np.arange(columns)[None, :]
    phase = wrap16(j - offset[:, None]) if vertical else wrap16(offset[None, :] - i)
    index = np.fmod(phase, period)  # truncating, then made non-negative
    index = np.where(index < 0, index + period, index)
    added = table[index]
    if arr.ndim == 3:
        added = added[:, :, None]
    return clamp_unit(np.asarray(arr, dtype=F) + added)


@quiet()
def sin_patern(arr, shape_sin, alpha, vertical, bias):
    table = sine_table(shape_sin, float(F(alpha)))
    if arr.ndim < 2:
        raise Fault(f"index out of bounds: the len is {arr.ndim} but the index is {arr.ndim}")
    index_length = 3 if arr.ndim >= 3 and arr.shape[2] >= 2 else 2
    period = wrap16(shape_sin & 0xFFFF)
    out = np.zeros(arr.shape, dtype=F)
    lines, line_length = arr.shape[:2] if vertical else arr.shape[1::-1]
    for line in range(lines if line_length else 0):
        if period == 0:
            raise Fault("attempt to calculate the remainder with a divisor of zero")
        shift = F(line) * F(bias)
        offset = 0 if np.isnan(shift) else int(min(max(shift, F(-32768)), F(32767)))  # truncates
        for along in range(line_length):
            i, j = (line, along) if vertical else (along, line)
            index = table_index(wrap16(j - offset) if vertical else wrap16(offset - i), period, shape_sin)
            if arr.ndim != index_length:
                raise Fault("ndarray: index out of bounds")
            out[i, j] = clamp_unit(arr[i, j] + table[index])
    return out


def eight_way_sum(values):
    blocks = len(values) // 8
    partial = np.zeros(8, dtype=F)
    for block in np.reshape(values[: 8 * blocks], (blocks, 8)):
        partial = partial + block
    total = F(0)
    for value in [partial[j] + partial[j + 4] for j in range(4)] + list(values[8 * blocks :]):
        total = total + value
    return total


def plain_sum(values):
    total = F(0)
    for value in values:
        total = total + value
    return total


@quiet()
def plane_mean(plane):
    """Mean of a 2-D view, summed in the order its memory layout fixes; None when empty."""
    rows, columns = plane.shape
    if rows * columns == 0:
        return None
    strides = [0 if n <= 1 else s for n, s in zip(plane.shape, element_strides(plane), strict=True)]
    if is_contiguous(plane.shape, strides):
        addresses = np.add.outer(np.arange(rows) * plane.strides[0], np.arange(columns) * plane.strides[1])
        return eight_way_sum(plane.ravel()[np.argsort(addresses.ravel(), kind="stable")]) / F(rows * columns)
    row_sum = eight_way_sum if strides[1] == 1 or columns < 2 else plain_sum
    return plain_sum([row_sum(row) for row in plane]) / F(rows * columns)


def channel_means(arr):
    arr = readable(arr)
    if arr.ndim != 3:
        raise Fault(
            "assertion `left == right` failed: The input dimension of `info` must match the array "
            f"to be sliced.\n  left: 3\n right: {arr.ndim}"
        )
    if arr.shape[2] < 3:
        raise Fault("assertion failed: index < dim")
    if arr.shape[0] * arr.shape[1] == 0:
        raise Fault("called `unwrap()` on an empty value")
    return [plane_mean(arr[:, :, c]) for c in range(3)]


@quiet()
def means_agree(means, tolerance):
    t = F(tolerance)
    # Every ordered pair from both sides: y + t and x - t round separately in float32.
    return all(x <= y + t and x >= y - t for a, x in enumerate(means) for b, y in enumerate(means) if a != b)


def gray_or_color(arr, tolerance):
    return means_agree(channel_means(arr), tolerance)


def tightest_tolerance(means):
    """The least float32 tolerance from +0.0 up under which the means agree, or None."""
    def as_float(bits):
        return np.array(bits, dtype=np.uint32).view(F)[()]

    low, high = 0, 0x7F800000  # +0.0 .. +inf: agreement only grows with the tolerance
    if not means_agree(means, as_float(high)):
        return None
    while low < high:
        middle = (low + high) // 2
        low, high = (low, middle) if means_agree(means, as_float(middle)) else (middle + 1, high)
    return as_float(low)
