"""Two threads against one: the interpreter-bound calls, native and model, side by side.

For each workload, the same total work runs twice: one thread doing both halves one after
the other, then two threads each doing one half at once, each on its own data, which the
thread that uses it makes (as the one thread does for both halves): on a free-threaded build
an object's count is cheap only for the thread that made it. The figure
is the throughput of the two threads over that of the one (2.0 at most on two idle cores;
about 1.0 where a lock, the GIL included, lets only one of them run). Each side's figure is
the median of several runs, the native and the model measured in the same run.

On a GIL build the figures are about 1.0 for both sides by construction; the point is the
free-threaded build (3.14t), where `sys._is_gil_enabled()` must stay False with every module
imported.

Usage: python bench/bench_free_threading.py [--quick]
"""
import statistics
import sys
import sysconfig
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from bench_parity_watch import large_projection, small_projection  # noqa: E402
from models import cycle_roster_model as roster_model  # noqa: E402
from models import parity_watch_model as parity_model  # noqa: E402

import vantorel.cycle_roster as roster  # noqa: E402
from vantorel import _parity_watch as parity  # noqa: E402
from vantorel._sdk_telemetry import TelemetryRuntime  # noqa: E402

QUICK = "--quick" in sys.argv
RUNS = 3 if QUICK else 7
TARGET_S = 0.08 if QUICK else 0.25  # one thread's half of the work, roughly


def own_data(value):
    """A copy of `value` whose every object is new, made by this run: the literals of a
    function body are one object shared by every caller (an int or float constant of
    the code, counted by each thread that holds it), which a thread's own data is not.
    Interned strings and the small ints stay shared, as they are immortal (no counts)."""
    if isinstance(value, dict):
        return {k: own_data(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(own_data(v) for v in value)
    if isinstance(value, float):
        return float(repr(value))
    if isinstance(value, int) and not isinstance(value, bool):
        return int(str(value))
    return value


def hashing(mod, projection):
    return lambda: mod.projection_hash(projection)


def roster_calls(mod):
    from_str, by_category, by_role = mod.EpochName.from_str, mod.valid_epochs_for_category, mod.epochs_for_process_role

    def calls():
        from_str("signal_os")
        by_category("signals")
        by_role("api")

    return calls


def recording(mod, k):
    data = {"market_id": f"M{k}", "era_number": 800 + k, "lane": "L1"}
    projection = own_data(small_projection())
    mismatches = ["shape_key lane differs", "rows: 1250 != 1249"]
    return lambda: mod.record_projection_mismatch(
        data=data, projection=projection, mismatches=mismatches, epoch_ns=1_700_000_000)


def loop(fn, n):
    for _ in range(n):
        fn()


def calls_for(fn):
    n = 16
    while True:
        t0 = time.perf_counter()
        loop(fn, n)
        if time.perf_counter() - t0 > TARGET_S / 4:
            return n * 4
        n *= 2


def one_run(make, n):
    """(one thread, both halves in turn) seconds, (two threads at once) seconds."""
    fns = [make(0), make(1)]
    t0 = time.perf_counter()
    for fn in fns:
        loop(fn, n)
    alone = time.perf_counter() - t0
    del fns
    start = threading.Barrier(3)

    def worker(k):
        fn = make(k)
        start.wait()
        loop(fn, n)

    threads = [threading.Thread(target=worker, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return alone, time.perf_counter() - t0


def scaling(make):
    """Median two-thread speed-up of the workload `make(k)` (k: the thread's own data)."""
    n = calls_for(make(0))
    ratios = []
    for _ in range(RUNS):
        alone, together = one_run(make, n)
        ratios.append(alone / together)
    return statistics.median(ratios), n


def main():
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    free = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
    print(f"Python {sys.version.split()[0]} ({'free-threaded' if free else 'GIL'} build, "
          f"GIL {'on' if gil else 'off'}); two threads' throughput over one thread's")
    runtime = TelemetryRuntime(component="vantorel_sdk", lanes=4, ring_capacity=4096)
    parity.configure_parity_watch(runtime)
    parity_model.configure_parity_watch(runtime)
    workloads = [
        ("projection_hash, small", lambda mod, k: hashing(mod, own_data(small_projection()))),
        ("projection_hash, ~2,000 values", lambda mod, k: hashing(mod, own_data(large_projection()))),
        ("projection_hash, small, literals shared", lambda mod, k: hashing(mod, small_projection())),
        ("roster: from_str + by category + by role", lambda mod, k: roster_calls(mod)),
        ("record_projection_mismatch", recording),
    ]
    models = {"projection_hash, small": parity_model, "projection_hash, ~2,000 values": parity_model,
              "projection_hash, small, literals shared": parity_model, "record_projection_mismatch": parity_model}
    print(f"{'workload':<44} {'native':>8} {'model':>8}")
    for label, make in workloads:
        native_mod = roster if label.startswith("roster") else parity
        model_mod = roster_model if label.startswith("roster") else models[label]
        native_ratio, _ = scaling(lambda k: make(native_mod, k))
        model_ratio, _ = scaling(lambda k: make(model_mod, k))
        print(f"{label:<44} {native_ratio:7.2f}x {model_ratio:7.2f}x")
    print(f"runtime dropped {runtime.dropped_count} records")
    if free and sys._is_gil_enabled():
        print("the GIL was switched on by an import: the figures are not free-threaded ones")


if __name__ == "__main__":
    main()
