"""Worker threads and the released interpreter lock, timed on 2048x2048x3 float32 (48 MB).

    python benchmarks/bench_threads.py [--quick] [--json PATH]

Both settings are read when pixalot is imported, so each lives in a child process of its
own: one with PIXALOT_NUM_THREADS=1, one with =2, and one with PIXALOT_RELEASE_GIL=1 for
two caller threads against the same two calls made one after the other. The parent asks
the children for one sample each in turn, round after round, so that a change in the
background load hits both sides of a ratio alike; each figure is a median.

Two more groups put those ratios in context. What the machine itself allows two threads:
NumPy's own work (which lets the lock go) split in halves over two threads, once bound by
memory and once by arithmetic. And the scaling users reach for: levels with gamma 2.2 over an
8192x8192x3 array (768 MiB) in 1024-row blocks through `dask.array.map_blocks`, on Dask's
synchronous and threaded schedulers, against the same maths written in NumPy.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SHAPE = (2048, 2048, 3)
# Below the size at which work is split (1 Mi floats): must be within noise of one thread.
SMALL_SHAPE = (512, 512, 3)
DASK_SHAPE, DASK_ROWS = (8192, 8192, 3), 1024

CHILD = r"""
import sys, time, threading
import numpy as np
import pixalot
from concurrent.futures import ThreadPoolExecutor

F = np.float32
rng = np.random.default_rng(1)
def data(shape):
    return {"8-bit": (rng.integers(0, 256, shape, dtype=np.uint8) / F(255)).astype(F),
            "16-bit": (rng.integers(0, 65536, shape, dtype=np.uint16) / F(65535)).astype(F),
            "distinct": rng.random(shape, dtype=F)}
big, small = data(SHAPE), data(SMALL_SHAPE)
levels = lambda x, g: (lambda: pixalot.color_levels(x, 0.05, 0.95, 0.0, 1.0, g))
cases = {}
for images, size in ((big, "large"), (small, "small")):
    for kind, x in images.items():
        for gamma in (2.2, 1.0, 0.0):
            cases[f"color_levels gamma {gamma}, {kind}, {size}"] = levels(x, gamma)
    x = images["distinct"]
    cases[f"sin_patern vertical, {size}"] = lambda x=x: pixalot.sin_patern(x, 40, 0.25, True, 0.5)
    cases[f"sin_patern horizontal, {size}"] = lambda x=x: pixalot.sin_patern(x, 40, 0.25, False, 0.5)
    cases[f"gray_or_color, {size}"] = lambda x=x: pixalot.gray_or_color(x, 0.01)
    cases[f"copy, {size}"] = lambda x=x: x.copy()
tiny = np.full((1, 1, 3), 0.5, F)
cases["tiny color_levels 1x1x3 (x1000)"] = lambda: [
    pixalot.color_levels(tiny, 0.05, 0.95, 0.0, 1.0, 2.2) for _ in range(1000)]
own = [rng.random(SHAPE, dtype=F) for _ in range(2)]
pool = ThreadPoolExecutor(2)
one = lambda x: pixalot.color_levels(x, 0.05, 0.95, 0.0, 1.0, 2.2)
cases["two calls, one after the other"] = lambda: [one(x) for x in own]
cases["two calls, two caller threads"] = lambda: list(pool.map(one, own))

# What two threads can gain on this machine, whatever the code: NumPy's ufuncs let the lock
# go, so two threads each taking half an already-touched result show the memory's limit
# (multiply) and the cores' own (power, which is arithmetic).
x, out = big["distinct"], np.ones(SHAPE, F)
halves = [(x[:SHAPE[0] // 2], out[:SHAPE[0] // 2]), (x[SHAPE[0] // 2:], out[SHAPE[0] // 2:])]
for ufunc, operand in ((np.multiply, F(0.5)), (np.power, F(2.2))):
    cases[f"machine: numpy {ufunc.__name__}, one thread"] = lambda u=ufunc, o=operand: u(x, o, out=out)
    cases[f"machine: numpy {ufunc.__name__}, two threads"] = lambda u=ufunc, o=operand: list(
        pool.map(lambda h: u(h[0], o, out=h[1]), halves))
# And the C library's own powf, the arithmetic of levels on distinct values: NumPy's power is
# vectorised, libm's is one value at a time. ctypes lets the lock go around a foreign call.
sys.path.insert(0, BENCH_DIR)
from bench import load_powf_loop
powf_loop, _ = load_powf_loop()
if powf_loop:
    powf_halves = lambda h: powf_loop(h[0].ctypes.data, h[1].ctypes.data, h[0].size, 2.2)
    cases["machine: libm powf, one thread"] = lambda: powf_halves((x, out))
    cases["machine: libm powf, two threads"] = lambda: list(pool.map(powf_halves, halves))

dask_input = []  # made on first use: 768 MiB that the other rows never need
def dask_case(fn, scheduler):
    def run():
        import dask.array
        if not dask_input:
            dask_input.append(dask.array.from_array(rng.random(DASK_SHAPE, dtype=F), chunks=(DASK_ROWS, -1, -1)))
        dask_input[0].map_blocks(fn, dtype=F).compute(scheduler=scheduler)
    return run
# The same maths as the call, float32 at every step (as in bench.py).
numpy_levels = lambda b: np.power(
    np.clip(((b - F(0.05)) / (F(0.95) - F(0.05))) * (F(1) - F(0)) + F(0), F(0), F(1)), F(2.2))
for scheduler in ("synchronous", "threads"):
    cases[f"dask: numpy, {scheduler}"] = dask_case(numpy_levels, scheduler)
    cases[f"dask: pixalot, {scheduler}"] = dask_case(one, scheduler)

for name, fn in cases.items():
    if not name.startswith("dask"):
        fn()
print(json.dumps(list(cases)), flush=True)
for line in sys.stdin:
    fn = cases[line.strip()]
    start, cpu = time.perf_counter(), time.process_time()
    fn()
    print(time.perf_counter() - start, time.process_time() - cpu, flush=True)
"""


def start_child(settings):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIXALOT_")}
    env.update(settings, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    source = (f"import json\nSHAPE, SMALL_SHAPE = {SHAPE!r}, {SMALL_SHAPE!r}\n"
              f"DASK_SHAPE, DASK_ROWS = {DASK_SHAPE!r}, {DASK_ROWS!r}\nBENCH_DIR = {str(HERE)!r}\n" + CHILD)
    child = subprocess.Popen([sys.executable, "-c", source], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True, env=env)
    names = json.loads(child.stdout.readline())
    return child, names


def sample(child, name):
    child.stdin.write(name + "\n")
    child.stdin.flush()
    wall, cpu = child.stdout.readline().split()
    return float(wall), float(cpu)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds")
    parser.add_argument("--json", default=str(HERE / "results_threads.json"))
    args = parser.parse_args(argv)
    rounds = 3 if args.quick else 11
    dask_rounds = 1 if args.quick else 5
    children = {"1 thread": start_child({"PIXALOT_NUM_THREADS": "1"}),
                "2 threads": start_child({"PIXALOT_NUM_THREADS": "2"}),
                "lock let go": start_child({"PIXALOT_RELEASE_GIL": "1"})}
    names = children["1 thread"][1]
    per_call = [n for n in names if not n.startswith(("two calls", "machine", "dask"))]
    machine = [n for n in names if n.startswith("machine")]
    # Which setting each Dask row runs under: the lock held (the default), the work split
    # over two worker threads, or the lock let go for Dask's own threads.
    dask_rows = [("1 thread", n) for n in names if n.startswith("dask")]
    dask_rows += [(side, n) for side in ("2 threads", "lock let go") for n in names if n.startswith("dask: pixalot")]
    times = {(side, n): [] for side in children for n in names}
    for round_number in range(rounds):
        for n in per_call:
            for side in ("1 thread", "2 threads"):
                times[side, n].append(sample(children[side][0], n))
        for n in machine:
            times["1 thread", n].append(sample(children["1 thread"][0], n))
        for n in ("two calls, one after the other", "two calls, two caller threads"):
            times["lock let go", n].append(sample(children["lock let go"][0], n))
        # Seconds a sample, so fewer rounds; the first is a warm-up, since it makes the array.
        if round_number < dask_rounds + 1:
            for side, n in dask_rows:
                sample_taken = sample(children[side][0], n)
                if round_number:
                    times[side, n].append(sample_taken)
    for child, _ in children.values():
        child.stdin.close()
        child.wait()
    median = {key: statistics.median(w for w, _ in value) for key, value in times.items() if value}
    cpu = {key: statistics.median(c for _, c in value) for key, value in times.items() if value}
    # The fastest sample of each: background work only ever adds time, so on a shared machine
    # the best of several rounds comes nearest what the code does on an idle one.
    best = {key: min(w for w, _ in value) for key, value in times.items() if value}
    load = os.getloadavg()
    print(f"threads: large = {SHAPE}, small = {SMALL_SHAPE} float32; medians of {rounds} rounds; "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"{len(os.sched_getaffinity(0))} usable CPUs")
    # cpu 2/1: processor time of the whole process, both threads, against one thread's: the
    # work the split adds. On a machine busy with other work the wall ratio shows little,
    # since the second thread then waits for a core; this column still shows the cost.
    print(f"{'case':<42} {'1 thread ms':>11} {'2 threads ms':>12} {'2/1':>6} {'best 2/1':>8} {'cpu 2/1':>7} "
          f"{'1t/copy':>8} {'2t/copy':>8}")
    records = []
    for n in per_call:
        size = n.rsplit(", ", 1)[-1]
        copy = ("copy, " + size) if size in ("large", "small") else None
        one, two = median["1 thread", n], median["2 threads", n]
        cpu_ratio = cpu["2 threads", n] / cpu["1 thread", n] if cpu["1 thread", n] > 0 else float("nan")
        best_ratio = best["2 threads", n] / best["1 thread", n]
        record = {"case": n, "one_thread_ms": one * 1e3, "two_threads_ms": two * 1e3, "two_over_one": two / one,
                  "best_two_over_one": best_ratio, "cpu_two_over_one": cpu_ratio}
        line = f"{n:<42} {one * 1e3:11.3f} {two * 1e3:12.3f} {two / one:6.3f} {best_ratio:8.3f} {cpu_ratio:7.2f}"
        if copy and copy != n:
            record["one_over_copy"] = one / median["1 thread", copy]
            record["two_over_copy"] = two / median["1 thread", copy]
            line += f" {record['one_over_copy']:8.2f} {record['two_over_copy']:8.2f}"
        records.append(record)
        print(line)
    sequential = median["lock let go", "two calls, one after the other"]
    parallel = median["lock let go", "two calls, two caller threads"]
    caller = {n: best["lock let go", f"two calls, {n}"] for n in ("one after the other", "two caller threads")}
    caller_best = caller["two caller threads"] / caller["one after the other"]
    print(f"PIXALOT_RELEASE_GIL=1, levels gamma 2.2 on two 48 MB arrays: one after the other "
          f"{sequential * 1e3:.1f} ms, two caller threads {parallel * 1e3:.1f} ms, ratio {parallel / sequential:.3f} "
          f"(best {caller_best:.3f})")
    print("What two threads gain on this machine for others' code, halves of an already-touched array:")
    ceiling = {}
    for work in sorted({n.removeprefix("machine: ").rsplit(",", 1)[0] for n in machine}):
        alone = median["1 thread", f"machine: {work}, one thread"]
        shared = median["1 thread", f"machine: {work}, two threads"]
        ceiling[work] = shared / alone
        work_best = best["1 thread", f"machine: {work}, two threads"] / best["1 thread", f"machine: {work}, one thread"]
        print(f"  {work:<15} one thread {alone * 1e3:7.2f} ms, two threads {shared * 1e3:7.2f} ms, "
              f"ratio {shared / alone:.3f} (best {work_best:.3f})")
    # Each Dask sample fills about 3 GB of fresh memory (blocks, temporaries, the joined
    # result), whose first touch costs whatever the machine's memory costs to hand out: on a
    # virtual machine that gives freed memory back to its host, up to seconds, at random.
    print(f"Dask, levels gamma 2.2 on {DASK_SHAPE} float32 in {DASK_ROWS}-row blocks, seconds, "
          f"best and median of {dask_rounds}:")
    dask = {}
    for side, n in dask_rows:
        setting = {"1 thread": "lock held", "2 threads": "2 worker threads", "lock let go": "lock let go"}[side]
        if n.startswith("dask: numpy"):
            setting = "NumPy expression"
        dask[f"{n}, {setting}"] = {"best": best[side, n], "median": median[side, n]}
        print(f"  {n.removeprefix('dask: '):<24} {setting:<18} {best[side, n]:6.2f} {median[side, n]:6.2f}")
    out = {"rounds": rounds, "load_average": load, "records": records,
           "caller_threads": {"sequential_ms": sequential * 1e3, "two_threads_ms": parallel * 1e3,
                              "ratio": parallel / sequential, "best_ratio": caller_best},
           "machine_two_over_one": ceiling, "dask_seconds": dask}
    pathlib.Path(args.json).write_text(json.dumps(out, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
