"""Benchmark of the logarithmic batch references, side by side in one process.

float64 data of shape (20000, 100) with about 5% NaN, some zeros and negatives;
for W in {5, 20, 100, 500} prints ns per cell of: both native functions, the
per-cell pure-Python model (on a smaller slice, normalised per cell), NumPy's
vectorised peers (sliding_window_view with nanprod, and with the sum of logs),
and, for context only, bottleneck.move_mean and pandas rolling().mean() (O(1)
running aggregates that do not give these numbers). Writes a plot of ns per cell
against W to build/bench/logarithmic_ns_per_cell.png when matplotlib is available;
--update-readme-plot also replaces the copy docs/benchmarks.md shows,
bench/logarithmic_ns_per_cell.png.

Usage: python bench/bench_logarithmic.py [--quick] [--update-readme-plot]
"""
import math
import sys
import time
from pathlib import Path

import numpy as np

from common import logarithmic_data  # noqa: E402
from numpy.lib.stride_tricks import sliding_window_view

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg  # noqa: E402
from models.logarithmic_model import FUNCTIONS, Instance  # noqa: E402

try:
    import bottleneck
except ImportError:
    bottleneck = None
try:
    import pandas
except ImportError:
    pandas = None

QUICK = "--quick" in sys.argv
SHAPE = (2000, 100) if QUICK else (20000, 100)
WINDOWS = [5, 20, 100, 500]
MODEL_SLICE = (200, 5)


def best_ns_per_cell(fn, cells, repeat=15, budget=3.0):
    times = []
    start = time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget and times:
            break
    return min(times) / cells * 1e9


def peer_product(x, w):
    padded = np.concatenate([np.full((w - 1, x.shape[1]), np.nan), x])
    return np.nanprod(sliding_window_view(padded, w, axis=0), axis=-1)


def peer_geo_mean(x, w):
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.log(np.abs(x))
        padded = np.concatenate([np.full((w - 1, x.shape[1]), np.nan), logs])
        win = sliding_window_view(padded, w, axis=0)
        return np.exp(np.nansum(win, axis=-1) / np.isfinite(win).sum(axis=-1))


def main():
    x = logarithmic_data(SHAPE)
    small = np.ascontiguousarray(x[: MODEL_SLICE[0], : MODEL_SLICE[1]])
    cells = x.size
    rows = []
    series = {}
    header = f"{'W':>5} {'694eff':>9} {'665270':>9} {'model-p':>10} {'model-g':>10} {'np-prod':>9} {'np-logs':>9} {'bn-mean':>9} {'pd-mean':>9}"
    print(f"shape {SHAPE}, float64, ~5% NaN; ns per cell (lower is better)")
    print(header)
    for w in WINDOWS:
        inst = Instance(w)
        r = {
            "694eff": best_ns_per_cell(lambda: lg.longitudinal_logarithmic_694eff_batch_reference(inst, x), cells),
            "665270": best_ns_per_cell(lambda: lg.longitudinal_logarithmic_665270_batch_reference(inst, x), cells),
            "model-p": best_ns_per_cell(lambda: FUNCTIONS["694eff"](inst, small), small.size, repeat=1),
            "model-g": best_ns_per_cell(lambda: FUNCTIONS["665270"](inst, small), small.size, repeat=1),
            "np-prod": best_ns_per_cell(lambda: peer_product(x, w), cells, repeat=3),
            "np-logs": best_ns_per_cell(lambda: peer_geo_mean(x, w), cells, repeat=3),
            "bn-mean": math.nan,
            "pd-mean": math.nan,
        }
        if bottleneck is not None:
            r["bn-mean"] = best_ns_per_cell(lambda: bottleneck.move_mean(x, w, min_count=1, axis=0), cells)
        if pandas is not None:
            frame = pandas.DataFrame(x)
            r["pd-mean"] = best_ns_per_cell(lambda: frame.rolling(w, min_periods=1).mean(), cells)
        rows.append((w, r))
        for k, v in r.items():
            series.setdefault(k, []).append(v)
        print(f"{w:>5} " + " ".join(f"{r[k]:>{len(k) if len(k) > 9 else 9}.2f}" if k.startswith("model") is False
                                    else f"{r[k]:>10.0f}" for k in r))
    print()
    print("ratios (how many times faster the native function is):")
    for w, r in rows:
        parts = [
            f"product vs model {r['model-p'] / r['694eff']:.0f}x",
            f"geo-mean vs model {r['model-g'] / r['665270']:.0f}x",
            f"product vs np-prod {r['np-prod'] / r['694eff']:.1f}x",
            f"geo-mean vs np-logs {r['np-logs'] / r['665270']:.1f}x",
        ]
        if not math.isnan(r["bn-mean"]):
            parts.append(f"product / bottleneck {r['694eff'] / r['bn-mean']:.2f}")
        print(f"  W={w:<4} " + ", ".join(parts))
    plot(series)


def plot(series):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    labels = {
        "694eff": "694eff (product)", "665270": "665270 (geo mean)", "model-p": "model, product",
        "model-g": "model, geo mean", "np-prod": "NumPy sliding nanprod", "np-logs": "NumPy sliding sum of logs",
        "bn-mean": "bottleneck.move_mean", "pd-mean": "pandas rolling mean",
    }
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for k, ys in series.items():
        if all(math.isnan(y) for y in ys):
            continue
        ax.plot(WINDOWS, ys, marker="o", label=labels[k], linewidth=2.5 if k in ("694eff", "665270") else 1.2)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("window W (rows)")
    ax.set_ylabel("ns per cell")
    ax.set_title(f"logarithmic batch references, float64 {SHAPE}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    here = Path(__file__).resolve().parent
    out = here.parent / "build" / "bench" / "logarithmic_ns_per_cell.png"
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    print(f"plot written to {out}")
    if "--update-readme-plot" in sys.argv:
        fig.savefig(here / "logarithmic_ns_per_cell.png", dpi=110)
        print("the copy docs/benchmarks.md shows replaced too")


if __name__ == "__main__":
    main()
