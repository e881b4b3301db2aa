"""Benchmark of the logarithmic kernels per build: float32 and float64, short and
medium windows, ns per cell of both functions.

Run it in each build's environment (a GCC build in .venv, a clang build in
.venv-clang) and compare the lines; or time builds side by side in one process
with --against, which loads another build of the extension module (a .so file,
or a virtual environment holding one) next to the installed one and prints
each build's figure and its ratio to the installed build's.

Data: shape (5000, 100) with about 5% NaN, some zeros and negatives, as in
bench_logarithmic.py (whose figures --shape 20000x100 --windows 5,20,100,500
--dtypes float64 reproduces, timed side by side).

Usage: python bench/bench_logarithmic_compilers.py [--quick] [--against PATH]...
       [--windows 3,5,7,20] [--dtypes float32,float64] [--shape 5000x100]
"""
import argparse
import importlib.machinery
import importlib.util
import sys
import time
from pathlib import Path

import numpy as np

from common import logarithmic_data  # noqa: E402

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as installed

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from models.logarithmic_model import Instance  # noqa: E402

NAME = installed.__name__
WINDOWS = [3, 5, 7, 20]
DTYPES = [np.float32, np.float64]


def build_label(module):
    """The virtual environment (or directory) a build was loaded from."""
    path = Path(module.__file__).resolve()
    for parent in path.parents:
        if (parent / "pyvenv.cfg").exists():
            return parent.name
    return path.parent.name


def load_other(path):
    """A second build of the module, loaded from a .so file or found in a venv."""
    p = Path(path)
    if p.is_dir():
        found = sorted(p.glob("lib/python*/site-packages/" + NAME.replace(".", "/") + ".*.so"))
        if not found:
            raise SystemExit(f"no build of {NAME} under {p}")
        p = found[0]
    loader = importlib.machinery.ExtensionFileLoader(NAME, str(p))
    module_spec = importlib.util.spec_from_file_location(NAME, str(p), loader=loader)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def ns_per_cell(fns, cells, rounds=40, budget=3.0):
    """Best CPU time of each fn per cell, the fns called in turn round after
    round so that every build sees the same machine load. The calling thread's
    CPU time, not wall time: on a shared machine a call of a few milliseconds
    is often descheduled, and that time is not the build's."""
    best = [float("inf")] * len(fns)
    start = time.perf_counter()
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t0 = time.thread_time()
            fn()
            best[i] = min(best[i], time.thread_time() - t0)
        if time.perf_counter() - start > budget:
            break
    return [b / cells * 1e9 for b in best]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--against", action="append", default=[],
                    help="another build: its .so file or a virtual environment (repeatable)")
    ap.add_argument("--windows", default=",".join(map(str, WINDOWS)), help="comma-separated windows")
    ap.add_argument("--dtypes", default="float32,float64")
    ap.add_argument("--shape", default="5000x100", help="rows x columns (bench_logarithmic.py: 20000x100)")
    args = ap.parse_args()
    shape = (1000, 100) if args.quick else tuple(int(v) for v in args.shape.split("x"))
    windows = [int(w) for w in args.windows.split(",")]
    builds = [installed] + [load_other(path) for path in args.against]
    labels = [build_label(mod)[:12] for mod in builds]
    for label, mod in zip(labels, builds):
        print(f"{label:>12}: {mod.__file__}")
    base = logarithmic_data(shape)
    cells = base.size
    print(f"shape {shape}, ~5% NaN; ns per cell (lower is better); ratios: each build / {labels[0]}")
    print(f"{'dtype':<8} {'W':>4}  {'function':<9}" + "".join(f" {label:>12}" for label in labels)
          + "".join(f" {'ratio':>10}" for _ in labels[1:]))
    for dtype in args.dtypes.split(","):
        x = base.astype(dtype)
        for w in windows:
            inst = Instance(w)
            for fname, attr in (("product", "longitudinal_logarithmic_694eff_batch_reference"),
                                ("geo mean", "longitudinal_logarithmic_665270_batch_reference")):
                fns = [lambda fn=getattr(mod, attr): fn(inst, x) for mod in builds]
                figures = ns_per_cell(fns, cells)
                print(f"{dtype:<8} {w:>4}  {fname:<9}" + "".join(f" {f:>12.2f}" for f in figures)
                      + "".join(f" {f / figures[0]:>9.2f}x" for f in figures[1:]), flush=True)


if __name__ == "__main__":
    main()
