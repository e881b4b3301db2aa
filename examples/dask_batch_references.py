"""The logarithmic batch references over a dask.array: arrays larger than memory,
or spread over the workers of a dask.distributed cluster.

    import dask.array as da
    from vantorel.functions.rotations.batch_references.longitudinal import logarithmic as lg
    from dask_batch_references import dask_batch_reference

    data = da.from_zarr("returns.zarr")                  # (T, N), chunked along both axes
    geo = dask_batch_reference(lg.longitudinal_logarithmic_665270_batch_reference, rotation, data)
    geo.to_zarr("geo.zarr")                              # or .compute(), da.store, a reduction

The result is a lazy float64 dask array of the same shape and chunks, equal bit for bit
to one call of the function on the whole array. Every cell of a batch reference depends
only on its own column's trailing window of W rows, so:

- columns split freely: each column chunk is computed on its own;
- time splits when 1 <= W < T: each time chunk is computed together with the W-1 rows
  just before it (taken from as many earlier chunks as needed), and those extra leading
  rows are dropped from that chunk's result. Their windows are cut short, but every row
  that is kept sees its full window, exactly as in the whole-array call. The first chunk
  has no rows before it, just like the whole array;
- a window that covers the whole history (W >= T, which includes the float windows the
  functions accept) has no time split: each column chunk is computed over all T rows, so
  choose column chunks narrow enough that T rows of them fit in a worker's memory;
- W <= 0 makes every window empty (all NaN) and splits like W = 1.

Only a window of type `int` (or `bool`) gets the time split. The functions compute a row's
start bound in the window's own arithmetic, so a NumPy integer can wrap or overflow at a
row number that a time chunk never reaches, and a float bound is refused only past row
W - 1; those windows take the column split, which reproduces the whole-array call, errors
included. Pass `int(window)` to get the time split.

`instance.window` is read once, here, as one call reads it once; each chunk's call gets a
plain `types.SimpleNamespace(window=W)` carrying that value, which pickles to any worker.

Floating-point warnings (overflow, say) are issued in the thread or process that computes
the chunk, under that thread's NumPy error settings (`np.errstate` does not follow a task
into a worker); the stored results do not depend on them.

Dask is optional for the package: nothing under `vantorel` imports it. This file is a
recipe to copy or import (the tests import it from examples/).
"""
from __future__ import annotations

import functools
import types

import dask.array as da
import numpy as np

__all__ = ["dask_batch_reference", "time_depth"]

_META = np.empty((0, 0), dtype=np.float64)


def time_depth(window, rows):
    """Rows of history each time chunk needs before its first row, or None when the
    window covers the whole history (or is not a plain int) and time must not split."""
    if type(window) is not int and type(window) is not bool:
        return None
    if window >= rows:
        return None
    return max(window - 1, 0)


def dask_batch_reference(fn, instance, darr):
    """fn(instance, data) evaluated chunk by chunk over the 2-D dask array `darr`.

    `fn` is one of the two batch references (or anything with their signature and
    per-column trailing-window semantics). Returns a lazy float64 dask array with the
    chunks of `darr` (all of T in one chunk along time when time cannot split)."""
    rows, _ = darr.shape  # two dimensions, as the functions require
    window = instance.window
    call = functools.partial(fn, types.SimpleNamespace(window=window))
    depth = time_depth(window, rows)
    if depth is None:
        whole = darr.rechunk({0: -1})
        return whole.map_blocks(call, dtype=np.float64, meta=_META)
    bounds = np.cumsum((0,) + darr.chunks[0]).tolist()
    pieces = []
    for start, stop in zip(bounds[:-1], bounds[1:]):
        first = max(0, start - depth)
        widened = darr[first:stop].rechunk({0: -1})
        result = widened.map_blocks(call, dtype=np.float64, meta=_META)
        pieces.append(result[start - first:] if start > first else result)
    return da.concatenate(pieces, axis=0) if len(pieces) > 1 else pieces[0]
