"""The shared borrow registry, driven through its capsule the way another extension module drives it."""
import contextlib
import ctypes
import functools
import importlib
import sys
import types

import numpy as np

import pixalot

CAPSULE_NAME = "_NUMPY_BORROW_CHECKING_API"
# PYFUNCTYPE, not CFUNCTYPE: the registry's functions must be called with the GIL held,
# and a CFUNCTYPE call would release it.
Acquire = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
Release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
_get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))


class BorrowCheckingApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p), ("acquire", Acquire),
                ("acquire_mut", Acquire), ("release", Release), ("release_mut", Release)]


def capsule_home():
    """NumPy's multiarray module. On 1.26 numpy._core.multiarray is a stand-in that copied the
    names of numpy.core.multiarray at import; its __name__ leads to the real one. NumPy 1.24
    (Debian 12) has no numpy._core at all."""
    try:
        return sys.modules[importlib.import_module("numpy._core.multiarray").__name__]
    except ModuleNotFoundError:
        return importlib.import_module("numpy.core.multiarray")


def installed_capsule():
    capsule = vars(capsule_home()).get(CAPSULE_NAME)
    assert capsule is not None, "no borrow checking capsule was installed"
    return capsule


def open_registry():
    """The record's four functions, bound to its registry."""
    pixalot.gray_or_color(np.zeros((1, 1, 3), np.float32), 0.0)  # installed on first use
    # The platform's plain layout: 48 bytes on x86-64; 28 on i386, which aligns 8-byte integers to 4.
    assert ctypes.sizeof(BorrowCheckingApi) == {8: 48, 4: 28}[ctypes.sizeof(ctypes.c_void_p)]
    record = BorrowCheckingApi.from_address(_get_pointer(installed_capsule(), CAPSULE_NAME.encode()))
    calls = {name: functools.partial(getattr(record, name), record.flags)
             for name in ("acquire", "acquire_mut", "release", "release_mut")}
    return types.SimpleNamespace(record=record, **calls)


@contextlib.contextmanager
def exclusively_borrowed(registry, array):
    assert registry.acquire_mut(array) == 0
    try:
        yield
    finally:
        registry.release_mut(array)


def assert_unborrowed(registry, array):
    assert registry.acquire_mut(array) == 0, "a borrow of this memory is still held"
    registry.release_mut(array)


def borrowed_bases(registry):
    """How many base addresses the module's own registry holds borrows for. White-box (the
    count follows the slot vector, three words in libstdc++), since a stale entry for memory
    that no array describes any more cannot be met by a borrow attempt."""
    return ctypes.c_size_t.from_address(registry.record.flags + 3 * ctypes.sizeof(ctypes.c_void_p)).value
