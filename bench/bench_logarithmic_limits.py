"""How close the logarithmic batch references run to the limits of one core,
as ratios measured side by side in one process.

float64 data of shape (20000, 100), about 5% NaN, a few zeros and negatives
(the same data as bench_logarithmic.py). Prints, per ratio, the two times it
divides and the ratio itself:
  - geometric mean over product at W=5 and W=20 (what the logarithms, the
    sums and the exponentials cost beyond the product's own window work);
  - geometric mean over bottleneck.move_mean at W=20 (an O(1) running mean,
    for scale: it does not give these numbers);
  - Fortran order over C order for both functions at W=20;
  - int64 product over float64 product at W=20;
and, for context, one pass that reads the input and writes an output of the
same size (np.copyto), per cell.

Usage: python bench/bench_logarithmic_limits.py [--quick]
"""
import sys
import time

import numpy as np

from common import logarithmic_data  # noqa: E402

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg

try:
    import bottleneck
except ImportError:
    bottleneck = None

QUICK = "--quick" in sys.argv
SHAPE = (2000, 100) if QUICK else (20000, 100)
PRODUCT = lg.longitudinal_logarithmic_694eff_batch_reference
GEO_MEAN = lg.longitudinal_logarithmic_665270_batch_reference


class Instance:
    def __init__(self, window):
        self.window = window


def ns_per_cell(fn, cells, repeat=15, budget=3.0):
    times, start = [], time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return min(times) / cells * 1e9


def line(label, num, den):
    print(f"{label:<46} {num:8.2f} {den:8.2f} {num / den:7.2f}")


def main():
    data = logarithmic_data(SHAPE)
    fortran = np.asfortranarray(data)
    ints = np.random.default_rng(1).integers(-3, 4, SHAPE).astype(np.int64)
    cells = data.size
    t = {}
    for w in (5, 20):
        t["product", w] = ns_per_cell(lambda: PRODUCT(Instance(w), data), cells)
        t["geo", w] = ns_per_cell(lambda: GEO_MEAN(Instance(w), data), cells)
    t["product F", 20] = ns_per_cell(lambda: PRODUCT(Instance(20), fortran), cells)
    t["geo F", 20] = ns_per_cell(lambda: GEO_MEAN(Instance(20), fortran), cells)
    t["int64 product", 20] = ns_per_cell(lambda: PRODUCT(Instance(20), ints), cells)
    out = np.empty_like(data)
    copy = ns_per_cell(lambda: np.copyto(out, data), cells)

    print(f"logarithmic batch references, float64 {SHAPE}, ns per cell")
    print(f"{'ratio':<46} {'numer':>8} {'denom':>8} {'ratio':>7}")
    line("geometric mean / product, W=5", t["geo", 5], t["product", 5])
    line("geometric mean / product, W=20", t["geo", 20], t["product", 20])
    if bottleneck is not None:
        mm = ns_per_cell(lambda: bottleneck.move_mean(data, 20, min_count=1, axis=0), cells)
        line("geometric mean / bottleneck.move_mean, W=20", t["geo", 20], mm)
    else:
        print("bottleneck not installed: move_mean ratio skipped")
    line("product, Fortran order / C order, W=20", t["product F", 20], t["product", 20])
    line("geometric mean, Fortran order / C order, W=20", t["geo F", 20], t["geo", 20])
    line("int64 product / float64 product, W=20", t["int64 product", 20], t["product", 20])
    print(f"{'one pass of np.copyto (read + write), ns per cell':<46} {copy:8.2f}")


if __name__ == "__main__":
    main()
