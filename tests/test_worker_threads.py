"""The opt-in threads: worker threads inside a call give the bits of one thread, a forked child
of a process that used them works, and with the interpreter lock let go during the computation,
callers' own threads get the answers of a single thread and leave no borrow behind.

Each setting is read at import, so each runs in a fresh interpreter that computes many cases."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

HERE = pathlib.Path(__file__).resolve().parent


# The scripts count the threads of their process, less those it had before pixalot was
# loaded: none natively, but qemu's user-mode emulator keeps a thread of its own in every
# process it runs (again in a forked child).
def run_with(settings: dict, source: str, timeout: float = 120) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIXALOT_")}
    env.update(settings)
    # NumPy's BLAS starts threads of its own at import; the tests count the pool's.
    env["OPENBLAS_NUM_THREADS"] = "1"
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True,
                               text=True, timeout=timeout, env=env)
    assert completed.returncode == 0, completed.stderr
    return completed


# Every case is above the size at which work is split (1 Mi floats; 3 Mi for levels with a
# gamma that calls powf, in the large cases), apart from the few-axes and the 0-d ones, which
# must not notice the threads at all.
CASES = r"""
import hashlib, json, sys
import numpy as np
import pixalot

rng = np.random.default_rng(7)
F = np.float32

def kinds(shape):
    n = int(np.prod(shape))
    grid8 = (rng.integers(0, 256, n) / F(255)).astype(F)
    grid16 = (rng.integers(0, 65536, n) / F(65535)).astype(F)
    distinct = rng.uniform(-0.2, 1.2, n).astype(F)
    special = distinct.copy()
    special[::7] = np.nan
    special[1::11] = np.inf
    special[2::13] = -np.inf
    special[3::5] = -0.0
    mixed = np.where(np.arange(n) < n // 2, grid8, distinct)  # memos change their verdict mid-call
    return {k: v.reshape(shape) for k, v in
            dict(grid8=grid8, grid16=grid16, distinct=distinct, special=special, mixed=mixed).items()}

def misaligned(a):
    raw = np.empty(a.nbytes + 4, np.uint8)
    out = raw[2:2 + a.nbytes].view(F).reshape(a.shape)
    out[...] = a
    return out

def packed(a):
    rec = np.zeros(a.shape, dtype=[("pad", "u1"), ("v", "<f4")])
    rec["v"] = a
    return rec["v"]

def layouts(a):
    yield "C", a
    yield "F", np.asfortranarray(a)
    yield "flipped", a[:, ::-1]
    yield "flipped rows", a[::-1]
    yield "stepped", a[::2, ::3]
    yield "transposed", a.transpose(1, 0, 2)
    yield "broadcast", np.broadcast_to(a[:1], a.shape)
    yield "misaligned", misaligned(a)
    yield "packed", packed(a)
    yield "plane", a[..., 1]

def digest(result):
    if isinstance(result, bool):
        return str(result)
    return hashlib.sha256(result.tobytes()).hexdigest()[:16] + str(result.strides)

out = {}
def record(name, call):
    try:
        out[name] = digest(call())
    except BaseException as error:
        out[name] = type(error).__name__ + repr(error.args)

# Levels with a gamma that calls powf split from 3 Mi floats on: the large cases below.
for kind, image in kinds((360, 1000, 3)).items():
    if kind == "mixed":
        continue
    for layout, a in layouts(image):
        for gamma in (1.0, 0.0):
            record(f"levels {kind} {layout} {gamma}", lambda: pixalot.color_levels(a, 0.1, 0.9, 0.05, 0.95, gamma))
        if kind in ("distinct", "special"):
            for vertical, period, bias in ((True, 40, 0.5), (False, 7, -1.5), (False, 1000, 3.0)):
                record(f"stripes {kind} {layout} {vertical} {period}",
                       lambda: pixalot.sin_patern(a, period, 0.3, vertical, bias))
            record(f"gray {kind} {layout}", lambda: pixalot.gray_or_color(a, 0.01))
for kind, image in kinds((1200, 1000, 3)).items():
    if kind in ("grid16", "special", "mixed"):
        for layout, a in (("C", image), ("flipped", image[:, ::-1]), ("F", np.asfortranarray(image))):
            record(f"levels large {kind} {layout}", lambda: pixalot.color_levels(a, 0.1, 0.9, 0.05, 0.95, 2.2))
# 0 to 32 axes, with as many elements as the splits need where there are enough axes.
for ndim in range(33):
    shape = [1] * ndim
    for axis in range(min(ndim, 21)):
        shape[axis] = 2
    a = kinds(tuple(shape))["special"]
    record(f"levels {ndim} axes", lambda: pixalot.color_levels(a, 0.1, 0.9, 0.05, 0.95, 2.2))
    if ndim >= 2:
        record(f"levels {ndim} axes reversed", lambda: pixalot.color_levels(a[::-1, ::-1], 0.1, 0.9, 0.0, 1.0, 0.45))
# Faults met while planning, reported as on one thread.
big = np.zeros((600, 600, 3), F)
record("stripes period 0", lambda: pixalot.sin_patern(big, 0, 0.3, True, 0.5))
record("stripes negative period", lambda: pixalot.sin_patern(big, 40000, 0.3, False, 0.5))
record("gray one axis", lambda: pixalot.gray_or_color(big.ravel(), 0.1))
json.dump(out, sys.stdout)
"""


@pytest.fixture(scope="module")
def one_thread():
    return json.loads(run_with({}, CASES).stdout)


@pytest.mark.parametrize("settings", [
    {"PIXALOT_NUM_THREADS": "3"},
    {"PIXALOT_NUM_THREADS": "7", "PIXALOT_RELEASE_GIL": "1"},
], ids=lambda s: ",".join(f"{k[8:]}={v}" for k, v in s.items()))
def test_any_thread_count_gives_the_bits_of_one_thread(one_thread, settings):
    split = json.loads(run_with(settings, CASES).stdout)
    assert split.keys() == one_thread.keys()
    differing = [name for name in one_thread if split[name] != one_thread[name]]
    assert not differing, differing[:10]
    assert one_thread["stripes period 0"].startswith("PanicException")


@pytest.mark.parametrize("value, threads, warned", [
    ("", 1, False), ("1", 1, False), ("3", 3, False), ("auto", "cpus", False), ("0", "cpus", False),
    ("-2", 1, True), ("two", 1, True), ("2.5", 1, True), (" 2", 1, True), ("99999", 1, True),
])
def test_the_thread_count_is_read_at_import_and_a_bad_one_warned_about_once(value, threads, warned):
    completed = run_with({"PIXALOT_NUM_THREADS": value}, """
        import os, warnings
        import numpy as np
        others = len(os.listdir("/proc/self/task")) - 1
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import pixalot
        x = np.random.default_rng(1).random((600, 600, 3), dtype=np.float32)
        pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 1.0)
        # Threads of the process besides the caller and those it had before: the pool's workers.
        print(len(os.listdir("/proc/self/task")) - 1 - others, len(os.sched_getaffinity(0)),
              [(w.category.__name__, str(w.message)) for w in caught])
    """)
    workers, cpus, caught = completed.stdout.split(" ", 2)
    expected = int(cpus) if threads == "cpus" else threads
    assert int(workers) == expected - 1
    assert (caught.strip() != "[]") == warned
    if warned:
        assert caught.count("RuntimeWarning") == 1 and "PIXALOT_NUM_THREADS" in caught


def test_no_thread_is_started_by_default_nor_for_calls_below_the_threshold():
    completed = run_with({"PIXALOT_NUM_THREADS": "4"}, """
        import os
        import numpy as np
        others = len(os.listdir("/proc/self/task")) - 1
        import pixalot
        small = np.random.default_rng(1).random((500, 600, 3), dtype=np.float32)  # just below
        for _ in range(3):
            pixalot.color_levels(small, 0.1, 0.9, 0.0, 1.0, 2.2)
            pixalot.sin_patern(small, 40, 0.3, True, 0.5)
        print(len(os.listdir("/proc/self/task")) - others)
    """)
    assert completed.stdout == "1\n"


def test_a_child_forked_after_the_pool_ran_computes_with_a_new_pool():
    completed = run_with({"PIXALOT_NUM_THREADS": "2", "PIXALOT_RELEASE_GIL": "1"}, """
        import os, signal, threading, warnings
        import numpy as np
        others = len(os.listdir("/proc/self/task")) - 1  # a forked child gets the same again
        import pixalot
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        x = np.random.default_rng(1).random((600, 600, 3), dtype=np.float32)
        want = pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 1.0).tobytes()
        # Another thread keeps calling in (lock let go, pool busy) while the fork happens.
        stop = threading.Event()
        def busy():
            while not stop.is_set():
                pixalot.sin_patern(x, 40, 0.3, True, 0.5)
        other = threading.Thread(target=busy)
        other.start()
        statuses = []
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                signal.alarm(30)  # a deadlocked child dies rather than hang the test
                ok = all(pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 1.0).tobytes() == want for _ in range(3))
                os._exit(0 if ok and len(os.listdir("/proc/self/task")) == 2 + others else 1)
            statuses.append(os.waitpid(pid, 0)[1])
        stop.set()
        other.join()
        print(statuses)
    """)
    assert completed.stdout == "[0, 0, 0]\n"


def test_with_the_lock_let_go_other_python_threads_run_during_a_call():
    # With no forced switches, the main thread can only run again when the caller lets go of
    # the lock: by waiting, or inside a call that releases it.
    source = """
        import sys, threading
        import numpy as np
        import pixalot
        x = np.random.default_rng(1).random((256, 256, 3), dtype=np.float32)
        # The first call looks NumPy's tables up, and an import may read files with the lock
        # let go: done before the race, so that only the call itself can let it go.
        pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 2.2)
        done, started = [], threading.Event()
        def caller():
            started.set()
            for _ in range(5):
                pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 2.2)
                done.append(1)
        sys.setswitchinterval(1000)
        thread = threading.Thread(target=caller)
        thread.start()
        started.wait()
        print(len(done))
        thread.join()
    """
    assert run_with({}, source).stdout == "5\n"
    assert run_with({"PIXALOT_RELEASE_GIL": "1"}, source).stdout != "5\n"


def test_callers_threads_with_the_lock_let_go_get_the_single_threaded_answers():
    completed = run_with({"PIXALOT_RELEASE_GIL": "1", "PIXALOT_NUM_THREADS": "2"}, """
        import gc, sys, threading, time
        import numpy as np
        import pixalot
        from borrow_registry import assert_unborrowed, borrowed_bases, open_registry

        registry = open_registry()
        rng = np.random.default_rng(5)
        shared = rng.uniform(-0.1, 1.1, (700, 500, 3)).astype(np.float32)  # split by the workers too
        shared[::9] = (np.round(shared[::9] * 255) / 255).astype(np.float32)
        views = [shared, shared[::-1], shared[:, 1:], np.asfortranarray(shared)[::2], shared[:64]]
        own = [shared.copy() for _ in range(3)]

        def calls(image):
            return [lambda: pixalot.sin_patern(image, 40, 0.3, True, 0.5),
                    lambda: pixalot.sin_patern(image, 7, 0.2, False, -1.5),
                    lambda: pixalot.color_levels(image, 0.1, 0.9, 0.0, 1.0, 2.2),
                    lambda: pixalot.color_levels(image, 0.1, 0.9, 0.0, 1.0, 1.0),
                    lambda: pixalot.gray_or_color(image, 0.01)]

        def same(result, want):
            return result is want if isinstance(want, bool) else result.tobytes() == want.tobytes()

        expected = [[call() for call in calls(a)] for a in views]
        failures, stop = [], threading.Event()
        start = threading.Barrier(len(own) + 3)

        def caller(image):
            start.wait()
            for _ in range(3):
                for array, answers in ((image, expected[0]), *zip(views, expected)):
                    for call, want in zip(calls(array), answers):
                        try:
                            if not same(call(), want):
                                failures.append("wrong result")
                        except BaseException as error:
                            failures.append(repr(error))

        def borrower():
            # Another module takes exclusive borrows of memory no caller reads.
            start.wait()
            private = np.zeros((300, 300, 3), np.float32)
            while not stop.is_set():
                if registry.acquire_mut(private) != 0:
                    failures.append("acquire_mut")
                time.sleep(0)
                registry.release_mut(private)

        def reshaper():
            start.wait()
            mine = np.zeros((200, 200, 3), np.float32)
            while not stop.is_set():
                mine.resize((200 + int(time.time() * 1000) % 50, 200, 3), refcheck=False)
                pixalot.color_levels(mine, 0.0, 1.0, 0.0, 1.0, 2.2)
                gc.collect()

        threads = [threading.Thread(target=caller, args=(image,)) for image in own]
        helpers = [threading.Thread(target=borrower), threading.Thread(target=reshaper)]
        for thread in (*threads, *helpers):
            thread.start()
        start.wait()
        for thread in threads:
            thread.join()
        stop.set()
        for thread in helpers:
            thread.join()
        # The registry is empty: every view can be borrowed exclusively again.
        for array in (*views, *own):
            assert_unborrowed(registry, array)
        print(failures[:5], borrowed_bases(registry))
    """, timeout=300)
    assert completed.stdout == "[] 0\n"


def test_the_input_cannot_be_resized_while_a_call_has_let_go_of_the_lock():
    completed = run_with({"PIXALOT_RELEASE_GIL": "1"}, """
        import sys, threading
        import numpy as np
        import pixalot
        x = np.random.default_rng(1).random((1024, 1024, 3), dtype=np.float32)
        want = pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 2.2).tobytes()
        inside, outcomes = threading.Event(), []
        def resize_meanwhile():
            inside.wait()
            try:
                x.resize((4, 4, 3))  # refcheck: the call's own reference refuses it
                outcomes.append("resized")
            except ValueError:
                outcomes.append("refused")
        other = threading.Thread(target=resize_meanwhile)
        other.start()
        sys.setswitchinterval(1000)
        inside.set()
        got = pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 2.2).tobytes()
        other.join()
        print(outcomes, got == want)
    """)
    assert completed.stdout == "['refused'] True\n"


def test_daemon_threads_still_calling_at_exit_let_the_interpreter_end_cleanly():
    # They come back for the lock while the interpreter is being finalized; before CPython
    # 3.14 that ends a thread by unwinding its stack, which must not abort the process.
    for _ in range(4):
        completed = run_with({"PIXALOT_RELEASE_GIL": "1", "PIXALOT_NUM_THREADS": "2"}, """
            import threading, time
            import numpy as np
            import pixalot
            small = np.random.default_rng(1).random((128, 128, 3), dtype=np.float32)
            large = np.random.default_rng(2).random((600, 600, 3), dtype=np.float32)
            def loop(x):
                while True:
                    pixalot.color_levels(x, 0.1, 0.9, 0.0, 1.0, 2.2)
            for x in (small, small, large):
                threading.Thread(target=loop, args=(x,), daemon=True).start()
            time.sleep(0.05)
            print("done")
        """)
        assert completed.stdout == "done\n"
