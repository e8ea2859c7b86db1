"""Calls whose input array Python code changes halfway through: from a conversion callback
itself, or from another thread while the callback has the interpreter lock released."""
import functools
import threading
import warnings

import numpy as np

import pixalot
from borrow_registry import assert_unborrowed, borrowed_bases, open_registry

SHAPE = (4, 6, 4)


def quietly(change):
    """NumPy 2.5 deprecates setting a dtype or shape; the tests turn warnings into errors."""
    @functools.wraps(change)
    def run(array):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            change(array)
    return run


CHANGES = {
    "shrunk": quietly(lambda a: a.resize((4, 6, 2), refcheck=False)),
    "grown": quietly(lambda a: a.resize((8, 12, 4), refcheck=False)),
    "reshaped": quietly(lambda a: setattr(a, "shape", (4, 24))),
    "wider dtype": quietly(lambda a: setattr(a, "dtype", np.float64)),
    # Four bytes read per uint8 element would run past the buffer.
    "narrower dtype": quietly(lambda a: setattr(a, "dtype", np.uint8)),
}

OPERATIONS = {
    "sin_patern": lambda a, x: pixalot.sin_patern(a, 5, x(0.25), True, 0.5),
    "color_levels": lambda a, x: pixalot.color_levels(a, 0.1, 0.9, 0.0, 1.0, x(1.3)),
    "gray_or_color": lambda a, x: pixalot.gray_or_color(a, x(0.01)),
}


class Changing:
    """A number whose conversion changes `array`."""

    def __init__(self, value, change, array, from_thread):
        self.value, self.change, self.array, self.from_thread = value, change, array, from_thread

    def __float__(self):
        if self.from_thread:
            thread = threading.Thread(target=self.change, args=(self.array,))
            thread.start()
            thread.join()  # waits with the interpreter lock released
        else:
            self.change(self.array)
        return self.value


def outcome(call):
    try:
        result = call()
    except BaseException as error:  # PanicException derives from BaseException
        return type(error).__name__, str(error)
    if isinstance(result, np.ndarray):
        return "array", result.shape, result.strides, result.tobytes()
    return "value", result


def check(change, operation, from_thread):
    """The call ends as the same call on the array as it now stands, and gives its borrow back."""
    registry = open_registry()
    array = np.random.default_rng(1).random(SHAPE, dtype=np.float32)
    run = OPERATIONS[operation]
    changed = outcome(lambda: run(array, lambda value: Changing(value, CHANGES[change], array, from_thread)))
    assert changed == outcome(lambda: run(array, float)), (change, operation, from_thread)
    assert borrowed_bases(registry) == 0, "a borrow was left in the registry"
    assert_unborrowed(registry, array)
    return changed[0]


def check_all():
    return {check(change, operation, from_thread)
            for change in CHANGES for operation in OPERATIONS for from_thread in (False, True)}
