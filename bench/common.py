"""Shared timing helpers for the benchmarks: best-of-N per-call times, side by side."""
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))


def per_call_ns(fn, *args, repeat=7, min_time=0.05, catch=None):
    """Best per-call time of fn(*args) in nanoseconds (the call is compiled
    inline into timeit's loop, so no wrapper function is timed with it)."""
    names = {"fn": fn, **{f"a{i}": a for i, a in enumerate(args)}}
    call = "fn(" + ", ".join(f"a{i}" for i in range(len(args))) + ")"
    if catch is not None:
        names["E"] = catch
        call = f"try:\n    {call}\nexcept E:\n    pass"
    timer = timeit.Timer(call, globals=names)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2) or 1)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def row(label, native_ns, model_ns, width=44, extra=""):
    ratio = model_ns / native_ns
    print(f"{label:<{width}} {native_ns:10.1f} {model_ns:10.1f} {ratio:9.1f}x {extra}".rstrip())
    return ratio


def header(title, width=44):
    print(f"\n{title}")
    print(f"{'call':<{width}} {'native ns':>10} {'model ns':>10} {'speed-up':>10}")


def logarithmic_data(shape, seed=0):
    """The logarithmic benchmarks' float64 data: lognormal magnitudes, about 5% NaN,
    1% negatives and 0.2% zeros."""
    import numpy as np

    rng = np.random.default_rng(seed)
    x = rng.lognormal(0.0, 0.5, shape)
    x[rng.random(shape) < 0.05] = np.nan
    x[rng.random(shape) < 0.01] *= -1
    x[rng.random(shape) < 0.002] = 0.0
    return x
