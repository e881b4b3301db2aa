"""vantorel._parity_watch against its pure-Python model, side by side in one process.

Prints the time per call of each and the speed-up (model / native). End to end, both
sides hand the record to the same native runtime, whose `warn` (about 0.3 us) they both pay.
"""
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from models import parity_watch_model as model  # noqa: E402
from vantorel import _parity_watch as native  # noqa: E402
from vantorel._sdk_telemetry import TelemetryRuntime  # noqa: E402


def small_projection():
    return {
        "projection_version": "v3", "market_id": "NYSE", "era_number": 812,
        "shape_fields": ["lane", "tier"], "shape_key": {"lane": "L1", "tier": 2},
        "rows": 1250, "ratio": 0.3125, "complete": True, "note": None, "tags": ("a", "b"),
    }


def large_projection():
    # About 2,000 leaf values, nested three levels deep, mixed types.
    lanes = {}
    for lane in range(20):
        lanes[f"lane_{lane:02d}"] = {
            "cells": [{"id": lane * 100 + i, "value": (lane * 31 + i) / 7.0,
                       "label": f"c{i}\u00e9", "ok": i % 3 == 0} for i in range(24)],
            "summary": {"n": 24, "mean": lane / 3.0, "tier": lane % 4, "name": f"lane {lane}"},
        }
    return {"projection_version": "v9", "lanes": lanes, "shape_key": {"lane": "all"}}


def count_leaves(v):
    if isinstance(v, dict):
        return sum(count_leaves(x) for x in v.values())
    if isinstance(v, (list, tuple)):
        return sum(count_leaves(x) for x in v)
    return 1


def loops_for(fn, min_time=0.05):
    n, t = timeit.Timer(fn).autorange()
    while t < min_time:
        n *= 2
        t = timeit.Timer(fn).timeit(n)
    return n


def row(name, model_fn, native_fn, rounds=15):
    assert model_fn() == native_fn(), name
    # Interleaved rounds, best of each: the machine is shared, so the two sides
    # see the same background load.
    nm, nc = loops_for(model_fn), loops_for(native_fn)
    m = c = float("inf")
    for _ in range(rounds):
        m = min(m, timeit.Timer(model_fn).timeit(nm) / nm)
        c = min(c, timeit.Timer(native_fn).timeit(nc) / nc)
    ratio = m / c
    print(f"{name:<44} model {m * 1e6:10.2f} us   native {c * 1e6:9.2f} us   x{ratio:6.1f}")
    return ratio


def main():
    small, large = small_projection(), large_projection()
    print(f"Python {sys.version.split()[0]}; large projection: {count_leaves(large)} values")
    row("projection_hash, small (10 keys)", lambda: model.projection_hash(small),
        lambda: native.projection_hash(small))
    row("projection_hash, large (~2,000 values)", lambda: model.projection_hash(large),
        lambda: native.projection_hash(large))
    data = {"market_id": "NYSE", "era_number": 812, "lane": "L1"}
    row("_tags (small projection)",
        lambda: model._tags(data=data, projection=small, reason_code="shape_mismatch"),
        lambda: native._tags(data=data, projection=small, reason_code="shape_mismatch"))

    # End to end on the same native runtime: each side's default object wraps it.
    runtime = TelemetryRuntime(component="vantorel_sdk", lanes=1, ring_capacity=128)
    native.configure_parity_watch(runtime)
    model.configure_parity_watch(runtime)
    mismatches = ["shape_key lane differs", "rows: 1250 != 1249"]

    def rec(mod):
        return lambda: mod.record_projection_mismatch(
            data=data, projection=small, mismatches=mismatches, epoch_ns=1_700_000_000)
    row("record_projection_mismatch, end to end", rec(model), rec(native))
    print(f"runtime dropped {runtime.dropped_count} records (ring of 128)")


if __name__ == "__main__":
    main()
