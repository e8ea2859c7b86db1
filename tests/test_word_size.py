"""What follows from the machine word: the borrow record's layout and the size limits at the
largest signed word. `make test-i386` runs these on 32-bit x86, where the limits are in reach."""
import ctypes

import numpy as np
import pytest

import pixalot
from borrow_registry import BorrowCheckingApi, assert_unborrowed, open_registry

WORD_BITS = 8 * ctypes.sizeof(ctypes.c_void_p)
CAPACITY = "capacity overflow"
SHAPE_TOO_LARGE = "ndarray: Shape too large, product of non-zero axis lengths overflows ssize_t"


def test_the_borrow_record_is_laid_out_as_the_platform_lays_out_a_plain_structure():
    # i386 aligns the 64-bit version to 4 bytes only, so the pointers follow it without a gap.
    size, offsets = {32: (28, [0, 8, 12, 16, 20, 24]), 64: (48, [0, 8, 16, 24, 32, 40])}[WORD_BITS]
    assert ctypes.sizeof(BorrowCheckingApi) == size
    assert [getattr(BorrowCheckingApi, name).offset for name, _ in BorrowCheckingApi._fields_] == offsets
    # Each slot, read at those offsets, must hold the function of its name.
    registry = open_registry()
    image = np.zeros(4, np.float32)
    frozen = image.view()
    frozen.flags.writeable = False
    assert registry.record.version == 1
    assert registry.acquire_mut(frozen) == -2
    assert registry.acquire(frozen) == 0
    assert registry.acquire_mut(image) == -1
    registry.release(frozen)
    assert_unborrowed(registry, image)


@pytest.mark.skipif(WORD_BITS != 32, reason="past 2^31 - 1 only on 32-bit; on 64-bit these tables are "
                                            "legal and would allocate gigabytes")
@pytest.mark.parametrize("shape, shape_sin, message", [
    ((2, 3), 2**29, CAPACITY),
    ((2, 3), 2**31 - 1, CAPACITY),
    ((2, 3), 2**31, SHAPE_TOO_LARGE),
    ((2, 3), 2**32 - 1, SHAPE_TOO_LARGE),
    ((4,), 2**29, CAPACITY),
], ids=["2^29 entries", "largest word of entries", "one past the largest word", "largest shape_sin",
        "before the shape is read"])
def test_a_sine_table_too_large_for_the_machine_word_faults_before_allocating(shape, shape_sin, message):
    with pytest.raises(BaseException) as raised:
        pixalot.sin_patern(np.zeros(shape, np.float32), shape_sin, 1.0, True, 0.0)
    assert (type(raised.value).__name__, raised.value.args) == ("PanicException", (message,))
