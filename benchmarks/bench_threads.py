"""Worker threads and the released interpreter lock, timed on 2048x2048x3 float32 (48 MB).

    python benchmarks/bench_threads.py [--quick] [--json PATH]

Both settings are read when pixalot is imported, so each lives in a child process of its
own: one with PIXALOT_NUM_THREADS=1, one with =2, and one with PIXALOT_RELEASE_GIL=1 for
two caller threads against the same two calls made one after the other. The parent asks
the children for one sample each in turn, round after round, so that a change in the
background load hits both sides of a ratio alike; each figure is a median.
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
for fn in cases.values():
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
    source = f"import json\nSHAPE, SMALL_SHAPE = {SHAPE!r}, {SMALL_SHAPE!r}\n" + CHILD
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
    children = {"1 thread": start_child({"PIXALOT_NUM_THREADS": "1"}),
                "2 threads": start_child({"PIXALOT_NUM_THREADS": "2"}),
                "lock let go": start_child({"PIXALOT_RELEASE_GIL": "1"})}
    names = children["1 thread"][1]
    per_call = [n for n in names if not n.startswith("two calls")]
    times = {(side, n): [] for side in children for n in names}
    for _ in range(rounds):
        for n in per_call:
            for side in ("1 thread", "2 threads"):
                times[side, n].append(sample(children[side][0], n))
        for n in ("two calls, one after the other", "two calls, two caller threads"):
            times["lock let go", n].append(sample(children["lock let go"][0], n))
    for child, _ in children.values():
        child.stdin.close()
        child.wait()
    median = {key: statistics.median(w for w, _ in value) for key, value in times.items() if value}
    cpu = {key: statistics.median(c for _, c in value) for key, value in times.items() if value}
    load = os.getloadavg()
    print(f"threads: large = {SHAPE}, small = {SMALL_SHAPE} float32; medians of {rounds} rounds; "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"{len(os.sched_getaffinity(0))} usable CPUs")
    # cpu 2/1: processor time of the whole process, both threads, against one thread's: the
    # work the split adds. On a machine busy with other work the wall ratio shows little,
    # since the second thread then waits for a core; this column still shows the cost.
    print(f"{'case':<42} {'1 thread ms':>11} {'2 threads ms':>12} {'2/1':>6} {'cpu 2/1':>7} "
          f"{'1t/copy':>8} {'2t/copy':>8}")
    records = []
    for n in per_call:
        size = n.rsplit(", ", 1)[-1]
        copy = ("copy, " + size) if size in ("large", "small") else None
        one, two = median["1 thread", n], median["2 threads", n]
        cpu_ratio = cpu["2 threads", n] / cpu["1 thread", n] if cpu["1 thread", n] > 0 else float("nan")
        record = {"case": n, "one_thread_ms": one * 1e3, "two_threads_ms": two * 1e3, "two_over_one": two / one,
                  "cpu_two_over_one": cpu_ratio}
        line = f"{n:<42} {one * 1e3:11.3f} {two * 1e3:12.3f} {two / one:6.3f} {cpu_ratio:7.2f}"
        if copy and copy != n:
            record["one_over_copy"] = one / median["1 thread", copy]
            record["two_over_copy"] = two / median["1 thread", copy]
            line += f" {record['one_over_copy']:8.2f} {record['two_over_copy']:8.2f}"
        records.append(record)
        print(line)
    sequential = median["lock let go", "two calls, one after the other"]
    parallel = median["lock let go", "two calls, two caller threads"]
    print(f"PIXALOT_RELEASE_GIL=1, levels gamma 2.2 on two 48 MB arrays: one after the other "
          f"{sequential * 1e3:.1f} ms, two caller threads {parallel * 1e3:.1f} ms, ratio {parallel / sequential:.3f}")
    out = {"rounds": rounds, "load_average": load, "records": records,
           "caller_threads": {"sequential_ms": sequential * 1e3, "two_threads_ms": parallel * 1e3,
                              "ratio": parallel / sequential}}
    pathlib.Path(args.json).write_text(json.dumps(out, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
