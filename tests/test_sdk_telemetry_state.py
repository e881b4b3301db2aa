"""The runtime module's state belongs to its module object: subinterpreters, fresh imports."""
import importlib
import subprocess
import sys

import pytest

from interpreter import PYTHON

# A subinterpreter imports the module, uses it and is destroyed; the main
# interpreter's runtime must go on with its own Severity. Run in a child
# process, so that a crash fails this test only.
_SUBINTERPRETER_SCRIPT = r"""
import gc
try:
    import _interpreters as interpreters  # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters
import vantorel._sdk_telemetry as st

rt = st.TelemetryRuntime(component="main", lanes=1, ring_capacity=8)
site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                             severity_default=st.Severity.WARN, file="f", line=1, tag_keys=())
rt.warn(site, 1.0, epoch_ns=1, reason="before", tags={})

sub = interpreters.create()
failure = interpreters.run_string(sub, '''
import vantorel._sdk_telemetry as st
rt = st.TelemetryRuntime(component="sub", lanes=1, ring_capacity=8)
site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                             severity_default=st.Severity.INFO, file="f", line=1, tag_keys=())
assert rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={}, severity=st.Severity.ERROR) is True
assert rt.warn(site, 1.0, epoch_ns=2, reason="r", tags={}, severity=50) is True
assert [r.severity for r in rt.drain_anomalies()] == [st.Severity.ERROR, st.Severity.CRITICAL]
''')
assert failure is None, failure  # 3.13 reports a failure by its result
rt.warn(site, 1.0, epoch_ns=2, reason="during", tags={})
interpreters.destroy(sub)
gc.collect()

assert rt.warn(site, 1.0, epoch_ns=3, reason="after", tags={}, severity=st.Severity.ERROR) is True
assert rt.warn(site, 1.0, epoch_ns=4, reason="by value", tags={}, severity=50) is True
records = rt.snapshot_anomalies()
assert [r.reason for r in records] == ["before", "during", "after", "by value"]
assert [r.severity for r in records] == [st.Severity.WARN, st.Severity.WARN, st.Severity.ERROR,
                                         st.Severity.CRITICAL]
assert all(type(r.severity) is st.Severity for r in records)
print("ok")
"""


def test_a_destroyed_subinterpreter_leaves_the_main_runtime_its_own_severity():
    if sys.version_info < (3, 13):
        pytest.importorskip("_xxsubinterpreters")
    else:
        pytest.importorskip("_interpreters")
    done = subprocess.run([*PYTHON, "-c", _SUBINTERPRETER_SCRIPT], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]


@pytest.fixture
def fresh_module():
    """A second module object of the runtime, imported after removal from sys.modules;
    the first is put back afterwards."""
    name = "vantorel._sdk_telemetry"
    first = importlib.import_module(name)
    del sys.modules[name]
    try:
        yield first, importlib.import_module(name)
    finally:
        sys.modules[name] = first
        sys.modules["vantorel"]._sdk_telemetry = first


def _runtime_and_site(st, component):
    rt = st.TelemetryRuntime(component=component, lanes=2, ring_capacity=4)
    site = rt.register_call_site(name="n", description="d", message_template="m {a}",
                                 value_unit="u", severity_default=st.Severity.WARN, file="f",
                                 line=1, tag_keys=("a",))
    return rt, site


def test_a_fresh_import_has_its_own_types_and_the_first_keeps_working(fresh_module):
    first, second = fresh_module
    assert second is not first
    for name in ("Severity", "CallSite", "AnomalyRecord", "TelemetryRuntime"):
        assert getattr(second, name) is not getattr(first, name)
    old_rt, old_site = _runtime_and_site(first, "c")
    new_rt, new_site = _runtime_and_site(second, "c")
    assert old_rt.warn(old_site, 1.0, epoch_ns=1, reason="r", tags={"a": "x"}, severity=40)
    assert new_rt.warn(new_site, 1.0, epoch_ns=1, reason="r", tags={"a": "x"}, severity=40)
    (old_record,), (new_record,) = old_rt.snapshot_anomalies(), new_rt.snapshot_anomalies()
    assert old_record.severity is first.Severity.ERROR
    assert new_record.severity is second.Severity.ERROR
    # Records compare by value across module objects (the IntEnum members compare as ints).
    assert old_record == new_record and hash(old_record) == hash(new_record)
    # A handle of the other module object is another runtime's.
    for rt, site in ((new_rt, old_site), (old_rt, new_site)):
        with pytest.raises(ValueError, match="was registered with another TelemetryRuntime"):
            rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={})
    with pytest.raises(TypeError, match="site must be a CallSite returned by register_call_site"):
        new_rt.warn(old_record, 1.0, epoch_ns=1, reason="r", tags={})


def test_subclasses_of_subclasses_find_their_module(fresh_module):
    _, st = fresh_module

    class Base(st.TelemetryRuntime):
        pass

    class Leaf(Base):
        extra = 1

    rt = Leaf(component="c", lanes=1, ring_capacity=2)
    site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                                 severity_default=20, file="f", line=1, tag_keys=())
    assert site.severity_default is st.Severity.INFO
    assert rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={}) is True
    assert repr(rt) == "Leaf(component='c', lanes=1, ring_capacity=2)"
    with pytest.raises(TypeError, match=r"TelemetryRuntime\(\) got an unexpected keyword argument 'x'"):
        Leaf(component="c", lanes=1, ring_capacity=2, x=1)


def test_reload_returns_the_same_module_and_state():
    import vantorel._sdk_telemetry as st
    rt, site = _runtime_and_site(st, "c")
    severity = st.Severity
    assert importlib.reload(st) is st and st.Severity is severity
    assert rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={}, severity=severity.ERROR) is True


def test_a_dropped_module_object_is_freed_with_its_types_and_objects():
    """The state's types hold their module, each instance holds its type: once the last
    object is gone the collector frees the whole module object (nothing leaks a type)."""
    import gc
    import weakref
    name = "vantorel._sdk_telemetry"
    first = importlib.import_module(name)
    del sys.modules[name]
    try:
        st = importlib.import_module(name)
    finally:
        sys.modules[name] = sys.modules["vantorel"]._sdk_telemetry = first
    rt, site = _runtime_and_site(st, "c")

    class Sub(st.TelemetryRuntime):
        pass

    sub = Sub(component="c", lanes=1, ring_capacity=1)
    sub.me = sub
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={"a": "x"}, severity=st.Severity.ERROR)
    record = rt.snapshot_anomalies()[0]
    module = weakref.ref(st)
    types = [weakref.ref(t) for t in (st.TelemetryRuntime, st.CallSite, st.AnomalyRecord, Sub)]
    del st
    gc.collect()
    assert module() is not None  # the objects still hold it
    assert record.severity == 40 and rt.warn(site, 2.0, epoch_ns=2, reason="r", tags={})
    del rt, site, record, sub, Sub
    gc.collect()
    assert module() is None and all(t() is None for t in types)
