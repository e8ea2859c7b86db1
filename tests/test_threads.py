"""Many Python threads in the module at once, and another extension module (driven through the
registry's own functions) taking exclusive borrows of the same memory in between."""
import sys
import threading
import time

import numpy as np

import pixalot
from borrow_registry import assert_unborrowed, open_registry
from subprocess_helpers import run_python

ALREADY_BORROWED = ("called `unwrap()` on an error value: AlreadyBorrowed",)
IMAGE = np.random.default_rng(3).uniform(-0.1, 1.1, (12, 10, 3)).astype(np.float32)


class Yielding:
    """A tolerance whose conversion lets other threads run while the input is borrowed."""
    def __float__(self):
        time.sleep(0)
        return 0.01


def calls(image):
    return [lambda: pixalot.sin_patern(image, 7, 0.3, True, 0.5),
            lambda: pixalot.sin_patern(image, 5, 0.2, False, -1.5),
            lambda: pixalot.color_levels(image, 0.1, 0.9, 0.0, 1.0, 1.3),
            lambda: pixalot.gray_or_color(image, Yielding())]


def same(result, expected):
    return result is expected if isinstance(expected, bool) else result.tobytes() == expected.tobytes()


def test_threads_hammering_shared_and_own_arrays_get_right_answers_or_already_borrowed():
    registry = open_registry()
    shared = IMAGE.copy()
    # Each view overlaps what the other module borrows exclusively: the whole image or its top rows.
    contested = [shared, shared[::-1], shared[:, 1:], np.asfortranarray(shared)[::2]]
    own_images = [IMAGE.copy() for _ in range(3)]
    expected = {id(array): [call() for call in calls(array)] for array in (IMAGE, *contested)}
    stop, failures, start = threading.Event(), [], threading.Barrier(len(own_images) + 1)

    def worker(image):
        start.wait()
        for _ in range(100):
            for array, answers in ((image, expected[id(IMAGE)]), *((a, expected[id(a)]) for a in contested[:3])):
                for call, want in zip(calls(array), answers, strict=True):
                    try:
                        if not same(call(), want):
                            failures.append(("wrong result", array is image))
                    except BaseException as error:  # faults are BaseExceptions
                        if array is image or error.args != ALREADY_BORROWED:
                            failures.append((type(error).__name__, error.args, array is image))

    def other_module():
        start.wait()
        while not stop.is_set():
            for target in (shared, shared[:4]):
                code = registry.acquire_mut(target)
                if code == 0:
                    time.sleep(0)  # hold it while the workers run
                    registry.release_mut(target)
                elif code != -1:  # -1: a worker holds a shared borrow right now
                    failures.append(("acquire_mut", code))
                time.sleep(0)  # and let them run without it

    threads = [threading.Thread(target=worker, args=(image,)) for image in own_images]
    borrower = threading.Thread(target=other_module)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch between threads as often as the interpreter can
    try:
        for thread in (*threads, borrower):
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        stop.set()
        borrower.join()
        sys.setswitchinterval(interval)
    assert not failures, failures[:10]
    for array in (shared, *own_images, contested[3]):
        assert_unborrowed(registry, array)


def test_threads_racing_into_first_use_all_work_and_share_one_panic_type():
    completed = run_python("""
        import sys, threading
        import numpy as np
        import pixalot

        sys.setswitchinterval(1e-6)
        start, seen = threading.Barrier(6), []

        def first_calls():
            image = np.full((2, 2, 3), 0.5, np.float32)
            start.wait()
            try:
                pixalot.gray_or_color(image[..., 0], 0.5)
            except BaseException as error:
                seen.append((type(error), pixalot.gray_or_color(image, 0.0)))

        threads = [threading.Thread(target=first_calls) for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(len(seen), len({id(panic) for panic, _ in seen}), all(gray for _, gray in seen))
    """)
    assert completed.stdout == "6 1 True\n"
