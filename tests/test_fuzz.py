"""Arbitrary arguments and arbitrary strided float32 memory: every call either returns what the
float32 model gives or raises what the argument conversions and the model say, and never
writes to its input."""
import math
import operator
import os
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import pixalot
import reference
from strategies import ELEMENTS
from subprocess_helpers import run_python

MAX_ELEMENTS = 64


class ArgumentError(Exception):
    """Raised by an argument's own conversion method; must reach the caller unchanged."""


class FloatSubclass(float):
    pass


class Convertible:
    """A number whose conversion method gives `value`, or raises a fresh copy of it."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"<{type(self).__name__} giving {self.value!r}>"

    def convert(self):
        if isinstance(self.value, BaseException):
            raise type(self.value)(*self.value.args)
        return self.value


def with_method(method, value):
    # Special methods are looked up on the type, so each method gets a class of its own.
    return type(method, (Convertible,), {method: Convertible.convert})(value)


def mostly(common, rare):
    """`common` seven times in eight: calls with several arguments must still get past conversion."""
    return st.sampled_from([common] * 7 + [rare]).flatmap(lambda strategy: strategy)


RAISED = st.sampled_from([ArgumentError("own"), ValueError("value"), TypeError("type"), OverflowError("big")])
HUGE_INTS = st.one_of(st.integers(2**32, 2**70), st.integers(-(2**70), -1), st.just(2**2000))
NUMBERS = st.one_of(st.floats(), st.floats(width=32), st.integers(-(2**60), 2**60))
ODD_NUMBERS = st.one_of(
    HUGE_INTS, st.booleans(), st.builds(Fraction, st.integers(-9, 9), st.integers(1, 9)),
    st.sampled_from([Decimal("1.5"), Decimal("sNaN")]), st.floats().map(np.float64),
    st.floats(width=32).map(np.float32), st.integers(-9, 9).map(np.int64),
    st.sampled_from([None, "0.5", b"1", [1.0], 1j]),
    st.builds(with_method, st.just("__float__"),
              st.one_of(st.floats(), RAISED, st.sampled_from([1, FloatSubclass(0.5), "1.0"]))),
    st.builds(with_method, st.just("__index__"), st.one_of(st.integers(-9, 9), HUGE_INTS, RAISED, st.just(True))),
)
FLOATS = mostly(NUMBERS, ODD_NUMBERS)
# Valid periods stay small: a table of up to 2**32 entries is built before anything else.
PERIODS = mostly(
    st.one_of(st.integers(0, 40), st.sampled_from([32768, 40000, 65535, 65536, 65537])),
    st.one_of(HUGE_INTS, st.booleans(), st.floats(0, 9), st.sampled_from([None, "3", np.int64(5), np.uint8(7)]),
              st.builds(with_method, st.just("__index__"),
                        st.one_of(st.integers(0, 40), HUGE_INTS, RAISED, st.just(True)))),
)
FLAGS = mostly(st.booleans(), st.sampled_from([0, 1, None, np.True_, "True"]))


@st.composite
def strided_arrays(draw, image=False):
    """A float32 array over a real buffer: any number of axes up to 32 (or an image of shape
    (rows, columns, 3 or 4)), any byte strides (zero, negative, not a multiple of 4), any start
    offset, read-only or not; at most MAX_ELEMENTS."""
    if image:
        shape = [draw(st.integers(1, 4)), draw(st.integers(1, 4)), draw(st.integers(3, 4))]
    else:
        ndim = draw(st.one_of(st.integers(0, 4), st.integers(5, 32)))
        shape, budget = [], MAX_ELEMENTS
        for _ in range(ndim):
            length = draw(st.integers(0, min(budget, 5))) if ndim <= 4 or draw(st.integers(0, 3)) == 0 else 1
            shape.append(length)
            budget //= max(length, 1)
    ndim = len(shape)
    strides = draw(st.lists(st.one_of(st.sampled_from([0, 4, -4, 12, -12]), st.integers(-40, 40)),
                            min_size=ndim, max_size=ndim))
    reach = [(n - 1) * s for n, s in zip(shape, strides, strict=True) if n > 0]
    low, high = sum(r for r in reach if r < 0), sum(r for r in reach if r > 0) + 4
    start = draw(st.sampled_from([0, 0, 1, 2, 3])) - low
    values = draw(hnp.arrays(np.float32, (high - low + 8) // 4 + 1, elements=ELEMENTS))
    memory = bytearray(values.tobytes())
    anchor = np.frombuffer(memory, np.float32, count=1, offset=start)
    array = np.lib.stride_tricks.as_strided(anchor, shape, strides)
    if draw(st.booleans()):
        array.flags.writeable = False
    return array, memory


def as_float64(array):
    with np.errstate(invalid="ignore"):  # signalling NaNs become quiet ones
        return array.astype(np.float64)


INPUTS = mostly(
    st.one_of(strided_arrays(), strided_arrays(image=True)),
    st.one_of(strided_arrays().map(lambda drawn: (as_float64(drawn[0]), drawn[1])),
              st.sampled_from([[1.0], None, np.float32(0.5), np.zeros((2, 2, 3), np.int32), np.zeros((2, 2, 3), ">f4")])
              .map(lambda value: (value, None))),
)


def as_float32(value):
    # Exactly the double the interpreter's float protocol gives (ldexp by 0 changes nothing).
    with np.errstate(over="ignore"):
        return np.float32(math.ldexp(value, 0))


def as_u32(value):
    index = operator.index(value)
    if index < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if index >= 2**32:
        raise OverflowError("out of range integral type conversion attempted")
    return index


def as_bool(value):
    if type(value) is not bool:
        raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'PyBool'")
    return value


def as_input(value):
    if not isinstance(value, np.ndarray):
        raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'")
    if value.dtype != np.float32:
        raise TypeError(f"type mismatch:\n from={value.dtype}, to=float32")
    return value


OPERATIONS = {
    "sin_patern": (reference.sin_patern, [("input", as_input), ("shape_sin", as_u32), ("alpha", as_float32),
                                          ("vertical", as_bool), ("bias", as_float32)],
                   [PERIODS, FLOATS, FLAGS, FLOATS]),
    "color_levels": (reference.color_levels, [("input", as_input)] + [(name, as_float32) for name in
                                              ("in_low", "in_high", "out_low", "out_high", "gamma")], [FLOATS] * 5),
    "gray_or_color": (reference.gray_or_color, [("input", as_input), ("min", as_float32)], [FLOATS]),
}


def settled(kind, detail):
    """An outcome in comparable form: results by their bits, errors by type and message."""
    if kind == "ok" and isinstance(detail, np.ndarray):
        return kind, (detail.dtype, detail.shape, detail.tobytes())
    return kind, detail


def expected_outcome(name, arguments):
    """Converted in parameter order up to the first failure, where only an exact TypeError gets
    the argument's name; then the model."""
    model, parameters, _ = OPERATIONS[name]
    converted = []
    for (parameter, convert), argument in zip(parameters, arguments, strict=True):
        try:
            converted.append(convert(argument))
        except Exception as error:  # whatever the argument raises is what the caller must see
            return (TypeError, f"argument '{parameter}': {error}") if type(error) is TypeError else (type(error), None)
    try:
        return settled("ok", model(*converted))
    except reference.Fault as fault:
        return "PanicException", (str(fault),)


def actual_outcome(name, arguments, keywords):
    parameters = [parameter for parameter, _ in OPERATIONS[name][1]]
    positional = len(arguments) - keywords
    try:
        by_name = dict(zip(parameters[positional:], arguments[positional:], strict=True))
        return settled("ok", getattr(pixalot, name)(*arguments[:positional], **by_name))
    except BaseException as error:  # faults are BaseExceptions
        if type(error).__name__ == "PanicException":
            return "PanicException", error.args
        return type(error), (str(error) if type(error) is TypeError else None)


@pytest.mark.parametrize("name", OPERATIONS)
@settings(max_examples=int(os.environ.get("PIXALOT_FUZZ_EXAMPLES", "250")), deadline=None)
@given(data=st.data())
def test_every_call_returns_the_models_result_or_its_error_and_leaves_the_input_unchanged(name, data):
    value, memory = data.draw(INPUTS, "input")
    _, parameters, scalars = OPERATIONS[name]
    arguments = (value, *(data.draw(strategy, parameter)
                          for strategy, (parameter, _) in zip(scalars, parameters[1:], strict=True)))
    keywords = data.draw(st.integers(0, len(arguments)), "given by keyword")
    before = memory and bytes(memory)
    actual, expected = actual_outcome(name, arguments, keywords), expected_outcome(name, arguments)
    event(getattr(expected[0], "__name__", expected[0]))
    if expected[0] is not TypeError and expected[1] is None:  # the interpreter's own words
        actual = actual[0], None
    assert actual == expected
    assert (memory and bytes(memory)) == before, "the input's memory was written to"


def test_a_misaligned_zero_dimensional_input_is_still_zero_dimensional():
    value = np.frombuffer(bytearray(5), np.float32, count=1, offset=1).reshape(())
    assert actual_outcome("gray_or_color", (value, 0.0), 0) == expected_outcome("gray_or_color", (value, 0.0)) == (
        "PanicException", ("assertion `left == right` failed: The input dimension of `info` must match the array "
                           "to be sliced.\n  left: 3\n right: 0",))


def test_axes_without_a_second_element_may_have_any_stride(monkeypatch):
    # A fresh process, so that the sanitizer ends it and not this one, and reports on its stderr.
    monkeypatch.setenv("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")
    monkeypatch.setenv("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1")
    completed = run_python("""
        import sys
        import numpy as np, pixalot

        def outcome(call, x):
            try:
                return call(x).tobytes() if call is not pixalot.gray_or_color else call(x, 0.1)
            except BaseException as error:
                return type(error).__name__, error.args

        calls = [lambda x: pixalot.color_levels(x, 0, 1, 0, 1, 1), lambda x: pixalot.sin_patern(x, 5, 0.5, True, 0.5),
                 lambda x: pixalot.sin_patern(x, 5, 0.5, False, 0.5), pixalot.gray_or_color]
        quarter = (sys.maxsize + 1) // 4  # of the word's range: 2**61 on 64-bit
        for stride in (2 * quarter, -2 * quarter, quarter, -quarter, sys.maxsize, -sys.maxsize - 1):
            for shape in ((2, 0, 3), (3, 0, 4), (0, 2, 3), (1, 2, 3), (2, 1, 3), (1, 1, 3), (1,), (0,)):
                plain = np.zeros(shape, np.float32)
                # Every axis of an empty array, else only those of length 1.
                strides = [stride if 0 in shape or n == 1 else s for n, s in zip(shape, plain.strides)]
                huge = np.lib.stride_tricks.as_strided(plain, shape, strides)
                for call in calls:
                    if outcome(call, huge) != outcome(call, plain):
                        print(stride, shape, outcome(call, huge))
    """, check=False)
    reported = "runtime error" in completed.stderr
    assert (completed.returncode, completed.stdout, reported) == (0, "", False), completed.stderr[-3000:]
