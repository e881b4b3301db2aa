"""What the Dask recipe (examples/dask_batch_references.py) costs against one call on the
whole array, side by side in one process, on an array that fits in memory.

float64 data of shape (200000, 500) with about 5% NaN, some zeros and negatives, chunks
of 10,000 x 250 (20 MB); for W in {20, 500} prints ns per cell of one whole-array call,
the recipe on Dask's synchronous scheduler (one chunk after another: the cost of the
widened chunks and of Dask itself) and on its threaded scheduler with every core, and
the ratios. The recipe's results go by da.store into an array allocated once, as they
would go to disk, rather than being gathered into a new array. The three are timed in
turn, best of 5. Skips (exit 0) where Dask is not installed.

Usage: python bench/bench_logarithmic_dask.py [--quick]
"""
import os
import sys
import time
import types
from pathlib import Path

import numpy as np

try:
    import dask.array as da
except ImportError:
    print("dask is not installed: skipped (pip install -r requirements/dask.txt)")
    sys.exit(0)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg  # noqa: E402
from bench_logarithmic import make_data  # noqa: E402
from dask_batch_references import dask_batch_reference  # noqa: E402

QUICK = "--quick" in sys.argv
SHAPE, CHUNKS = ((20000, 100), (2000, 50)) if QUICK else ((200000, 500), (10000, 250))
WINDOWS = [20, 500]
FUNCTIONS = {
    "product": lg.longitudinal_logarithmic_694eff_batch_reference,
    "geo mean": lg.longitudinal_logarithmic_665270_batch_reference,
}


def best_interleaved(fns, repeat=5):
    """Best time of each, the runs taken in turn so that a busy machine slows all alike."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, ts in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [min(ts) for ts in times]


def main():
    data = make_data(SHAPE)
    darr = da.from_array(data, chunks=CHUNKS)
    out = np.zeros(SHAPE)
    cells = data.size
    print(f"shape {SHAPE}, chunks {CHUNKS}, {os.cpu_count()} cores; ns per cell, best of 5 taken in turn")
    print(f"{'function':>9} {'W':>4} {'one call':>9} {'dask sync':>10} {'dask threads':>13}"
          f" {'sync/one':>9} {'one/threads':>12}")
    for name, fn in FUNCTIONS.items():
        for W in WINDOWS:
            inst = types.SimpleNamespace(window=W)
            lazy = dask_batch_reference(fn, inst, darr)
            whole, sync, threads = best_interleaved([
                lambda: fn(inst, data),
                lambda: da.store(lazy, out, lock=False, scheduler="sync"),
                lambda: da.store(lazy, out, lock=False, scheduler="threads"),
            ])
            ns = [t / cells * 1e9 for t in (whole, sync, threads)]
            print(f"{name:>9} {W:>4} {ns[0]:>9.2f} {ns[1]:>10.2f} {ns[2]:>13.2f}"
                  f" {sync / whole:>9.2f} {whole / threads:>12.2f}")


if __name__ == "__main__":
    main()
