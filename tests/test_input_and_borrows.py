import contextlib
import importlib
import os
import threading
import warnings

import numpy as np
import pytest

import pixalot
from borrow_registry import CAPSULE_NAME, assert_unborrowed, exclusively_borrowed, installed_capsule, open_registry
from subprocess_helpers import run_python


@pytest.fixture(scope="module")
def registry():
    return open_registry()


@pytest.fixture
def image():
    return np.zeros((4, 5, 3), np.float32)


def levels(array):
    """A call that accepts a float32 array of any shape."""
    return pixalot.color_levels(array, 0.0, 1.0, 0.0, 1.0, 1.0)


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("value, message", [
    ([1.0], "'list' object cannot be converted to 'PyArray<T, D>'"),
    (None, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    (np.float32(1.0), "'float32' object cannot be converted to 'PyArray<T, D>'"),
    (np.zeros((1, 1, 3)), "type mismatch:\n from=float64, to=float32"),
    (np.zeros((1, 1, 3), np.float16), "type mismatch:\n from=float16, to=float32"),
    (np.zeros((1, 1, 3), np.int32), "type mismatch:\n from=int32, to=float32"),
    (np.zeros((1, 1, 3), ">f4"), "type mismatch:\n from=>f4, to=float32"),
])
def test_an_input_that_is_not_a_float32_ndarray_is_refused_not_cast(value, message):
    with pytest.raises(TypeError) as raised:
        pixalot.gray_or_color(value, 0.5)
    assert str(raised.value) == "argument 'input': " + message


class Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("array", [
    np.array(0.25, np.float32), np.zeros((0, 3), np.float32),
    np.zeros((2, 3), np.float32).view(Subclass), read_only(np.full((2, 3), 0.25, np.float32)),
], ids=["zero-dimensional", "empty", "subclass", "read-only"])
def test_any_float32_ndarray_is_accepted(array):
    assert levels(array).shape == array.shape


def test_the_registry_is_published_where_protocol_peers_look_for_it(registry):
    # On NumPy 1.x numpy._core.multiarray is a stub that copies numpy.core.multiarray's
    # names; a registry published on it would not be shared.
    canonical = "numpy._core.multiarray" if np.__version__[0] != "1" else "numpy.core.multiarray"
    assert vars(importlib.import_module(canonical)).get(CAPSULE_NAME) is installed_capsule()
    assert registry.record.version == 1


@pytest.mark.parametrize("borrowed, passed, conflict", [
    (lambda img: img, lambda img: img, True),
    (lambda img: img[..., 0], lambda img: img, True),
    (lambda img: img[:2], lambda img: img[1:], True),
    (lambda img: img[1:], lambda img: img[:2], True),
    (lambda img: img[::-1], lambda img: img[:1], True),
    (lambda img: img[..., 0], lambda img: img[..., 1], False),
    (lambda img: img[:2], lambda img: img[2:], False),
], ids=["same", "channel-in-image", "head-tail", "tail-head", "reversed", "two-channels", "disjoint-rows"])
def test_an_exclusive_borrow_faults_calls_on_exactly_the_memory_it_overlaps(
        registry, image, borrowed, passed, conflict):
    shared = passed(image)
    with exclusively_borrowed(registry, borrowed(image)):
        if conflict:
            with pytest.raises(BaseException) as raised:
                levels(shared)
            assert raised.value.args == ("called `unwrap()` on an error value: AlreadyBorrowed",)
        else:
            assert levels(shared).shape == shared.shape
    assert_unborrowed(registry, image)


def resumed_panic():
    """An argument whose conversion brings a PanicException back into the module."""
    with pytest.raises(BaseException) as raised:
        pixalot.gray_or_color(np.zeros(2, np.float32), 0.5)

    class Exploding:
        def __float__(self):
            raise raised.value

    return Exploding()


@pytest.mark.parametrize("call", [
    lambda img: pixalot.gray_or_color(img, 0.5),
    lambda img: pixalot.gray_or_color(img, 0.5, 1),
    lambda img: pixalot.gray_or_color(img, "x"),
    lambda img: pixalot.sin_patern(img, -1, 0.5, True, 0.0),
    lambda img: pixalot.color_levels(img, 0, 1, 0, 1, "x"),
    lambda img: pixalot.gray_or_color(img[..., :2], 0.5),
    lambda img: pixalot.sin_patern(img, 0, 0.5, True, 0.0),
    lambda img: pixalot.gray_or_color(img, resumed_panic()),
], ids=["result", "binding-error", "float-error", "overflow", "last-argument-error",
        "fault-before-computing", "fault-while-computing", "fault-while-converting"])
def test_every_way_out_of_a_call_gives_the_borrow_back(registry, image, call):
    with contextlib.suppress(BaseException):
        call(image)
    assert_unborrowed(registry, image)


def test_shared_borrows_stack_and_only_the_last_release_frees_the_memory(registry, image):
    assert registry.acquire(image) == registry.acquire(image) == 0
    assert levels(image).shape == image.shape, "readers do not exclude readers"
    for _ in range(2):
        assert registry.acquire_mut(image) == -1
        registry.release(image)
    assert_unborrowed(registry, image)


def test_only_the_exclusive_borrow_of_a_read_only_array_is_refused(registry, image):
    frozen = read_only(image)
    assert registry.acquire_mut(frozen) == -2
    assert registry.acquire(frozen) == 0
    registry.release(frozen)


@pytest.mark.parametrize("second, conflict", [
    ((0, (2, 5)), True), ((2, (3, 3)), True), ((4, (3, 3)), False),
], ids=["same-element", "overlapping-element", "adjacent-element"])
def test_all_zero_stride_views_conflict_exactly_when_their_bytes_overlap(registry, second, conflict):
    memory = np.zeros(16, np.uint8)

    def broadcast(offset, shape):
        view = np.broadcast_to(memory[offset:offset + 4].view(np.float32), shape)
        view.flags.writeable = True
        return view

    other = broadcast(*second)
    with exclusively_borrowed(registry, broadcast(0, (3, 3))):
        assert registry.acquire_mut(other) == (-1 if conflict else 0)
        if not conflict:
            registry.release_mut(other)
    assert_unborrowed(registry, memory)


def test_without_numpy_every_call_faults_until_numpy_can_be_imported():
    completed = run_python("""
        import sys
        import pixalot

        sys.modules["numpy"] = None
        for _ in range(2):
            try:
                pixalot.gray_or_color([1.0], 0.5)
            except BaseException as error:
                print(type(error).__name__, error.args[0].startswith(
                    "Failed to access NumPy array API capsule: PyErr { type: "))
        del sys.modules["numpy"]
        import numpy
        print(pixalot.gray_or_color(numpy.zeros((1, 1, 3), numpy.float32), 0.5))
    """)
    assert completed.stdout == "PanicException True\nPanicException True\nTrue\n"


def test_a_peer_giving_back_what_it_never_took_is_told_on_stderr_and_the_registry_goes_on():
    # In a child process: a fault thrown through the peer's native frames would abort it.
    completed = run_python(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import numpy as np
        from borrow_registry import assert_unborrowed, open_registry

        registry = open_registry()
        image, elsewhere = np.zeros((4, 5, 3), np.float32), np.zeros(3, np.float32)
        assert registry.acquire(image) == 0
        registry.release(elsewhere)        # no borrow of that memory at all
        registry.release_mut(elsewhere)
        registry.release(image[1:])        # the memory is borrowed, that key is not
        registry.release(image)
        assert_unborrowed(registry, image)
        print("served on")
    """)
    assert completed.stdout == "served on\n"
    assert completed.stderr.count("panicked at ") == completed.stderr.count(
        "\ncalled `unwrap()` on an empty value\n") == 3


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_child_forked_while_another_thread_is_inside_a_call_keeps_only_its_own_borrows(registry):
    others, own = np.zeros((4, 5, 3), np.float32), np.zeros((4, 5, 3), np.float32)
    inside, leave = threading.Event(), threading.Event()

    class Blocking:
        """A tolerance whose conversion waits, without the interpreter lock, while the
        thread's call holds its borrow of `others`."""
        def __float__(self):
            inside.set()
            leave.wait(60)
            return 0.5

    class Forking:
        """A tolerance whose conversion forks while this thread's call holds its borrow of `own`."""
        child = None
        own_held_in_child = None

        def __float__(self):
            self.child = os.fork()
            if self.child == 0:
                self.own_held_in_child = registry.acquire_mut(own) == -1
            return 0.5

    def verdict_in_child():
        """0, or bit 1: the lost thread's borrow stayed; 2: ours went early; 4: ours was kept."""
        try:
            failed = (registry.acquire_mut(others) != 0) | (not forking.own_held_in_child) << 1
            if not failed & 1:
                registry.release_mut(others)
            return failed | (registry.acquire_mut(own) != 0) << 2
        except BaseException:
            return 8

    thread = threading.Thread(target=pixalot.gray_or_color, args=(others, Blocking()))
    thread.start()
    forking = Forking()
    try:
        assert inside.wait(60)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking beside a thread
            try:
                pixalot.gray_or_color(own, forking)
            finally:
                if forking.child == 0:
                    os._exit(verdict_in_child())  # whatever happened, the child ends here
    finally:
        leave.set()
        thread.join()
    _, status = os.waitpid(forking.child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert_unborrowed(registry, others)
    assert_unborrowed(registry, own)
