"""The telemetry runtime: construction, call sites, records, rings, bad arguments."""
import enum
import gc
import math
import sys
import tracemalloc
import weakref

import pytest

from vantorel import _sdk_telemetry as st
from vantorel._sdk_telemetry import AnomalyRecord, CallSite, Severity, TelemetryRuntime

TEMPLATE = "mismatch reason={reason_code} market={market_id}"


def runtime(lanes=1, ring_capacity=8, component="comp"):
    return TelemetryRuntime(component=component, lanes=lanes, ring_capacity=ring_capacity)


def register(rt, name="site.a", template=TEMPLATE, severity=Severity.WARN, tag_keys=("reason_code",)):
    return rt.register_call_site(
        name=name, description="desc", message_template=template, value_unit="units",
        severity_default=severity, file="/src/mod.py", line=47, tag_keys=tag_keys,
    )


def warn(rt, site, epoch_ns=1, reason="why", tags=None, **kw):
    tags = {"reason_code": "rc", "market_id": "m1"} if tags is None else tags
    return rt.warn(site, 1.0, epoch_ns=epoch_ns, reason=reason, tags=tags, **kw)


def fnv1a_lane(name, lanes):
    h = 14695981039346656037
    for ch in name:
        for b in ord(ch).to_bytes(4, "little"):
            h = ((h ^ b) * 1099511628211) % 2**64
    return h % lanes


# ---- module surface --------------------------------------------------------

def test_module_surface():
    assert st.__doc__.startswith("In-process telemetry runtime")
    assert st.__all__ == ["AnomalyRecord", "CallSite", "Severity", "TelemetryRuntime"]
    assert issubclass(Severity, enum.IntEnum)
    assert [m.name for m in Severity] == ["DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"]
    assert Severity.WARN == 30 and Severity(30) is Severity.WARN
    for cls in (Severity, CallSite, AnomalyRecord, TelemetryRuntime):
        assert cls.__module__ == "vantorel._sdk_telemetry"
    for method in ("register_call_site", "warn", "snapshot_anomalies", "drain_anomalies"):
        assert getattr(TelemetryRuntime, method).__doc__


@pytest.mark.parametrize("cls", [CallSite, AnomalyRecord])
def test_handles_and_records_are_made_only_by_the_runtime(cls):
    with pytest.raises(TypeError):
        cls()


# ---- construction ----------------------------------------------------------

class Index:
    def __index__(self):
        return 3


def test_construction_keeps_its_settings_and_is_truthy_when_empty():
    rt = TelemetryRuntime(component="vantorel_sdk", lanes=Index(), ring_capacity=128)
    assert (rt.component, rt.lanes, rt.ring_capacity, rt.dropped_count) == ("vantorel_sdk", 3, 128, 0)
    assert bool(rt) is True  # an empty runtime must not look absent to its callers
    assert repr(rt) == "TelemetryRuntime(component='vantorel_sdk', lanes=3, ring_capacity=128)"
    for attr in ("component", "lanes", "ring_capacity", "dropped_count"):
        with pytest.raises(AttributeError):
            setattr(rt, attr, 1)


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        (dict(component=1, lanes=1, ring_capacity=1), TypeError, "component must be str, not int"),
        (dict(component="c", lanes=True, ring_capacity=1), TypeError, "lanes must be an int, not bool"),
        (dict(component="c", lanes=1.0, ring_capacity=1), TypeError, "lanes must be an int, not float"),
        (dict(component="c", lanes="1", ring_capacity=1), TypeError, "lanes must be an int, not str"),
        (dict(component="c", lanes=1, ring_capacity=False), TypeError, "ring_capacity must be an int"),
        (dict(component="c", lanes=0, ring_capacity=1), ValueError, "lanes must be a positive int, got 0"),
        (dict(component="c", lanes=-2**70, ring_capacity=1), ValueError, "lanes must be a positive int"),
        (dict(component="c", lanes=4097, ring_capacity=1), ValueError, "lanes must be at most 4096"),
        (dict(component="c", lanes=1, ring_capacity=0), ValueError, "ring_capacity must be a positive int"),
        (dict(component="c", lanes=1, ring_capacity=-5), ValueError, "ring_capacity must be a positive int"),
        (dict(component="c", lanes=1, ring_capacity=2**70), OverflowError, "ring_capacity is too large"),
        (dict(component="c", lanes=1), TypeError,
         "TelemetryRuntime() missing 1 required keyword-only argument: 'ring_capacity'"),
        (dict(), TypeError, "missing 3 required keyword-only arguments: 'component', 'lanes', and 'ring_capacity'"),
        (dict(component="c", lanes=1, ring_capacity=1, extra=1), TypeError,
         "TelemetryRuntime() got an unexpected keyword argument 'extra'"),
    ],
)
def test_construction_refuses_bad_arguments(kwargs, exc, text):
    with pytest.raises(exc) as info:
        TelemetryRuntime(**kwargs)
    assert text in str(info.value)


def test_construction_is_keyword_only():
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 3 were given"):
        TelemetryRuntime("c", 1, 1)


# ---- call sites ------------------------------------------------------------

def test_registration_returns_an_immutable_handle():
    class Text(str):
        pass

    rt = runtime(lanes=5)
    site = rt.register_call_site(
        name=Text("site.a"), description="d", message_template="t", value_unit="u",
        severity_default=40, file="f.py", line=47, tag_keys=["a", Text("b")],
    )
    assert (site.name, site.description, site.message_template, site.value_unit) == ("site.a", "d", "t", "u")
    assert site.severity_default is Severity.ERROR
    assert (site.file, site.line, site.tag_keys) == ("f.py", 47, ("a", "b"))
    assert type(site.name) is str and all(type(k) is str for k in site.tag_keys)
    assert site.lane == fnv1a_lane("site.a", 5)
    for attr in ("name", "line", "tag_keys", "lane", "severity_default"):
        with pytest.raises(AttributeError):
            setattr(site, attr, None)
    with pytest.raises(AttributeError):
        site.other = 1
    assert "site.a" in repr(site)


def test_a_name_may_be_registered_again():
    rt = runtime(lanes=7)
    first, second = register(rt), register(rt)
    assert first is not second and first.lane == second.lane
    assert warn(rt, first) is True and warn(rt, second) is True
    assert [r.call_site for r in rt.snapshot_anomalies()] == ["site.a", "site.a"]


@pytest.mark.parametrize(
    "change, exc, text",
    [
        (dict(name=1), TypeError, "name must be str, not int"),
        (dict(description=None), TypeError, "description must be str"),
        (dict(message_template=b"x"), TypeError, "message_template must be str, not bytes"),
        (dict(value_unit=1.0), TypeError, "value_unit must be str"),
        (dict(file=None), TypeError, "file must be str, not NoneType"),
        (dict(severity_default=99), ValueError, "99 is not a valid Severity"),
        (dict(line=-1), ValueError, "line must be a non-negative int, got -1"),
        (dict(line=True), TypeError, "line must be an int, not bool"),
        (dict(line="47"), TypeError, "line must be an int, not str"),
        (dict(tag_keys="abc"), TypeError, "tag_keys must be an iterable of str, not a single str"),
        (dict(tag_keys=["a", 1]), TypeError, "tag_keys items must be str, not int"),
        (dict(tag_keys=5), TypeError, "not iterable"),
        (dict(colour="red"), TypeError, "got an unexpected keyword argument 'colour'"),
    ],
)
def test_registration_refuses_bad_arguments(change, exc, text):
    kwargs = dict(name="n", description="d", message_template="t", value_unit="u",
                  severity_default=Severity.WARN, file="f", line=1, tag_keys=())
    kwargs.update(change)
    with pytest.raises(exc) as info:
        runtime().register_call_site(**kwargs)
    assert text in str(info.value)


def test_registration_is_keyword_only_and_complete():
    rt = runtime()
    with pytest.raises(TypeError, match=r"register_call_site\(\) takes 0 positional arguments but 1 was given"):
        rt.register_call_site("n")
    with pytest.raises(TypeError, match=r"missing 7 required keyword-only arguments: 'description', "):
        rt.register_call_site(name="n")


# ---- warn and its records ----------------------------------------------------

def test_warn_builds_one_record_from_its_arguments():
    rt = runtime(component="vantorel_sdk")
    site = register(rt)
    tags = {"reason_code": "shape_mismatch", "market_id": "m1"}
    assert rt.warn(site, 2, epoch_ns=123, reason="a; b", tags=tags, severity=Severity.ERROR) is True
    (record,) = rt.snapshot_anomalies()
    assert type(record) is AnomalyRecord
    assert (record.component, record.call_site, record.value, record.epoch_ns) == ("vantorel_sdk", "site.a", 2.0, 123)
    assert type(record.value) is float and type(record.epoch_ns) is int
    assert (record.reason, record.severity) == ("a; b", Severity.ERROR)
    assert record.message == "mismatch reason=shape_mismatch market=m1"
    assert record.tags == tags
    assert "message='mismatch reason=shape_mismatch market=m1'" in repr(record)
    assert repr(record).startswith("AnomalyRecord(component='vantorel_sdk', call_site='site.a'")


@pytest.mark.parametrize(
    "template, message",
    [
        ("{a}-{b}", "1-2"),
        ("{c} and {a}", "{c} and 1"),       # unknown placeholders stay as written
        ("{{a}}", "{1}"),                   # no escapes: the inner {a} is a placeholder
        ("{a", "{a"),
        ("}{a}{", "}1{"),
        ("{a{b}", "{a2"),
        ("{a!r} {a:>5} {0} {}", "{a!r} {a:>5} {0} {}"),
        ("", ""),
        ("no braces", "no braces"),
        ("{ä} \U0001f600{a}\ud800", "é \U0001f6001\ud800"),
    ],
)
def test_message_fills_only_tag_placeholders(template, message):
    rt = runtime()
    site = register(rt, template=template)
    warn(rt, site, tags={"a": "1", "b": "2", "ä": "é"})
    assert rt.snapshot_anomalies()[0].message == message


def test_record_keeps_its_own_copy_of_the_tags():
    class Text(str):
        pass

    rt = runtime()
    site = register(rt)
    tags = {Text("reason_code"): Text("rc"), "market_id": "m"}
    warn(rt, site, tags=tags)
    tags["market_id"] = "changed"
    record = rt.snapshot_anomalies()[0]
    assert record.tags == {"reason_code": "rc", "market_id": "m"}
    assert all(type(k) is str and type(v) is str for k, v in record.tags.items())
    record.tags["market_id"] = "mutated"
    assert record.tags["market_id"] == "m" and record.tags is not record.tags
    with pytest.raises(AttributeError):
        record.tags = {}


def test_severity_defaults_to_the_call_site_and_is_coerced():
    rt = runtime()
    site = register(rt, severity=Severity.INFO)
    warn(rt, site)
    warn(rt, site, severity=None)
    warn(rt, site, severity=50)
    assert [r.severity for r in rt.snapshot_anomalies()] == [Severity.INFO, Severity.INFO, Severity.CRITICAL]
    assert all(type(r.severity) is Severity for r in rt.snapshot_anomalies())


class Nanos(int):
    def __index__(self):
        raise AssertionError("the digits are read directly")


def test_epoch_ns_accepts_ints_in_64_bits():
    rt = runtime()
    site = register(rt)
    for ns in (0, -5, 2**63 - 1, Nanos(7)):
        warn(rt, site, epoch_ns=ns)
    assert [r.epoch_ns for r in rt.snapshot_anomalies()] == [0, -5, 2**63 - 1, 7]


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason="r", tags=[("a", "b")]), TypeError, "tags must be a dict, not list"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason="r", tags=None), TypeError, "tags must be a dict, not NoneType"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason="r", tags={1: "a"}), TypeError, "tags keys must be str, not int"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason="r", tags={"a": 1}), TypeError, "tags values must be str, not int"),
        (lambda rt, s: rt.warn(s, "x", epoch_ns=1, reason="r", tags={}), TypeError, "must be real number"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1.5, reason="r", tags={}), TypeError, "epoch_ns must be an int, not float"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=True, reason="r", tags={}), TypeError, "epoch_ns must be an int, not bool"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns="7", reason="r", tags={}), TypeError, "epoch_ns must be an int, not str"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=2**63, reason="r", tags={}), OverflowError, "epoch_ns does not fit in 64 bits"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason=None, tags={}), TypeError, "reason must be str, not NoneType"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, reason="r", tags={}, severity=7), ValueError, "7 is not a valid Severity"),
        (lambda rt, s: rt.warn("site.a", 1.0, epoch_ns=1, reason="r", tags={}), TypeError,
         "site must be a CallSite returned by register_call_site, not str"),
        (lambda rt, s: rt.warn(register(runtime()), 1.0, epoch_ns=1, reason="r", tags={}), ValueError,
         "call site 'site.a' was registered with another TelemetryRuntime"),
        (lambda rt, s: rt.warn(s, 1.0, 1, "r", {}), TypeError, "warn() takes 2 positional arguments but 5 were given"),
        (lambda rt, s: rt.warn(s, 1.0, epoch_ns=1, tags={}), TypeError, "missing 1 required keyword-only argument: 'reason'"),
        (lambda rt, s: rt.warn(s, epoch_ns=1, reason="r", tags={}), TypeError, "missing 1 required positional argument: 'value'"),
        (lambda rt, s: rt.warn(s, 1.0, site=s, epoch_ns=1, reason="r", tags={}), TypeError, "got multiple values for argument 'site'"),
    ],
)
def test_warn_refuses_bad_arguments_and_stores_nothing(call, exc, text):
    rt = runtime()
    site = register(rt)
    with pytest.raises(exc) as info:
        call(rt, site)
    assert text in str(info.value)
    assert rt.snapshot_anomalies() == () and rt.dropped_count == 0


def test_records_compare_and_hash_by_value():
    rt = runtime()
    site = register(rt)
    warn(rt, site, tags={"a": "1", "b": "2"})
    warn(rt, site, tags={"b": "2", "a": "1"})
    warn(rt, site, reason="other")
    first, second, third = rt.snapshot_anomalies()
    assert first.sequence < second.sequence < third.sequence
    assert first == second and hash(first) == hash(second) and first != third
    assert first != "record" and len({first, second, third}) == 2
    rt.warn(site, math.nan, epoch_ns=1, reason="r", tags={})
    nan_record = rt.snapshot_anomalies()[-1]
    assert nan_record != nan_record and hash(nan_record) == hash(nan_record)
    for attr in ("call_site", "value", "epoch_ns", "severity", "message", "sequence"):
        with pytest.raises(AttributeError):
            setattr(first, attr, None)


# ---- rings -----------------------------------------------------------------

def names_on_distinct_lanes(lanes):
    found = {}
    for i in range(1000):
        found.setdefault(fnv1a_lane(f"site.{i}", lanes), f"site.{i}")
        if len(found) == lanes:
            return [found[lane] for lane in range(lanes)]
    raise AssertionError("no names for every lane")


def test_a_full_lane_evicts_its_oldest_and_counts_it():
    rt = runtime(lanes=1, ring_capacity=3)
    site = register(rt)
    results = [warn(rt, site, epoch_ns=i) for i in range(7)]
    assert results == [True] * 7  # stored, whether or not an older record made room
    assert [r.epoch_ns for r in rt.snapshot_anomalies()] == [4, 5, 6]
    assert rt.dropped_count == 4


def test_each_lane_is_bounded_on_its_own():
    rt = runtime(lanes=3, ring_capacity=2)
    sites = [register(rt, name=n) for n in names_on_distinct_lanes(3)]
    assert sorted(s.lane for s in sites) == [0, 1, 2]
    a, b, c = sites
    warn(rt, a, epoch_ns=1)
    for ns in range(2, 7):
        warn(rt, b, epoch_ns=ns)      # b's lane overflows by three
    warn(rt, c, epoch_ns=7)
    warn(rt, a, epoch_ns=8)
    assert rt.dropped_count == 3
    held = rt.snapshot_anomalies()
    assert [r.epoch_ns for r in held] == [1, 5, 6, 7, 8]  # insertion order across lanes
    assert [r.sequence for r in held] == sorted(r.sequence for r in held)


def test_drain_empties_every_lane_and_keeps_the_count():
    rt = runtime(lanes=2, ring_capacity=2)
    s0, s1 = (register(rt, name=n) for n in names_on_distinct_lanes(2))
    for ns in range(5):
        warn(rt, (s0, s1)[ns % 2], epoch_ns=ns)
    snapshot = rt.snapshot_anomalies()
    drained = rt.drain_anomalies()
    assert type(snapshot) is tuple and type(drained) is list
    assert drained == list(snapshot) and [r.epoch_ns for r in drained] == [1, 2, 3, 4]
    assert all(a is b for a, b in zip(drained, snapshot))
    assert rt.snapshot_anomalies() == () and rt.drain_anomalies() == []
    assert rt.dropped_count == 1
    warn(rt, s0, epoch_ns=9)
    assert [r.epoch_ns for r in rt.snapshot_anomalies()] == [9]


# ---- memory ----------------------------------------------------------------

def test_garbage_collector_reclaims_a_runtime_in_a_cycle():
    class Holder(TelemetryRuntime):
        pass

    rt = Holder(component="c", lanes=1, ring_capacity=2)
    rt.me = rt
    rt.site = register(rt)
    warn(rt, rt.site)
    ref = weakref.ref(rt)
    del rt
    gc.collect()
    assert ref() is None


def test_no_references_leak_on_success_or_failure():
    rt = runtime(ring_capacity=4)
    site = register(rt)
    reason, tags, bad_tags = "a reason", {"reason_code": "rc"}, {"a": 1}
    counts = lambda: (sys.getrefcount(site), sys.getrefcount(reason), sys.getrefcount(tags),
                      sys.getrefcount(bad_tags), sys.getrefcount(Severity.WARN))
    before = counts()
    for i in range(2000):
        rt.warn(site, 1.0, epoch_ns=i, reason=reason, tags=tags)
        with pytest.raises(TypeError):
            rt.warn(site, 1.0, epoch_ns=i, reason=reason, tags=bad_tags)
        if i % 7 == 0:
            rt.snapshot_anomalies()
            rt.drain_anomalies()
    rt.drain_anomalies()
    assert counts() == before

    def churn(n):
        for i in range(n):
            warn(rt, site, epoch_ns=i)
            rt.snapshot_anomalies()
        rt.drain_anomalies()

    churn(2000)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        churn(20000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
