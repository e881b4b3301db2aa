"""Eight threads at once: nothing lost, nothing handed out twice, the same answers as one thread.

The thread-safety of the runtime itself is tested in test_sdk_telemetry_threads.py; here the
modules are driven through their public entry points while the default object is replaced.
"""
import sys
import threading

import pytest

from hostile_objects import require

THREADS = 8
PER_THREAD = 10_000


@pytest.fixture
def busy_switching():
    """Switch threads often so that the interleavings the test hopes for actually happen."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(saved)


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for th in threads:
        th.start()
    for th in threads:
        th.join(600)
        assert not th.is_alive(), "a thread hangs"


# ---------------------------------------------------------------- default object under load

def test_default_object_loses_and_duplicates_no_record(busy_switching, monkeypatch):
    pw = require("vantorel._parity_watch", "configure_parity_watch")
    from vantorel._sdk_telemetry import TelemetryRuntime

    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    objects = [pw.configure_parity_watch()]  # its own runtime: 128 records, one lane
    start = threading.Barrier(THREADS + 1)
    writers_done = threading.Event()
    drained, failures = [], []

    def writer(t):
        start.wait()
        try:
            for i in range(PER_THREAD):
                ident = t * PER_THREAD + i
                result = pw.record_projection_mismatch(
                    data={"market_id": f"m{t}", "era_number": i}, projection={"version": t, "n": [ident]},
                    mismatches=["shape_key differs"], epoch_ns=ident)
                if result is not True:
                    failures.append((ident, result))
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    def controller():
        start.wait()
        rounds = 0
        try:
            while not writers_done.is_set():
                current = pw.default_parity_watch()
                current.snapshot_anomalies()
                drained.extend(current.drain_anomalies())
                rounds += 1
                if rounds % 25 == 0:
                    runtime = None if rounds % 50 else TelemetryRuntime(
                        component="stress", lanes=rounds % 3 + 1, ring_capacity=64)
                    objects.append(pw.configure_parity_watch(runtime))
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    writers = [lambda t=t: writer(t) for t in range(THREADS)]
    control = threading.Thread(target=controller)
    control.start()
    run_threads(writers)
    writers_done.set()
    control.join(600)

    assert failures == []
    runtimes = {id(o.runtime): o.runtime for o in objects}
    assert len(runtimes) == len(objects) > 1, "the default object was never replaced"
    held = [r for rt in runtimes.values() for r in rt.drain_anomalies()]
    dropped = sum(rt.dropped_count for rt in runtimes.values())
    seen = [r.epoch_ns for r in drained + held]
    assert len(seen) == len(set(seen)), "a record was handed out twice"
    assert len(seen) + dropped == THREADS * PER_THREAD
    for r in drained + held:
        t, i = divmod(r.epoch_ns, PER_THREAD)
        assert r.tags["market_id"] == f"m{t}" and r.tags["era_number"] == str(i)
        assert r.reason == "shape_key differs" and r.tags["reason_code"] == "shape_mismatch"


# ---------------------------------------------------------------- same answers as one thread

def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - compared, not handled
        return ("err", type(exc), str(exc))


def roster_calls():
    cr = pytest.importorskip("vantorel.cycle_roster")
    roles = [None, "", "  ", "api", " API_Server ", "mi", "strategy-mi", "Signal_IS_Only", "strategy_os",
             "signal-is-pool", "aggregations", 0, False, "signal", "STRATEGY", "signals"]
    calls = [(cr.epochs_for_process_role, (r,)) for r in roles]
    calls += [(cr.epochs_for_submission_type, (r,)) for r in roles]
    calls += [(cr._normalize_process_role, (r,)) for r in roles]
    calls += [(cr.EpochName.from_str, (v,)) for v in ("signal_is", "SIGNAL_IS", None, cr.EpochName.STRATEGY_OS)]
    calls += [(cr.valid_epochs_for_category, (c,)) for c in ("signals", "strategies", "Signals", None)]
    calls += [(cr._epoch_partition, (p,)) for p in ("signal", "strategy", "", "signal_is")]
    return calls, 300, lambda a, b: a == b


def logarithmic_calls():
    log = require("vantorel.functions.rotations.batch_references.longitudinal.logarithmic",
                  "longitudinal_logarithmic_694eff_batch_reference")
    import numpy as np
    from models.logarithmic_model import Instance, same_bits

    rng = np.random.default_rng(7)
    data = rng.lognormal(size=(400, 6)) * rng.choice([1.0, -1.0, 0.0, np.nan, np.inf], p=[.8, .1, .04, .04, .02],
                                                      size=(400, 6))
    calls = []
    for fn in (log.longitudinal_logarithmic_694eff_batch_reference,
               log.longitudinal_logarithmic_665270_batch_reference):
        for window in (1, 5, 40, 1000):
            calls.append((fn, (Instance(window), data)))
            calls.append((fn, (Instance(window), data.astype(np.float32)[::-1])))
            calls.append((fn, (Instance(window), np.nan_to_num(data, nan=0, posinf=9, neginf=-9).astype(np.int16))))

    def same(a, b):
        if a[0] == "ok" and b[0] == "ok":
            return same_bits(a[1], b[1])
        return a == b
    return calls, 10, same


@pytest.mark.parametrize("make_calls", [roster_calls, logarithmic_calls], ids=["cycle_roster", "logarithmic"])
def test_eight_threads_give_the_single_threaded_answers(make_calls, busy_switching):
    calls, repeats, same = make_calls()
    expected = [outcome(fn, *args) for fn, args in calls]
    differences = []
    start = threading.Barrier(THREADS)

    def worker(offset):
        start.wait()
        for k in range(repeats):
            for j in range(len(calls)):
                index = (j + offset + k) % len(calls)  # threads work on different calls at once
                fn, args = calls[index]
                got = outcome(fn, *args)
                if not same(got, expected[index]):
                    differences.append((index, got, expected[index]))

    run_threads([lambda o=o: worker(o) for o in range(THREADS)])
    assert differences == []
