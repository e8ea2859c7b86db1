"""Memory layouts, random images and comparison helpers shared by the operation tests."""
import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

SUBNORMAL = float(np.float32(1e-40))
EDGE_VALUES = [0.0, -0.0, 1.0, 0.5, np.nan, np.inf, -np.inf, -1.0, 2.0, SUBNORMAL]
ELEMENTS = st.one_of(st.sampled_from(EDGE_VALUES), st.floats(-0.5, 1.5, width=32))


def lay_out(values, memory_order=None, steps=None, packed=False):
    """An array equal to `values` whose axes lie in memory outermost-first as `memory_order`
    says, each taken with its step from a larger buffer (negative steps walk backwards).
    The gaps hold NaN, so reading one shows in the result. `packed` makes the elements the
    float32 field of a packed record array: byte strides that are multiples of 5."""
    if values.ndim == 0:
        return values.copy()
    memory_order = range(values.ndim) if memory_order is None else list(memory_order)
    steps = [1] * values.ndim if steps is None else steps
    shape = [values.shape[a] * abs(steps[a]) for a in memory_order]
    memory = np.zeros(shape, [("a", "u1"), ("f", "<f4")])["f"] if packed else np.empty(shape, np.float32)
    memory[...] = np.nan
    view = memory.transpose(np.argsort(memory_order))[tuple(slice(None, None, k) for k in steps)]
    view[...] = values
    return view


def unaligned(values):
    """float32 elements starting one byte into their buffer."""
    buffer = bytearray(values.nbytes + 1)
    array = np.frombuffer(buffer, dtype=np.float32, offset=1, count=values.size).reshape(values.shape)
    array[...] = values
    return array


LAYOUTS = {
    "row-major": lambda v: lay_out(v),
    "column-major": lambda v: lay_out(v, memory_order=reversed(range(v.ndim))),
    "channels outermost": lambda v: lay_out(v, memory_order=[v.ndim - 1, *range(v.ndim - 1)]),
    "every axis reversed": lambda v: lay_out(v, steps=[-1] * v.ndim),
    "rows reversed, columns stepped": lambda v: lay_out(v, steps=[-1, 2] + [1] * (v.ndim - 2)),
    "packed record field": lambda v: lay_out(v, packed=True),
    "packed record field, channels outermost": lambda v: lay_out(v, [v.ndim - 1, *range(v.ndim - 1)], packed=True),
    "unaligned": unaligned,
}


@st.composite
def laid_out(draw, shapes, elements=ELEMENTS):
    """A random image of a shape from `shapes` in a random axis order, with random steps."""
    values = draw(hnp.arrays(np.float32, draw(shapes), elements=elements))
    memory_order = draw(st.permutations(range(values.ndim)))
    steps = draw(st.lists(st.sampled_from([1, 1, 2, -1, -2]), min_size=values.ndim, max_size=values.ndim))
    return lay_out(values, memory_order, steps)


def assert_same_bits(actual, expected):
    """Equal shapes and bit patterns: NaN equals NaN, -0.0 differs from +0.0."""
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    np.testing.assert_array_equal(np.asarray(actual).view(np.uint32), np.asarray(expected, np.float32).view(np.uint32))


def fault_args(operation, *args):
    """The args of the PanicException the call raises (the type is not importable)."""
    try:
        operation(*args)
    except BaseException as exception:
        if type(exception).__name__ != "PanicException":
            raise
        return exception.args
    raise AssertionError("the call returned instead of faulting")


def just_below(value):
    return np.nextafter(np.float32(value), np.float32(-np.inf))
