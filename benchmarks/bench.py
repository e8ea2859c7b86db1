"""Times pixalot against plain NumPy and against a bare memory pass over the same bytes.

    python benchmarks/bench.py [--quick] [--json PATH]

For every operation, size and memory layout it times, in the same process and on the same
input: the pixalot call; the straightforward NumPy version of the same float32 maths; and a
memory pass over the same bytes (a copy for operations that return an image, a sum for
gray_or_color). color_levels is also held against the C library's powf alone, compiled at
run time from benchmarks/powf_loop.c when a C compiler is around. Each figure is the median
of several repeats after one warm-up call. A table goes to stdout and the same records go to
a JSON file (default benchmarks/results.json).

The pixalot and NumPy outputs of every case are compared too (max |difference|, or whether
the two answers agree), so that a ratio is never quoted for two different computations.
"""

from __future__ import annotations

import os

# Before NumPy loads: a multi-threaded BLAS or NumPy would make the ratios meaningless
# against pixalot, which runs on one thread.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse
import ctypes
import gc
import json
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import pixalot

HERE = pathlib.Path(__file__).resolve().parent
F32 = np.float32

FULL_SIZES = [(64, 64, 3), (512, 512, 3), (2048, 2048, 3), (4096, 4096)]
QUICK_SIZES = [(64, 64, 3), (512, 512, 3)]
# gray_or_color needs three channels, so its largest case keeps them.
GRAY_FULL_SIZES = [(64, 64, 3), (512, 512, 3), (2048, 2048, 3), (4096, 4096, 3)]

LEVELS = dict(in_low=0.05, in_high=0.95, out_low=0.0, out_high=1.0)
STRIPES = dict(shape_sin=40, alpha=0.25)
GRAY_MIN = 0.01


# ---------------------------------------------------------------------------------------
# NumPy versions of the same maths, float32 at every step.

def levels_clamped(x, in_low, in_high, out_low, out_high):
    lo, span = F32(in_low), F32(in_high) - F32(in_low)
    olo, ospan = F32(out_low), F32(out_high) - F32(out_low)
    return np.clip(((x - lo) / span) * ospan + olo, F32(0), F32(1))


def numpy_levels(x, in_low, in_high, out_low, out_high, gamma):
    return np.power(levels_clamped(x, in_low, in_high, out_low, out_high), F32(gamma))


def _int16_offsets(n, bias):
    # float32 product, truncated toward zero and saturated to int16, as the C cast chain does.
    o = np.trunc(np.arange(n, dtype=F32) * F32(bias))
    return np.clip(o, -32768, 32767).astype(np.int32)


def numpy_stripes(x, shape_sin, alpha, vertical, bias):
    s = int(shape_sin)
    t = np.arange(s, dtype=F32)
    table = np.sin(t * F32(3.14) / (F32(s) * F32(0.5))) * F32(alpha)
    h, w = x.shape[0], x.shape[1]
    if vertical:
        idx = (np.arange(w, dtype=np.int32)[None, :] - _int16_offsets(h, bias)[:, None]) % s
    else:
        idx = (_int16_offsets(w, bias)[None, :] - np.arange(h, dtype=np.int32)[:, None]) % s
    wave = table[idx]
    if x.ndim == 3:
        wave = wave[:, :, None]
    out = x + wave
    return np.clip(out, F32(0), F32(1), out=out)


def numpy_gray(x, tolerance):
    means = [x[:, :, c].mean(dtype=np.float64) for c in range(3)]
    return (abs(means[0] - means[1]) <= tolerance
            and abs(means[0] - means[2]) <= tolerance
            and abs(means[1] - means[2]) <= tolerance)


# ---------------------------------------------------------------------------------------
# Timing.

class Budget:
    def __init__(self, quick: bool):
        # Seconds of rounds per table row; a slow row still gets min_samples rounds.
        self.seconds = 0.08 if quick else 1.0
        self.min_samples = 3 if quick else 7
        self.max_samples = 5 if quick else 41
        # Tiny calls are looped so perf_counter's granularity and the loop itself vanish.
        self.min_batch_seconds = 2e-4 if quick else 1e-3


def measure(fns, budget: Budget):
    """Times several calls side by side: one warm-up each, then rounds in which every call
    takes one sample in turn, so a change in background load hits all of them alike and
    leaves their ratios standing. Returns, per call, (median seconds per call, samples,
    calls per sample, warm-up result)."""
    results, inner = [], []
    for fn in fns:
        start = time.perf_counter()
        results.append(fn())
        warm = max(time.perf_counter() - start, 1e-7)
        inner.append(max(1, int(budget.min_batch_seconds / warm)))
    round_seconds = 0.0
    for fn, count in zip(fns, inner, strict=True):
        start = time.perf_counter()
        for _ in range(count):
            fn()
        round_seconds += time.perf_counter() - start
    samples = int(budget.seconds / max(round_seconds, 1e-7))
    samples = max(budget.min_samples, min(budget.max_samples, samples))
    times = [[] for _ in fns]
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(samples):
            for fn, count, bucket in zip(fns, inner, times, strict=True):
                start = time.perf_counter()
                for _ in range(count):
                    fn()
                bucket.append((time.perf_counter() - start) / count)
    finally:
        if was_enabled:
            gc.enable()
    return [(statistics.median(bucket), samples, count, result)
            for bucket, count, result in zip(times, inner, results, strict=True)]


# ---------------------------------------------------------------------------------------
# The C library's powf, alone.

def load_powf_loop():
    """Compiles benchmarks/powf_loop.c into a temp dir; None (and why) when that can't be done."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not compiler:
        return None, "no C compiler found"
    tmp = tempfile.mkdtemp(prefix="pixalot-bench-")
    lib_path = os.path.join(tmp, "powf_loop.so")
    command = [compiler, "-O2", "-ffp-contract=off", "-shared", "-fPIC",
               str(HERE / "powf_loop.c"), "-o", lib_path, "-lm"]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
        lib = ctypes.CDLL(lib_path)
    except (OSError, subprocess.CalledProcessError) as exc:
        detail = getattr(exc, "stderr", "") or str(exc)
        return None, f"compiling powf_loop.c failed: {detail.strip()}"
    finally:
        # The loaded library stays mapped after its file is gone.
        shutil.rmtree(tmp, ignore_errors=True)
    lib.powf_loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_float]
    lib.powf_loop.restype = None
    return lib.powf_loop, " ".join(["cc" if c == compiler else c for c in command[:5]])


def powf_alone(powf_loop, values, gamma):
    """A timed call of powf over exactly the values pixalot hands to powf (clamped levels).

    Each call writes into a fresh array, as any function that returns its results must:
    the first touch of new pages is part of the cost of a result, on both sides.
    """
    x = np.ascontiguousarray(values, dtype=F32).reshape(-1)
    n, g, px = x.size, float(gamma), x.ctypes.data

    def call():
        y = np.empty_like(x)
        powf_loop(px, y.ctypes.data, n, g)
        return y

    return call, x


# ---------------------------------------------------------------------------------------
# Inputs.

def size_label(shape):
    return "x".join(str(d) for d in shape)


def layouts_for(shape, layout_size):
    if shape == layout_size:
        return ["C", "F", "neg"]
    return ["C"]


def with_layout(base, layout):
    if layout == "C":
        return base
    if layout == "F":
        return np.asfortranarray(base)
    if layout == "neg":
        return base[::-1, ::-1]
    raise ValueError(layout)


def uniform(rng, shape):
    return rng.random(shape, dtype=F32)


def eight_bit(rng, shape):
    return rng.integers(0, 256, size=shape, dtype=np.uint8).astype(F32) / F32(255)


def eight_bit_via_double(rng, shape):
    """k/255 computed in float64, then rounded to float32 (what `codes / 255` gives)."""
    return (rng.integers(0, 256, size=shape, dtype=np.uint8) / 255.0).astype(F32)


def sixteen_bit(rng, shape):
    """Random 16-bit codes: every one of the 65,536 values, in no order a cache likes."""
    return rng.integers(0, 65536, size=shape, dtype=np.uint16).astype(F32) / F32(65535)


def smooth_sixteen_bit(rng, shape):
    """A smooth 16-bit picture: slow waves across rows and columns, one gain per channel."""
    rows = np.sin(np.arange(shape[0]) / 170.0)[:, None]
    columns = np.cos(np.arange(shape[1]) / 300.0)[None, :]
    picture = 0.5 + 0.25 * columns + 0.2 * rows
    if len(shape) == 3:
        picture = picture[:, :, None] * np.linspace(1.0, 0.8, shape[2])
    return np.round(picture * 65535).astype(np.uint16).astype(F32) / F32(65535)


def forward(x):
    """The same bytes, walked in increasing address order (reversed axes flipped back)."""
    flips = tuple(slice(None, None, -1) if stride < 0 else slice(None) for stride in x.strides)
    return x[flips]


def memory_pass_copy(x):
    # order="K" on the forward view streams the bytes in memory order: NumPy copies a
    # reversed view element by element, which would flatter pixalot's ratio, and a plain
    # copy() of the Fortran array would transpose.
    y = forward(x)
    return lambda: y.copy(order="K")


def memory_pass_sum(x):
    y = forward(x)
    return lambda: y.sum()


# ---------------------------------------------------------------------------------------
# Cases.

def cases(sizes, gray_sizes, layout_size):
    """Yields (operation, case, shape, data maker, pixalot call, numpy call, memory pass, gamma)."""
    for shape in sizes:
        for name, maker, gamma in (("gamma 2.2, 8-bit source", eight_bit, 2.2),
                                   ("gamma 2.2, 8-bit via f64", eight_bit_via_double, 2.2),
                                   ("gamma 2.2, 16-bit source", sixteen_bit, 2.2),
                                   ("gamma 2.2, smooth 16-bit", smooth_sixteen_bit, 2.2),
                                   ("gamma 2.2, distinct", uniform, 2.2),
                                   ("gamma 1.0", uniform, 1.0),
                                   ("gamma 0.0", uniform, 0.0)):
            args = (LEVELS["in_low"], LEVELS["in_high"], LEVELS["out_low"], LEVELS["out_high"], gamma)
            yield ("color_levels", name, shape, maker,
                   lambda x, a=args: pixalot.color_levels(x, *a),
                   lambda x, a=args: numpy_levels(x, *a),
                   memory_pass_copy, gamma)
    for shape in sizes:
        for vertical in (True, False):
            for bias in (0.0, 0.5):
                name = f"{'vertical' if vertical else 'horizontal'}, bias {bias}"
                args = (STRIPES["shape_sin"], STRIPES["alpha"], vertical, bias)
                yield ("sin_patern", name, shape, uniform,
                       lambda x, a=args: pixalot.sin_patern(x, *a),
                       lambda x, a=args: numpy_stripes(x, *a),
                       memory_pass_copy, None)
    for shape in gray_sizes:
        yield ("gray_or_color", f"min {GRAY_MIN}", shape, uniform,
               lambda x: pixalot.gray_or_color(x, GRAY_MIN),
               lambda x: numpy_gray(x, GRAY_MIN),
               memory_pass_sum, None)


def compare(mine, reference):
    if isinstance(mine, (bool, np.bool_)) or isinstance(reference, (bool, np.bool_)):
        return "same" if bool(mine) == bool(reference) else "DIFFERENT"
    mine, reference = np.asarray(mine), np.asarray(reference)
    if mine.shape != reference.shape or mine.dtype != reference.dtype:
        return f"DIFFERENT shape/dtype {mine.shape} {mine.dtype}"
    diff = np.abs(mine.astype(np.float64) - reference.astype(np.float64))
    return f"{float(diff.max()):.1e}" if diff.size else "0"


def run_case(op, case, shape, layout, x, px_call, np_call, mem_call, gamma, powf_loop, budget):
    record = {"operation": op, "case": case, "size": size_label(shape), "shape": list(shape),
              "layout": layout, "pixels": shape[0] * shape[1], "values": int(np.prod(shape))}
    names = ["pixalot", "numpy", "memory_pass"]
    calls = [lambda: px_call(x), lambda: np_call(x), mem_call(x)]
    try:
        px_call(x)
    except Exception as exc:  # a layout the module refuses still leaves the rest of the table
        record["error"] = f"{type(exc).__name__}: {exc}"
        del names[0], calls[0]
    if powf_loop is not None and gamma not in (None, 0.0, 1.0):
        # powf gets the clamped values, as many as pixalot's output has.
        powf_call, *_keep = powf_alone(
            powf_loop,
            levels_clamped(x, LEVELS["in_low"], LEVELS["in_high"], LEVELS["out_low"], LEVELS["out_high"]),
            gamma)
        names.append("powf_alone")
        calls.append(powf_call)
    measured = dict(zip(names, measure(calls, budget), strict=True))
    record["samples"] = {name: [m[1], m[2]] for name, m in measured.items()}
    seconds = {name: m[0] for name, m in measured.items()}
    for name in names:
        record[f"{name}_ms"] = seconds[name] * 1e3
    record.setdefault("pixalot_ms", None)
    px_s = seconds.get("pixalot")
    if px_s is not None:
        record["pixalot_over_numpy"] = px_s / seconds["numpy"]
        record["pixalot_over_memory_pass"] = px_s / seconds["memory_pass"]
        if "powf_alone" in seconds:
            record["pixalot_over_powf_alone"] = px_s / seconds["powf_alone"]
        record["pixalot_ns_per_pixel"] = px_s * 1e9 / record["pixels"]
        record["pixalot_ns_per_value"] = px_s * 1e9 / record["values"]
        record["agreement"] = compare(measured["pixalot"][3], measured["numpy"][3])
    return record


# ---------------------------------------------------------------------------------------
# Per-call overhead.

def overhead(quick):
    """Tiny calls on three float32 values, side by side with numpy.add on three: in every
    round each call runs one batch in turn, so a change in background load hits all alike,
    and the fastest batch of each stands for it (the slower ones were interrupted)."""
    tiny_rgb = np.full((1, 1, 3), 0.5, dtype=F32)
    three = np.ones(3, dtype=F32)
    calls = [
        ("pixalot.gray_or_color, 1x1x3", lambda: pixalot.gray_or_color(tiny_rgb, GRAY_MIN)),
        ("pixalot.color_levels, 1x1x3, gamma 2.2",
         lambda: pixalot.color_levels(tiny_rgb, 0.05, 0.95, 0.0, 1.0, 2.2)),
        ("pixalot.sin_patern, 1x1x3, table of 40",
         lambda: pixalot.sin_patern(tiny_rgb, 40, 0.25, True, 0.0)),
        ("numpy.add(a, a), 3 float32", lambda: np.add(three, three)),
    ]
    batch = 200 if quick else 500
    rounds = 20 if quick else 400
    samples = [[] for _ in calls]
    for _ in range(rounds):
        for (_, fn), taken in zip(calls, samples, strict=True):
            start = time.perf_counter()
            for _ in range(batch):
                fn()
            taken.append((time.perf_counter() - start) / batch)
    add_min = min(samples[-1])
    rows = []
    for (label, _), taken in zip(calls, samples, strict=True):
        rows.append({"call": label, "ns_per_call_median": statistics.median(taken) * 1e9,
                     "ns_per_call_min": min(taken) * 1e9, "over_numpy_add": min(taken) / add_min,
                     "calls": batch, "repeats": rounds})
    return rows


# ---------------------------------------------------------------------------------------
# Output.

COLUMNS = [
    ("operation", 13, "operation", "s"),
    ("case", 25, "case", "s"),
    ("size", 12, "size", "s"),
    ("layout", 6, "layout", "s"),
    ("pixalot_ms", 10, "pixalot ms", ".3f"),
    ("numpy_ms", 10, "numpy ms", ".3f"),
    ("memory_pass_ms", 9, "mem ms", ".3f"),
    ("pixalot_over_numpy", 7, "px/np", ".3f"),
    ("pixalot_over_memory_pass", 7, "px/mem", ".2f"),
    ("powf_alone_ms", 9, "powf ms", ".3f"),
    ("pixalot_over_powf_alone", 8, "px/powf", ".3f"),
    ("pixalot_ns_per_pixel", 8, "ns/pixel", ".2f"),
    ("pixalot_ns_per_value", 8, "ns/value", ".2f"),
    ("agreement", 9, "max|d|", "s"),
]


def format_row(record):
    cells = []
    for key, width, _, spec in COLUMNS:
        value = record.get(key)
        if value is None:
            text = "-"
        elif spec == "s":
            text = str(value)
        else:
            text = format(value, spec)
        cells.append(text.ljust(width) if spec == "s" else text.rjust(width))
    line = " ".join(cells)
    if "error" in record:
        line += f"  pixalot error: {record['error']}"
    return line


def header():
    cells = [(title.ljust(w) if spec == "s" else title.rjust(w)) for _, w, title, spec in COLUMNS]
    line = " ".join(cells)
    return line + "\n" + "-" * len(line)


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_info():
    try:
        from importlib.metadata import version
        pixalot_version = version("pixalot")
    except Exception:
        pixalot_version = "unknown"
    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = None
    return {
        "platform": platform.platform(),
        "machine": platform.machine(),
        "cpu_model": cpu_model(),
        "cpu_count": os.cpu_count(),
        "cpus_usable": affinity,
        "python": sys.version.split()[0],
        "python_implementation": platform.python_implementation(),
        "numpy": np.__version__,
        "pixalot": pixalot_version,
        "pixalot_file": getattr(pixalot, "__file__", None),
        "threads_env": {k: os.environ[k] for k in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS",
                                                    "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS")},
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: small sizes only, few repeats")
    parser.add_argument("--json", default=str(HERE / "results.json"),
                        help="where the results go (default: benchmarks/results.json)")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    budget = Budget(args.quick)
    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    gray_sizes = QUICK_SIZES if args.quick else GRAY_FULL_SIZES
    # The quick run still goes through the Fortran and reversed-view paths, on its largest size.
    layout_size = (512, 512, 3) if args.quick else (2048, 2048, 3)
    powf_loop, powf_note = load_powf_loop()
    info = machine_info()

    notes = [
        "median of repeats after one warm-up; pixalot, numpy, mem (and powf) take turns within "
        "each round; tiny calls are looped so one sample lasts >= "
        f"{budget.min_batch_seconds * 1e3:g} ms",
        "numpy: the same float32 maths written with NumPy; mem: a pass over the input's bytes in "
        "memory order (copy(order='K') for operations that return an image, sum() for "
        "gray_or_color; the reversed view is walked forwards)",
        f"layouts: C for every size; F = np.asfortranarray, neg = x[::-1, ::-1], for "
        f"{size_label(layout_size)} only",
        "largest size: 4096x4096 grey (2-D) for color_levels and sin_patern; gray_or_color "
        "needs 3 channels, so it runs on 4096x4096x3" if not args.quick else
        "quick run: 64x64x3 and 512x512x3 only, few repeats",
        f"color_levels: in {LEVELS['in_low']}..{LEVELS['in_high']} -> out "
        f"{LEVELS['out_low']}..{LEVELS['out_high']}; '8-bit source' = k/255 in float32, "
        "'via f64' = k/255 in float64 rounded to float32, '16-bit source' = random k/65535, "
        "'smooth 16-bit' = slow waves in k/65535, 'distinct' = uniform random float32",
        f"sin_patern: shape_sin {STRIPES['shape_sin']}, alpha {STRIPES['alpha']}",
        ("powf: the C library's powf alone over the same clamped values (" + powf_note + ")")
        if powf_loop is not None else f"powf column skipped: {powf_note}",
        "ns/pixel and ns/value: pixalot's time over H*W and over H*W*C",
        "max|d|: largest |pixalot - numpy| (or whether the booleans agree)",
    ]

    print(f"pixalot benchmark{' (quick)' if args.quick else ''}: {info['cpu_model']}, "
          f"{info['cpus_usable']} usable CPUs, Python {info['python']}, NumPy {info['numpy']}")
    for note in notes:
        print(f"  - {note}")
    print()
    print(header())

    rng = np.random.default_rng(20240607)
    records = []
    previous_op = None
    data_cache = {}
    for op, case, shape, maker, px_call, np_call, mem_call, gamma in cases(sizes, gray_sizes, layout_size):
        if previous_op is not None and op != previous_op:
            print()
        previous_op = op
        key = (maker.__name__, shape)
        if key not in data_cache:
            data_cache.clear()  # the 4096 images are large: keep one input alive at a time
            data_cache[key] = maker(rng, shape)
        base = data_cache[key]
        for layout in layouts_for(shape, layout_size):
            x = with_layout(base, layout)
            record = run_case(op, case, shape, layout, x, px_call, np_call, mem_call, gamma,
                              powf_loop, budget)
            records.append(record)
            print(format_row(record), flush=True)
            del x
    data_cache.clear()

    print()
    print("per-call overhead (ns per call, side by side; x numpy.add by the fastest batches)")
    calls = overhead(args.quick)
    for row in calls:
        print(f"  {row['call']:<42} median {row['ns_per_call_median']:9.1f}   "
              f"min {row['ns_per_call_min']:9.1f}   x add {row['over_numpy_add']:5.2f}   "
              f"({row['repeats']} x {row['calls']} calls)")

    elapsed = time.perf_counter() - started
    out = {
        "quick": args.quick,
        "elapsed_seconds": elapsed,
        "machine": info,
        "notes": notes,
        "records": records,
        "overhead": calls,
    }
    path = pathlib.Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(out, indent=2) + "\n", encoding="utf-8")
    print()
    print(f"whole run: {elapsed:.1f} s; results written to {path}")
    mismatches = [r for r in records if str(r.get("agreement", "")).startswith("DIFFERENT") or "error" in r]
    if mismatches:
        print(f"warning: {len(mismatches)} case(s) where pixalot failed or disagreed with NumPy")
    return 0


if __name__ == "__main__":
    sys.exit(main())
