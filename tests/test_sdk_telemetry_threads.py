"""Many threads recording, snapshotting and draining one runtime at once."""
import threading

import pytest

from vantorel._sdk_telemetry import Severity, TelemetryRuntime

THREADS = 8
PER_THREAD = 5_000


@pytest.mark.parametrize("lanes, ring_capacity", [(1, 128), (4, 64), (3, 100_000)])
def test_concurrent_warn_snapshot_drain_lose_nothing(lanes, ring_capacity):
    rt = TelemetryRuntime(component="threads", lanes=lanes, ring_capacity=ring_capacity)
    sites = [
        rt.register_call_site(name=f"site.{i}", description="d", message_template="{n}",
                              value_unit="u", severity_default=Severity.WARN, file="f",
                              line=i, tag_keys=("n",))
        for i in range(THREADS)
    ]
    start = threading.Barrier(THREADS + 2)
    writers_done = threading.Event()
    drained, snapshot_errors, failures = [], [], []

    def writer(t):
        start.wait()
        try:
            for i in range(PER_THREAD):
                ident = t * PER_THREAD + i
                if rt.warn(sites[t], 1.0, epoch_ns=ident, reason="r", tags={"n": str(ident)}) is not True:
                    failures.append(ident)
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    def drainer():
        start.wait()
        while not writers_done.is_set():
            drained.extend(rt.drain_anomalies())

    def snapshotter():
        start.wait()
        while not writers_done.is_set():
            held = rt.snapshot_anomalies()
            seqs = [r.sequence for r in held]
            if seqs != sorted(seqs) or len(set(seqs)) != len(seqs):
                snapshot_errors.append(seqs)

    workers = [threading.Thread(target=writer, args=(t,)) for t in range(THREADS)]
    others = [threading.Thread(target=drainer), threading.Thread(target=snapshotter)]
    for th in workers + others:
        th.start()
    for th in workers:
        th.join()
    writers_done.set()
    for th in others:
        th.join()

    assert failures == [] and snapshot_errors == []
    held = rt.snapshot_anomalies()
    seen = [r.epoch_ns for r in drained] + [r.epoch_ns for r in held]
    assert len(seen) == len(set(seen)), "a record was handed out twice"
    assert all(r.message == str(r.epoch_ns) for r in held)
    total = THREADS * PER_THREAD
    assert len(held) + len(drained) + rt.dropped_count == total
    # Within one call site (one lane), records keep their order.
    for t in range(THREADS):
        mine = [ns for ns in seen if ns // PER_THREAD == t]
        assert mine == sorted(mine)
