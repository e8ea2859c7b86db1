"""Every way through every function, many rounds over: nothing may be left behind in reference
counts, resident memory or the borrow registry, and no round may differ from the first.
PIXALOT_SOAK_COUNT sets the rounds (`make soak` runs 100000)."""
import contextlib
import gc
import os
import sys

import numpy as np

import pixalot
from borrow_registry import assert_unborrowed, open_registry
from strategies import lay_out, unaligned

ROUNDS = int(os.environ.get("PIXALOT_SOAK_COUNT", "150"))
# One byte kept per call shows at 100000 rounds; one result kept per call within the default.
RESIDENT_GROWTH_LIMIT = 4 << 20
sin, levels, gray = pixalot.sin_patern, pixalot.color_levels, pixalot.gray_or_color

IMAGE = np.random.default_rng(7).uniform(-0.1, 1.1, (16, 16, 3)).astype(np.float32)
READ_ONLY_OWNER = IMAGE.copy()
LAYOUTS = [IMAGE.copy(), np.asfortranarray(IMAGE), lay_out(IMAGE, steps=[-1, -1, 1]), lay_out(IMAGE, steps=[2, 1, -2]),
           lay_out(IMAGE, memory_order=[2, 0, 1]), unaligned(IMAGE), READ_ONLY_OWNER.view()]
LAYOUTS[-1].flags.writeable = False
A = LAYOUTS[0]
OTHERS = {
    "0-d": np.array(0.5, np.float32), "empty": np.zeros((0, 4, 3), np.float32), "2-D": IMAGE[..., 0].copy(),
    "1-D": IMAGE[0, :, 0].copy(), "two channels": IMAGE[..., :2].copy(), "one channel": IMAGE[..., :1].copy(),
    "4-D": IMAGE[None].copy(), "row": IMAGE[:1, :2, 0].copy(), "column": IMAGE[:2, :1, 0].copy(),
    "float64": IMAGE.astype(np.float64), "int32": IMAGE.astype(np.int32), "big-endian": IMAGE.astype(">f4"),
}
with contextlib.suppress(ValueError):  # a 32-bit NumPy refuses a terabyte
    OTHERS["broadcast"] = np.broadcast_to(np.array(0.5, np.float32), (2**20, 2**20))
with contextlib.suppress(ValueError):  # NumPy 2 allows 64 axes, the module 32; NumPy 1 stops at 32 itself
    OTHERS["33-D"] = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), (1,) * 33, (0,) * 33)


class OwnTypeError(TypeError):
    pass


def raising(error_type, method="__float__"):
    def convert(self):
        raise error_type("from the argument") from CAUSE
    return type(f"Raises{error_type.__name__}", (), {method: convert})()


CAUSE = ValueError("cause")
ODD = {"value": raising(ValueError), "own type": raising(OwnTypeError), "type": raising(TypeError),
       "index": raising(LookupError, "__index__")}
SCALARS = ["x", "\udcff", 2**32, 2**64, 2**2000, -1, 0.3, 0.5, 0.1, 0.9, 1.3, 0.01]
X, SURROGATE, U32_END, U64_END, HUGE, NEGATIVE, ALPHA, BIAS, LOW, HIGH, GAMMA, TOLERANCE = SCALARS


def each_function(x):
    return [lambda: sin(x, 7, ALPHA, True, BIAS), lambda: sin(x, 5, ALPHA, False, -BIAS),
            lambda: levels(x, LOW, HIGH, 0, 1, GAMMA), lambda: gray(x, TOLERANCE)]


def cases(registry, panic_type):
    """(expected kind of outcome, call), for every way through the three functions."""
    class ResumedPanic:
        def __float__(self):
            raise panic_type("resumed")

    class Reentering:  # a call inside a call, on the input the outer call holds borrowed
        def __float__(self):
            levels(A, LOW, HIGH, 0, 1, GAMMA)
            return TOLERANCE

    def held(call):
        assert registry.acquire_mut(A) == 0
        try:
            return call()
        finally:
            registry.release_mut(A)

    o = OTHERS
    yield from (("ok", call) for x in LAYOUTS for call in each_function(x))
    yield from (("ok", call) for call in [
        lambda: levels(o["0-d"], LOW, HIGH, 0, 1, GAMMA), lambda: levels(o["empty"], LOW, HIGH, 0, 1, GAMMA),
        lambda: sin(o["empty"], 0, ALPHA, True, BIAS), lambda: gray(min=TOLERANCE, input=A),
        lambda: gray(A, Reentering())])
    yield from (("TypeError", call) for call in [  # binding
        lambda: gray(), lambda: gray(A, TOLERANCE, 1), lambda: gray(A, input=A), lambda: gray(A, mn=TOLERANCE),
        lambda: gray(A, **{SURROGATE: TOLERANCE}), lambda: levels(A, LOW, HIGH, 0, 1)])
    yield from (("TypeError", call) for call in [  # conversion, named
        lambda: gray(A, X), lambda: sin(A, 8.0, ALPHA, True, BIAS), lambda: sin(A, 8, ALPHA, 1, BIAS),
        lambda: gray(A, ODD["type"])])
    yield from [("ValueError", lambda: levels(A, LOW, HIGH, 0, 1, ODD["value"])),
                ("OwnTypeError", lambda: levels(A, LOW, HIGH, 0, ODD["own type"], GAMMA)),
                ("LookupError", lambda: sin(A, ODD["index"], ALPHA, True, BIAS)),
                ("OverflowError", lambda: gray(A, HUGE)),
                ("PanicException", lambda: gray(A, ResumedPanic()))]
    yield from (("OverflowError", lambda n=n: sin(A, n, ALPHA, True, BIAS)) for n in (U32_END, U64_END, NEGATIVE))
    yield from (("TypeError", lambda x=x: gray(x, TOLERANCE))
                for x in ([1.0], None, np.float32(1), o["float64"], o["int32"], o["big-endian"]))
    yield from (("PanicException", lambda call=call: held(call)) for call in each_function(A))
    yield from (("PanicException", call) for call in [  # faults before and while computing
        lambda: gray(o["2-D"], TOLERANCE), lambda: gray(o["two channels"], TOLERANCE),
        lambda: gray(o["empty"], TOLERANCE),
        lambda: sin(o["1-D"], 7, ALPHA, True, BIAS), lambda: sin(o["0-d"], 7, ALPHA, True, BIAS),
        lambda: sin(A, 0, ALPHA, True, BIAS),
        lambda: sin(o["one channel"], 7, ALPHA, True, BIAS), lambda: sin(o["4-D"], 7, ALPHA, False, BIAS),
        # A period of -1 meets the phase -32768 on the second column; 40000 reaches past its table.
        lambda: sin(o["row"], 65535, ALPHA, False, -1e9), lambda: sin(o["column"], 40000, ALPHA, True, 1.0)])
    if "broadcast" in o:
        yield from (("MemoryError", call) for call in each_function(o["broadcast"])[:3])
    if "33-D" in o:
        yield from (("PanicException", call) for call in each_function(o["33-D"]))


def outcome(call):
    try:
        result = call()
    except BaseException as error:  # faults are BaseExceptions by design
        return type(error).__name__, error.args
    return "ok", result if isinstance(result, bool) else (result.shape, result.strides, result.tobytes())


def under_memory_checker():
    """AddressSanitizer keeps freed memory in quarantine and valgrind has an allocator of its own:
    resident memory then says nothing about the module."""
    with open("/proc/self/maps") as maps:
        return any(name in maps.read() for name in ("libasan", "vgpreload_memcheck"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def silenced_stderr():
    """Faults write their reports to file descriptor 2, a resumed one its traceback to
    sys.stderr: over 100000 rounds that would flood pytest's capture."""
    saved_fd, saved_stream = os.dup(2), sys.stderr
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
        sys.stderr = devnull
        try:
            yield
        finally:
            sys.stderr = saved_stream
            os.dup2(saved_fd, 2)
            os.close(saved_fd)


def test_every_outcome_repeated_leaves_no_reference_memory_or_borrow_behind():
    registry = open_registry()
    try:
        gray(OTHERS["2-D"], TOLERANCE)
    except BaseException as error:  # PanicException, a BaseException the module does not export
        panic_type = type(error)
    all_cases = list(cases(registry, panic_type))
    arrays = [*LAYOUTS, *OTHERS.values(), READ_ONLY_OWNER]
    watched = [*arrays, *ODD.values(), CAUSE, *SCALARS, np.dtype(np.float32), np.dtype(np.float64), panic_type]
    singletons = [None, True, False]  # immortal from 3.12 on, and compared all the same

    with silenced_stderr():
        first = [outcome(call) for _, call in all_cases]  # fills every cache before counting
        gc.collect()
        counts, resident = [sys.getrefcount(obj) for obj in watched + singletons], resident_bytes()
        for _ in range(ROUNDS):
            for (_, call), expected in zip(all_cases, first, strict=True):
                if (actual := outcome(call)) != expected:
                    raise AssertionError(f"a later round differs from the first: {actual!r:.300} != {expected!r:.300}")
        gc.collect()
        grown, after = resident_bytes() - resident, [sys.getrefcount(obj) for obj in watched + singletons]

    assert [kind for kind, _ in all_cases] == [kind for kind, _ in first]
    assert {args for kind, args in first if kind == "PanicException"} >= {
        ("called `unwrap()` on an error value: AlreadyBorrowed",), ("resumed",)}
    # Before 3.12 the interpreter itself moves a singleton's count by one now and then; a
    # reference kept or stolen per call moves it by one per round.
    noise = [0] * len(watched) + [ROUNDS // 2] * len(singletons)
    changed = [(repr(obj)[:60], b, a)
               for obj, b, a, n in zip(watched + singletons, counts, after, noise, strict=True) if abs(b - a) > n]
    assert not changed, f"reference counts changed (object, before, after): {changed}"
    assert grown < RESIDENT_GROWTH_LIMIT or under_memory_checker(), f"resident memory grew by {grown} bytes"
    for array in arrays:
        if array.flags.writeable:
            assert_unborrowed(registry, array)
