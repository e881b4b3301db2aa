"""The Dask recipe (examples/dask_batch_references.py): the batch references chunked
along time and columns give, bit for bit, what one call on the whole array gives, on
Dask's threaded scheduler and on a LocalCluster of two worker processes.

Skipped where Dask is not installed (it is an optional dependency)."""
import logging
import os
import subprocess
import sys
import threading
import types
from pathlib import Path

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from dask_batch_references import dask_batch_reference  # noqa: E402
from logarithmic_compare import NATIVE  # noqa: E402
from interpreter import PYTHON

T, N, CHUNK = 64, 7, 8
CHUNKINGS = {
    "regular": (CHUNK, 3),
    "irregular": ((5, 8, 1, 20, 30), (2, 1, 4)),
}
# W = 1, a chunk's length, one past it, several chunks, T - 1, the whole history and
# beyond it, empty windows, bools, and the windows that take the column split only.
INT_WINDOWS = [-3, 0, 1, 2, CHUNK, CHUNK + 1, 21, T - 1, T, T + 1, 10**30, -(10**30), True, False]
OTHER_WINDOWS = [float(T), 1e300, np.int64(CHUNK), np.int64(T + 5)]
TIMEOUT = 120  # seconds for any one computation; a hang fails the test instead of the leg


def edge_data(dtype, rows=T, cols=N, seed=3):
    """Values around 1 (products of 64 of them stay finite) with NaN gates, infinities,
    signed zeros and negatives on both sides of every CHUNK-row edge."""
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        x = rng.uniform(0.5, 2.0, (rows, cols))
        x[rng.random(x.shape) < 0.12] *= -1.0
    else:
        x = rng.integers(-3, 4, (rows, cols))
    edges = np.arange(CHUNK, rows, CHUNK)
    before, after = edges - 1, edges
    x[before, 3 % cols] = -x[before, 3 % cols]          # negative currents (gated) ...
    x[after, 3 % cols] = np.abs(x[after, 3 % cols]) + 1  # ... in the windows after the edge
    x[before, 2 % cols] = 0                              # a past zero just across the edge
    if np.dtype(dtype).kind == "f":
        x[before, 0] = np.nan                            # NaN current and NaN in the next windows
        x[after, 1 % cols] = np.inf
        x[before, 1 % cols] = -np.inf
        x[after, 2 % cols] = -0.0
        x[CHUNK:3 * CHUNK + 2, 4 % cols] = np.nan        # windows with no finite value, across edges
        x[rng.random(x.shape) < 0.05] = np.nan
    return x.astype(dtype)


def same_as_whole(fn, window, data, got):
    expected = fn(types.SimpleNamespace(window=window), data)
    assert got.dtype == np.float64 and got.shape == expected.shape, window
    # int64 view: NaN payloads and the sign of zero count too.
    np.testing.assert_array_equal(got.view(np.int64), expected.view(np.int64), err_msg=f"window={window!r}")
    np.testing.assert_array_equal(got, expected)


def threaded(arr):
    """arr.compute() on the threaded scheduler, bounded in time: a hang fails the test."""
    box = {}

    def work():
        try:
            box["value"] = arr.compute(scheduler="threads")
        except BaseException as exc:  # noqa: BLE001 - re-raised in the test's thread
            box["error"] = exc

    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    worker.join(TIMEOUT)
    if worker.is_alive():
        pytest.fail(f"no result within {TIMEOUT} s")
    if "error" in box:
        raise box["error"]
    return box["value"]


@pytest.mark.parametrize("dtype", [np.float64, np.int64])
@pytest.mark.parametrize("chunking", sorted(CHUNKINGS))
@pytest.mark.parametrize("key", sorted(NATIVE))
def test_threaded_equals_one_call(key, chunking, dtype):
    fn, data = NATIVE[key], edge_data(dtype)
    darr = da.from_array(data, chunks=CHUNKINGS[chunking])
    for window in INT_WINDOWS + OTHER_WINDOWS:
        got = threaded(dask_batch_reference(fn, types.SimpleNamespace(window=window), darr))
        same_as_whole(fn, window, data, got)


def test_chunks_hold_their_window_and_no_more():
    """The point of the time split: no chunk's call sees more than its own rows plus
    W-1 rows of history, and results keep the input's chunks; a window covering the
    whole history sees all T rows of only its column chunk."""
    data = edge_data(np.float64)
    darr = da.from_array(data, chunks=CHUNKINGS["irregular"])
    seen, lock = [], threading.Lock()

    def recording(instance, block):
        with lock:
            seen.append(block.shape)
        return NATIVE["665270"](instance, block)

    for window in (1, CHUNK, 21, T - 1):
        seen.clear()
        result = dask_batch_reference(recording, types.SimpleNamespace(window=window), darr)
        assert result.chunks == darr.chunks
        same_as_whole(NATIVE["665270"], window, data, threaded(result))
        starts = np.cumsum((0,) + darr.chunks[0][:-1])
        expected = [(rows + min(int(start), window - 1), cols)
                    for rows, start in zip(darr.chunks[0], starts) for cols in darr.chunks[1]]
        assert sorted(seen) == sorted(expected), window
    for window in (T, 10**9, float(T)):
        seen.clear()
        threaded(dask_batch_reference(recording, types.SimpleNamespace(window=window), darr))
        assert sorted(seen) == sorted((T, c) for c in darr.chunks[1])


def test_errors_and_empty_shapes_as_one_call():
    data = edge_data(np.float64)
    darr = da.from_array(data, chunks=CHUNKINGS["regular"])
    for fn in NATIVE.values():
        # A float window shorter than the history: the slice refuses the float bound.
        with pytest.raises(TypeError) as whole:
            fn(types.SimpleNamespace(window=2.5), data)
        lazy = dask_batch_reference(fn, types.SimpleNamespace(window=2.5), darr)
        with pytest.raises(TypeError) as chunked:
            threaded(lazy)
        assert str(chunked.value) == str(whole.value)
        # The window is read when the graph is built, as the call reads it before any cell.
        with pytest.raises(AttributeError):
            dask_batch_reference(fn, object(), darr)
        for shape in ((0, 3), (5, 0), (0, 0)):
            empty = np.ones(shape)
            for window in (-1, 1, 3, 10):
                got = threaded(dask_batch_reference(fn, types.SimpleNamespace(window=window),
                                                    da.from_array(empty, chunks=(2, 2))))
                same_as_whole(fn, window, empty, got)


def test_example_script_small_run_stores_the_whole_call(tmp_path):
    """The example writes both results to disk chunk by chunk; what it stored equals one
    call on the same input held whole."""
    script = EXAMPLES / "dask_logarithmic_large.py"
    args = ["--rows", "3000", "--cols", "40", "--row-chunk", "700", "--col-chunk", "16",
            "--window", "25", "--out", str(tmp_path), "--no-progress"]
    done = subprocess.run([*PYTHON, str(script), *args], capture_output=True, text=True,
                          timeout=TIMEOUT, env={**os.environ, "PYTHONPATH": str(EXAMPLES)})
    assert done.returncode == 0, done.stderr
    import dask_logarithmic_large as example

    data = example.make_input(3000, 40, 700, 16).compute(scheduler="threads")
    for name, key in (("product", "694eff"), ("geo_mean", "665270")):
        stored = example.load_result(tmp_path, name)
        same_as_whole(NATIVE[key], 25, data, np.asarray(stored))


# ---------------------------------------------------------------- two worker processes


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    import dask

    # No sampling profiler: the tests need none, and its thread samples this process's
    # frames until the cluster's event loop is gone.
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, worker_dashboard_address=None, silence_logs=logging.CRITICAL,
        )
    try:
        with distributed.Client(cluster, timeout=TIMEOUT) as c:
            c.wait_for_workers(2, timeout=TIMEOUT)
            yield c
    finally:
        cluster.close(timeout=TIMEOUT)


def on_cluster(client, arr):
    return client.compute(arr).result(timeout=TIMEOUT)


@pytest.mark.parametrize("dtype", [np.float64, np.int64])
@pytest.mark.parametrize("key", sorted(NATIVE))
def test_cluster_equals_one_call(client, key, dtype):
    fn, data = NATIVE[key], edge_data(dtype)
    darr = da.from_array(data, chunks=CHUNKINGS["regular"])
    for window in (1, CHUNK, 21, T + 1, float(T)):
        got = on_cluster(client, dask_batch_reference(fn, types.SimpleNamespace(window=window), darr))
        same_as_whole(fn, window, data, got)


def test_cluster_runs_in_both_workers_and_reraises(client):
    """The chunks really leave this process, and an error in a worker reaches the caller
    as the same exception."""
    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    data = edge_data(np.float64)
    darr = da.from_array(data, chunks=CHUNKINGS["regular"])
    fn = NATIVE["694eff"]
    with pytest.raises(TypeError) as whole:
        fn(types.SimpleNamespace(window=2.5), data)
    with pytest.raises(TypeError) as remote:
        on_cluster(client, dask_batch_reference(fn, types.SimpleNamespace(window=2.5), darr))
    assert str(remote.value) == str(whole.value)
