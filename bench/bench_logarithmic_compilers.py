"""Benchmark of the logarithmic kernels per build: float32 and float64, short and
medium windows, ns per cell of both functions.

Run it in each build's environment (a GCC build in .venv, a clang build in
.venv-clang) and compare the lines; or time two builds side by side in one
process with --against, which loads a second build of the extension module
(a .so file, or a virtual environment holding one) next to the installed one
and prints each figure of both and their ratio (other / installed).

Data: shape (5000, 100) with about 5% NaN, some zeros and negatives.

Usage: python bench/bench_logarithmic_compilers.py [--quick] [--against PATH]
"""
import argparse
import importlib.machinery
import importlib.util
import sys
import time
from pathlib import Path

import numpy as np

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as installed

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from models.logarithmic_model import Instance  # noqa: E402

NAME = installed.__name__
WINDOWS = [3, 5, 7, 20]
DTYPES = [np.float32, np.float64]


def make_data(shape, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.lognormal(0.0, 0.5, shape)
    x[rng.random(shape) < 0.05] = np.nan
    x[rng.random(shape) < 0.01] *= -1
    x[rng.random(shape) < 0.002] = 0.0
    return x


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
    spec = importlib.util.spec_from_file_location(NAME, str(p), loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def ns_per_cell(fn, cells, repeat=7, budget=1.5):
    times = []
    start = time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return min(times) / cells * 1e9


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--against", help="another build: its .so file or a virtual environment")
    args = ap.parse_args()
    shape = (1000, 100) if args.quick else (5000, 100)
    builds = [("installed", installed)]
    if args.against:
        builds.append(("other", load_other(args.against)))
    for label, mod in builds:
        print(f"{label}: {build_label(mod)}  ({mod.__file__})")
    base = make_data(shape)
    cells = base.size
    print(f"shape {shape}, ~5% NaN; ns per cell (lower is better)")
    head = f"{'dtype':<8} {'W':>3}  {'function':<10}" + "".join(f" {label:>10}" for label, _ in builds)
    if len(builds) == 2:
        head += f" {'other/inst':>11}"
    print(head)
    for dtype in DTYPES:
        x = base.astype(dtype)
        for w in WINDOWS:
            inst = Instance(w)
            for fname, attr in (("product", "longitudinal_logarithmic_694eff_batch_reference"),
                                ("geo mean", "longitudinal_logarithmic_665270_batch_reference")):
                figures = []
                for _, mod in builds:
                    fn = getattr(mod, attr)
                    figures.append(ns_per_cell(lambda: fn(inst, x), cells))
                line = f"{np.dtype(dtype).name:<8} {w:>3}  {fname:<10}" + "".join(f" {f:>10.2f}" for f in figures)
                if len(figures) == 2:
                    line += f" {figures[1] / figures[0]:>10.2f}x"
                print(line, flush=True)


if __name__ == "__main__":
    main()
