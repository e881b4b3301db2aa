"""Both logarithmic batch references over an array that Dask builds chunk by chunk and
never holds whole: by default 1,000,000 rows x 2,000 columns of daily gross returns
(16 GB of float64 in, twice that out), reduced to a summary or written to disk.

    python examples/dask_logarithmic_large.py                  # full size, reduced
    python examples/dask_logarithmic_large.py --small          # 20,000 x 200, seconds
    python examples/dask_logarithmic_large.py --rows 100000 --out /data/run1
    python examples/dask_logarithmic_large.py --scheduler tcp://scheduler-host:8786

Without --scheduler it runs on Dask's threaded scheduler in this process. With it, the
chunks go to the workers of that dask.distributed cluster (which need vantorel and NumPy
installed, and a shared file system for --out). The recipe itself is
examples/dask_batch_references.py.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from dask_batch_references import dask_batch_reference  # noqa: E402

from vantorel.functions.rotations.batch_references.longitudinal import logarithmic as lg  # noqa: E402

FUNCTIONS = {
    "product": lg.longitudinal_logarithmic_694eff_batch_reference,
    "geo_mean": lg.longitudinal_logarithmic_665270_batch_reference,
}


class Rotation:
    """The streaming side's configuration: only `window` is read."""

    def __init__(self, window):
        self.window = window


def _returns_block(seed, block_info=None):
    """One chunk of gross returns, seeded by its position, so any chunk can be rebuilt
    alone (the same grid gives the same array)."""
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    rng = np.random.default_rng([seed, r0, c0])
    shape = (r1 - r0, c1 - c0)
    x = rng.normal(1.0003, 0.01, shape)
    u = rng.random(shape)
    x[u < 0.002] = np.nan                       # trading halts
    x[(u >= 0.002) & (u < 0.0021)] = np.inf     # bad ticks
    x[(u >= 0.0021) & (u < 0.0026)] *= -1.0     # sign flips the gates refuse as current values
    return x


def make_input(rows, cols, row_chunk, col_chunk, seed=7):
    """A lazy (rows, cols) float64 array; each chunk is generated when a task needs it."""
    chunks = da.core.normalize_chunks((row_chunk, col_chunk), (rows, cols))
    return da.map_blocks(_returns_block, seed, chunks=chunks, dtype=np.float64,
                         meta=np.empty((0, 0), dtype=np.float64))


def _zarr():
    try:
        import zarr
    except ImportError:
        return None
    return zarr


def store_targets(results, out, local):
    """Where each result goes: zarr arrays when zarr is installed, else .npy files opened
    as memory maps (in this process only, so on the threaded scheduler only)."""
    out.mkdir(parents=True, exist_ok=True)
    zarr = _zarr()
    if zarr is not None:
        return [da.to_zarr(r, str(out / f"{name}.zarr"), overwrite=True, compute=False)
                for name, r in results.items()], "zarr"
    if not local:
        raise SystemExit("--out on a cluster needs zarr installed (memory maps do not travel)")
    targets = [np.lib.format.open_memmap(out / f"{name}.npy", mode="w+", dtype=np.float64, shape=r.shape)
               for name, r in results.items()]
    return [da.store(list(results.values()), targets, lock=False, compute=False)], "npy (memory map)"


def load_result(out, name):
    """A stored result, opened lazily from disk."""
    out = Path(out)
    if (out / f"{name}.zarr").exists():
        return _zarr().open(str(out / f"{name}.zarr"), mode="r")
    return np.load(out / f"{name}.npy", mmap_mode="r")


def summaries(results):
    """Per result: cells with a value, their smallest, largest and mean value."""
    todo = []
    for r in results.values():
        valued = da.isfinite(r)
        todo += [valued.sum(), da.nanmin(r), da.nanmax(r), da.nanmean(r)]
    return todo


def run(todo, scheduler, threads, progress):
    if scheduler:
        from distributed import Client, progress as distributed_progress

        with Client(scheduler) as client:
            futures = client.compute(todo)
            if progress:
                distributed_progress(futures)
                print()
            return client.gather(futures)
    with dask.config.set(scheduler="threads", num_workers=threads):
        if progress:
            from dask.diagnostics import ProgressBar

            with ProgressBar():
                return dask.compute(*todo)
        return dask.compute(*todo)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--cols", type=int, default=2_000)
    p.add_argument("--small", action="store_true", help="20,000 rows x 200 columns")
    p.add_argument("--window", type=int, default=20)
    # 20 MB chunks: on this kind of machine larger blocks cost more in fresh pages than in compute.
    p.add_argument("--row-chunk", type=int, default=10_000)
    p.add_argument("--col-chunk", type=int, default=250)
    p.add_argument("--out", type=Path, help="write both results into this directory")
    p.add_argument("--scheduler", help="address of a dask.distributed scheduler")
    p.add_argument("--threads", type=int, default=None, help="threads of the local scheduler")
    p.add_argument("--no-progress", action="store_true")
    a = p.parse_args(argv)
    if a.small:
        a.rows, a.cols, a.row_chunk, a.col_chunk = 20_000, 200, 5_000, 100

    data = make_input(a.rows, a.cols, a.row_chunk, a.col_chunk)
    rotation = Rotation(a.window)
    results = {name: dask_batch_reference(fn, rotation, data) for name, fn in FUNCTIONS.items()}
    gb = data.nbytes / 1e9
    print(f"input {a.rows:,} x {a.cols:,} float64 ({gb:.2f} GB, never held whole), "
          f"chunks {a.row_chunk:,} x {a.col_chunk:,}, window {a.window}")

    t0 = time.perf_counter()
    if a.out is not None:
        todo, fmt = store_targets(results, a.out, local=not a.scheduler)
        run(todo, a.scheduler, a.threads, not a.no_progress)
        print(f"wrote {', '.join(results)} to {a.out} as {fmt} ({2 * gb:.2f} GB)")
    else:
        values = run(summaries(results), a.scheduler, a.threads, not a.no_progress)
        for i, name in enumerate(results):
            valued, lo, hi, mean = values[4 * i:4 * i + 4]
            print(f"{name:>8}: {int(valued):,} cells with a value ({valued / data.size:.2%}), "
                  f"min {lo:.6g}, max {hi:.6g}, mean {mean:.6g}")
    seconds = time.perf_counter() - t0
    print(f"{seconds:.1f} s: {data.size / seconds / 1e6:.1f} M cells/s through both functions "
          f"({gb / seconds:.2f} GB/s of input)")


if __name__ == "__main__":
    main()
