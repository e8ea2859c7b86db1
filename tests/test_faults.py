import re

import numpy as np
import pytest

import pixalot
from strategies import assert_same_bits
from subprocess_helpers import run_python

FLAT = np.zeros((2, 2), np.float32)
DIMENSION_FAULT = ("assertion `left == right` failed: The input dimension of `info` must match the array "
                   "to be sliced.\n  left: 3\n right: 2")
PANIC_DOC = ("\nThe exception raised when native code called from Python panics.\n\n"
             "Like SystemExit, this exception is derived from BaseException so that\n"
             "it will typically propagate all the way through the stack and cause the\n"
             "Python interpreter to exit.\n")


def fault():
    try:
        pixalot.gray_or_color(FLAT, 0.5)
    except Exception:
        pytest.fail("a fault must not be caught as an ordinary Exception")
    except BaseException as error:
        return error
    pytest.fail("the call did not fault")


def test_a_fault_raises_a_panic_exception_carrying_only_its_message():
    first, second = fault(), fault()
    assert first.args == (DIMENSION_FAULT,)
    assert first is not second and type(first) is type(second)
    panic_type = type(first)
    assert panic_type.__bases__ == (BaseException,)
    assert (panic_type.__module__, panic_type.__qualname__) == ("pixalot_runtime", "PanicException")
    assert panic_type.__doc__ == PANIC_DOC


@pytest.mark.parametrize("faulting_call", [
    lambda: pixalot.gray_or_color(np.zeros((2, 2, 2), np.float32), 0.5),
    lambda: pixalot.gray_or_color(np.zeros((0, 2, 3), np.float32), 0.5),
    lambda: pixalot.sin_patern(np.zeros((2, 2, 3), np.float32), 0, 0.5, True, 0.0),
], ids=["two-channels", "no-rows", "zero-period"])
def test_after_a_fault_every_function_works_again(faulting_call):
    with pytest.raises(type(fault())):
        faulting_call()
    image = np.full((2, 2, 3), 0.5, np.float32)
    assert pixalot.gray_or_color(image, 0.0) is True
    assert_same_bits(pixalot.color_levels(image, 0, 1, 0, 1, 1), image)
    assert pixalot.sin_patern(image, 4, 0.0, False, 0.0).shape == image.shape


def test_each_fault_is_reported_on_file_descriptor_2_with_its_location_and_no_backtrace():
    completed = run_python("""
        import io, sys
        import numpy as np
        import pixalot

        sys.stderr = io.StringIO()
        for _ in range(2):
            try:
                pixalot.gray_or_color(np.zeros((2, 2), np.float32), 0.5)
            except BaseException:
                pass
        print(repr(sys.stderr.getvalue()))
    """)
    assert completed.stdout == "''\n", "the report must bypass Python's sys.stderr"
    report = rf"thread '<unnamed>' panicked at src/[\w/]+\.cpp:\d+:\d+:\n{re.escape(DIMENSION_FAULT)}\n"
    assert re.fullmatch(f"({report}){{2}}", completed.stderr), completed.stderr


@pytest.mark.parametrize("argument, message", [
    ("'boom'", "boom"), ("Unprintable()", "Unwrapped panic from Python code"),
], ids=["printable", "unprintable"])
def test_a_panic_exception_raised_by_an_argument_resumes_as_a_new_one_with_its_message(argument, message):
    completed = run_python(f"""
        import os, sys
        import numpy as np
        import pixalot

        try:
            pixalot.gray_or_color(np.zeros((2, 2), np.float32), 0.5)
        except BaseException as error:
            PanicException = type(error)
        os.write(2, b"=== resuming ===\\n")

        class Unprintable:
            def __str__(self):
                raise RuntimeError("no text")

        class Exploding:
            def __float__(self):
                raise original

        original, image = PanicException({argument}), np.zeros((1, 1, 3), np.float32)
        try:
            pixalot.gray_or_color(image, Exploding())
        except PanicException as error:
            print(error is not original, error.args, hasattr(sys, "last_exc"))
        print(pixalot.gray_or_color(image, 0.5))
    """)
    assert completed.stdout == f"True {(message,)!r} False\nTrue\n"
    resuming = completed.stderr.split("=== resuming ===\n")[1]
    assert resuming.startswith(
        "--- pixalot is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\nTraceback (most recent call last):\n"), resuming
    assert ", in __float__\n" in resuming
    assert resuming.splitlines()[-1].startswith("pixalot_runtime.PanicException: ")
    assert "panicked at" not in resuming, "a resumed fault was already reported where it arose"
