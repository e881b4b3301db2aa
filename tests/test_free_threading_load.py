"""Shared objects under parallel load: what matters without a GIL (3.14t), run on every build.

test_sdk_telemetry_threads.py drives one runtime directly and test_concurrency.py the module
default under replacement; here the pieces those leave out: one parity-watch object shared by
writers and a drainer, runtimes made on many threads at once, the default built while another
thread configures one, and caller data changed while it is walked.
"""
import itertools
import threading

import pytest

from hostile_objects import require
from test_concurrency import THREADS, busy_switching, run_threads  # noqa: F401 - fixture

pw = require("vantorel._parity_watch", "configure_parity_watch")
from vantorel._sdk_telemetry import Severity, TelemetryRuntime  # noqa: E402


def site_of(rt, name="s"):
    return rt.register_call_site(name=name, description="d", message_template="{market_id}", value_unit="u",
                                 severity_default=Severity.WARN, file="f", line=1, tag_keys=("market_id",))


# ---------------------------------------------------------------- one shared telemetry object

@pytest.mark.parametrize("lanes, ring_capacity", [(1, 64), (2, 50_000)])
def test_shared_object_stores_or_counts_every_record_once(lanes, ring_capacity, busy_switching):
    per_thread = 2_000
    runtime = TelemetryRuntime(component="load", lanes=lanes, ring_capacity=ring_capacity)
    telemetry = pw.SimulationContractSdkTelemetry(runtime)
    start = threading.Barrier(THREADS + 1)
    done = threading.Event()
    drained, failures = [], []

    def writer(t):
        start.wait()
        try:
            for i in range(per_thread):
                ident = t * per_thread + i
                ok = telemetry.record_projection_mismatch(
                    data={"market_id": f"m{ident}"}, projection={"version": t}, mismatches=["missing x"],
                    epoch_ns=ident)
                if ok is not True:
                    failures.append((ident, ok))
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    def drainer():
        start.wait()
        while not done.is_set():
            drained.extend(telemetry.drain_anomalies())

    drain = threading.Thread(target=drainer)
    drain.start()
    run_threads([lambda t=t: writer(t) for t in range(THREADS)])
    done.set()
    drain.join(600)

    assert failures == []
    held = telemetry.drain_anomalies()
    seen = [r.epoch_ns for r in drained + held]
    assert len(seen) == len(set(seen)), "a record was handed out twice"
    assert len(seen) + telemetry.dropped_count == THREADS * per_thread
    assert all(r.tags["market_id"] == f"m{r.epoch_ns}" for r in drained + held)
    sequences = [r.sequence for r in drained + held]
    assert len(set(sequences)) == len(sequences), "two records share a sequence number"


def test_runtimes_made_at_once_refuse_each_others_call_sites():
    """Each runtime tells its own handles apart, however many threads make runtimes at once."""
    rounds = 150
    made = [[None] * THREADS for _ in range(rounds)]
    start = threading.Barrier(THREADS)

    def maker(t):
        for k in range(rounds):
            start.wait()
            rt = TelemetryRuntime(component=f"r{t}", lanes=1, ring_capacity=4)
            made[k][t] = (rt, site_of(rt))

    run_threads([lambda t=t: maker(t) for t in range(THREADS)])
    accepted = []
    for k, pairs in enumerate(made):
        for (rt, _), (other, site) in itertools.permutations(pairs, 2):
            try:
                rt.warn(site, 1.0, epoch_ns=0, reason="r", tags={})
                accepted.append((k, other.component, rt.component))
            except ValueError:
                pass
    assert accepted == []


# ---------------------------------------------------------------- the default against configure

def test_a_default_built_meanwhile_never_replaces_the_configured_object(monkeypatch, busy_switching):
    rounds, readers, per_round = 60, THREADS - 1, 20
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    start = threading.Barrier(THREADS)
    configured = [None] * rounds
    seen = [[] for _ in range(rounds)]  # every object default_parity_watch returned, per round
    failures = []

    def reader(t):
        try:
            for k in range(rounds):
                start.wait()
                for i in range(per_round):
                    obj = pw.default_parity_watch()
                    seen[k].append(obj)
                    ident = (k * readers + t) * per_round + i
                    if obj.record_projection_mismatch(data={"market_id": "m"}, projection={"version": 1},
                                                      mismatches=["missing"], epoch_ns=ident) is not True:
                        failures.append(ident)
                start.wait()
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)
            start.abort()

    def configurer():
        try:
            for k in range(rounds):
                start.wait()
                configured[k] = pw.configure_parity_watch(TelemetryRuntime(component="c", lanes=1,
                                                                           ring_capacity=4096))
                start.wait()
                assert pw.default_parity_watch() is configured[k], f"round {k}: the configured object was replaced"
                pw._DEFAULT_TELEMETRY = None  # the next round builds a default again
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)
            start.abort()

    run_threads([configurer] + [lambda t=t: reader(t) for t in range(readers)])
    assert failures == []
    for k in range(rounds):
        built = {id(o): o for o in seen[k] if o is not configured[k]}
        assert len(built) <= 1, f"round {k}: {len(built)} defaults were handed out"
        objects = list(built.values()) + [configured[k]]
        stored = [r.epoch_ns for o in objects for r in o.drain_anomalies()]
        assert len(stored) == len(set(stored)) == readers * per_round - sum(o.dropped_count for o in objects)


# ---------------------------------------------------------------- caller data changed while walked

LIST_TOP = 6


def reachable_states():
    """Every projection the mutator below passes through (each container on its own)."""
    payloads = (["a", 1.5], ["b", {"c": [2]}])
    for payload, n, extra in itertools.product(payloads, range(LIST_TOP + 1), (False, True)):
        meta = {"a": "1", "b": "2"} if extra else {"a": "1"}
        yield {"version": 3, "payload": payload, "items": [float(j) for j in range(n)], "meta": meta}


def test_walks_racing_a_mutator_give_the_answer_of_some_state(busy_switching):
    from models import parity_watch_model as model

    hashes = {model.projection_hash(p) for p in reachable_states()}
    copies = [model._json_safe(p) for p in reachable_states()]
    changed = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}
    items = [0.0]
    meta = {"a": "1"}
    projection = {"version": 3, "payload": ["a", 1.5], "items": items, "meta": meta}
    mismatches = []
    reasons = {model.projection_mismatch_reason(["market_id x", "missing y", "shape_key z"][:n]) for n in range(4)}
    done = threading.Event()
    problems = []

    def mutator():
        grow = True
        for step in itertools.count():
            if done.is_set():
                return
            # Fresh objects each time: the ones they replace are freed at once.
            projection["payload"] = ["a", 1.5] if step % 2 else ["b", {"c": [2]}]
            if grow:
                items.append(float(len(items)))
            else:
                items.pop()
            if len(items) in (0, LIST_TOP):
                grow = not grow
            if items:
                items[0] = float(0)
            if "b" in meta:
                del meta["b"]
            else:
                meta["b"] = "2"
            if len(mismatches) == 3:
                mismatches.clear()
            else:
                mismatches.append(["market_id x", "missing y", "shape_key z"][len(mismatches)])

    def walker():
        for _ in range(1_500):
            for fn, allowed in ((pw.projection_hash, hashes.__contains__), (pw._json_safe, copies.__contains__)):
                try:
                    got = fn(projection)
                    if not allowed(got):
                        problems.append((fn.__name__, got))
                except RuntimeError as exc:
                    if str(exc) not in changed:
                        problems.append((fn.__name__, repr(exc)))
            reason = pw.projection_mismatch_reason(mismatches)
            if reason not in reasons:
                problems.append(("projection_mismatch_reason", reason))

    change = threading.Thread(target=mutator)
    change.start()
    try:
        run_threads([walker] * (THREADS - 1))
    finally:
        done.set()
        change.join(600)
    assert problems == []
