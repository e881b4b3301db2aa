"""vantorel._parity_watch: module surface, telemetry object, default object, hand-off."""
import importlib
import inspect
import sys
import threading
import time

import pytest

from vantorel import _parity_watch as pw
from vantorel import _sdk_telemetry as st

TAG_KEYS = (
    "slot_id", "parent_home", "market_id", "era_number", "reason_code",
    "projection_version", "projection_hash", "consumer", "decision", "surface",
)


class FakeRuntime:
    """Records every call made on it, in order."""

    def __init__(self, *, warn_result=True, warn_raises=None, truthy=True):
        self.calls = []
        self.warn_result = warn_result
        self.warn_raises = warn_raises
        self.truthy = truthy
        self.dropped = 0
        self.snapshot = ("snap",)
        self.drained = ["drain"]
        self.handle = object()

    def __bool__(self):
        return self.truthy

    def register_call_site(self, *args, **kwargs):
        self.calls.append(("register", args, list(kwargs.items())))
        return self.handle

    def warn(self, *args, **kwargs):
        self.calls.append(("warn", args, list(kwargs.items())))
        if self.warn_raises is not None:
            raise self.warn_raises
        return self.warn_result

    @property
    def dropped_count(self):
        self.calls.append(("dropped_count",))
        return self.dropped

    def snapshot_anomalies(self, *args):
        self.calls.append(("snapshot", args))
        return self.snapshot

    def drain_anomalies(self, *args):
        self.calls.append(("drain", args))
        return self.drained

    def warns(self):
        return [c for c in self.calls if c[0] == "warn"]


class RuntimeFactory:
    """Stands in for TelemetryRuntime: records each construction."""

    def __init__(self):
        self.built = []

    def __call__(self, *args, **kwargs):
        rt = FakeRuntime()
        self.built.append((args, list(kwargs.items()), rt))
        return rt


@pytest.fixture
def factory(monkeypatch):
    f = RuntimeFactory()
    monkeypatch.setattr(pw, "TelemetryRuntime", f)
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    return f


def record(obj, mismatches=("a",), epoch_ns=5, data=None, projection=None):
    return obj.record_projection_mismatch(
        data={} if data is None else data, projection=projection, mismatches=mismatches,
        epoch_ns=epoch_ns)


# ---- module surface --------------------------------------------------------

def fresh_module():
    saved = sys.modules.pop("vantorel._parity_watch")
    try:
        return importlib.import_module("vantorel._parity_watch")
    finally:
        sys.modules["vantorel._parity_watch"] = saved


def test_reload_keeps_the_namespace_and_a_fresh_import_resets_it():
    """importlib.reload does not run an extension module's body again (the import system
    skips modules with multi-phase initialisation): functions stay as rebound and
    _DEFAULT_TELEMETRY keeps its object. A fresh import runs the body: None again."""
    saved = sys.modules.pop("vantorel._parity_watch")
    try:
        m = importlib.import_module("vantorel._parity_watch")
        default = m.default_parity_watch()
        rebound = m.projection_hash = lambda projection: "rebound"
        assert importlib.reload(m) is m
        assert m._DEFAULT_TELEMETRY is default and m.projection_hash is rebound
        assert m._tags(data={}, projection={}, reason_code="r")["projection_hash"] == "rebound"
        del sys.modules["vantorel._parity_watch"]
        again = importlib.import_module("vantorel._parity_watch")
        assert again is not m and again._DEFAULT_TELEMETRY is None
        assert again.projection_hash is not rebound
    finally:
        sys.modules["vantorel._parity_watch"] = saved


def test_module_body_order_and_constants():
    built = []
    original = st.TelemetryRuntime
    m = fresh_module()
    assert m.__doc__ == "SDK-local telemetry for simulation-contract projection mismatches."
    assert m._DEFAULT_TELEMETRY is None and not built
    assert m._TAG_KEYS == TAG_KEYS and type(m._TAG_KEYS) is tuple
    assert m._PARENT_HOME == "src.data_platform.era_data_vault.simulation_data_contract"
    assert m._CALL_SITE_NAME == "simulation_contract.projection_mismatch"
    assert m.__all__ == [
        "SimulationContractSdkTelemetry", "configure_parity_watch", "default_parity_watch",
        "projection_hash", "projection_mismatch_reason", "record_projection_mismatch",
    ]
    assert m.TelemetryRuntime is original and m.Severity is st.Severity
    assert m.AnomalyRecord is st.AnomalyRecord
    names = [k for k in vars(m) if not k.startswith("__") or k == "__all__"]
    assert names == [
        "hashlib", "json", "time", "Mapping", "Any", "AnomalyRecord", "Severity",
        "TelemetryRuntime", "_TAG_KEYS", "_PARENT_HOME", "_CALL_SITE_NAME",
        "SimulationContractSdkTelemetry", "_DEFAULT_TELEMETRY", "default_parity_watch",
        "configure_parity_watch", "record_projection_mismatch", "projection_mismatch_reason",
        "projection_hash", "_tags", "_projection_shape_axes", "_projection_version",
        "_json_safe", "_bounded_text", "__all__",
    ]
    import collections.abc
    import hashlib
    import json
    import typing
    assert (m.hashlib, m.json, m.time, m.Mapping, m.Any) == (
        hashlib, json, time, collections.abc.Mapping, typing.Any)


def test_star_import_binds_the_six_public_names():
    ns = {}
    exec("from vantorel._parity_watch import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(pw.__all__)


SIGNATURES = {
    "default_parity_watch": "default_parity_watch() -> SimulationContractSdkTelemetry",
    "configure_parity_watch": "configure_parity_watch(runtime: TelemetryRuntime | None = None) -> SimulationContractSdkTelemetry",
    "record_projection_mismatch": "record_projection_mismatch(*, data: Mapping[str, Any], projection: Mapping[str, Any] | None, mismatches: tuple[str, ...] | list[str], epoch_ns: int | None = None) -> bool",
    "projection_mismatch_reason": "projection_mismatch_reason(mismatches: tuple[str, ...] | list[str]) -> str",
    "projection_hash": "projection_hash(projection: Mapping[str, Any] | None) -> str",
    "_tags": "_tags(*, data: Mapping[str, Any], projection: Mapping[str, Any] | None, reason_code: str) -> dict[str, object]",
    "_projection_shape_axes": "_projection_shape_axes(projection: Mapping[str, Any] | None, shape_key: Mapping[str, Any] | None) -> tuple[str, ...]",
    "_projection_version": "_projection_version(projection: Mapping[str, Any] | None) -> str",
    "_json_safe": "_json_safe(value: Any) -> Any",
    "_bounded_text": "_bounded_text(value: Any, max_len: int = 96) -> str",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_docs_names_and_signatures(name):
    f = getattr(pw, name)
    assert f.__doc__ == SIGNATURES[name]
    assert f.__name__ == f.__qualname__ == name and f.__module__ == "vantorel._parity_watch"
    assert all(isinstance(v, str) for v in f.__annotations__.values())
    # The signature line, rebuilt from inspect, is the docstring itself.
    assert name + str(inspect.signature(f)).replace("'", "") == SIGNATURES[name]


METHOD_DOCS = {
    "__init__": "SimulationContractSdkTelemetry.__init__(self, runtime: TelemetryRuntime | None = None, *, clock_ns=time.time_ns) -> None",
    "record_projection_mismatch": "SimulationContractSdkTelemetry.record_projection_mismatch(self, *, data: Mapping[str, Any], projection: Mapping[str, Any] | None, mismatches: tuple[str, ...] | list[str], epoch_ns: int | None = None) -> bool",
    "snapshot_anomalies": "SimulationContractSdkTelemetry.snapshot_anomalies(self) -> tuple[AnomalyRecord, ...]",
    "drain_anomalies": "SimulationContractSdkTelemetry.drain_anomalies(self) -> list[AnomalyRecord]",
}


def test_class_shape():
    cls = pw.SimulationContractSdkTelemetry
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__doc__ == "Bounded wheel-local telemetry for SDK/server projection checks."
    assert cls.__module__ == "vantorel._parity_watch"
    own = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
    assert own == ["__init__", "dropped_count", "record_projection_mismatch",
                   "snapshot_anomalies", "drain_anomalies"]
    for name, doc in METHOD_DOCS.items():
        f = vars(cls)[name]
        assert f.__doc__ == doc
        assert f.__qualname__ == "SimulationContractSdkTelemetry." + name
    prop = vars(cls)["dropped_count"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert prop.__doc__ == "SimulationContractSdkTelemetry.dropped_count(self) -> int"
    assert vars(cls)["__init__"].__kwdefaults__["clock_ns"] is time.time_ns
    assert inspect.signature(vars(cls)["record_projection_mismatch"]).parameters[
        "epoch_ns"].kind is inspect.Parameter.KEYWORD_ONLY


# ---- construction ----------------------------------------------------------

def test_constructor_builds_and_registers(factory):
    obj = pw.SimulationContractSdkTelemetry()
    [(args, kwargs, rt)] = factory.built
    assert args == () and kwargs == [("component", "vantorel_sdk"), ("lanes", 1), ("ring_capacity", 128)]
    assert obj.runtime is rt and obj._clock_ns is time.time_ns
    assert obj._projection_mismatch_site is rt.handle
    [(what, rargs, rkw)] = rt.calls
    assert what == "register" and rargs == ()
    assert [k for k, _ in rkw] == ["name", "description", "message_template", "value_unit",
                                   "severity_default", "file", "line", "tag_keys"]
    kw = dict(rkw)
    assert kw["name"] == "simulation_contract.projection_mismatch"
    assert kw["description"] == "Vantorel SDK observed a local/server simulation-contract projection mismatch."
    assert kw["message_template"] == ("simulation contract projection mismatch reason={reason_code} "
                                      "market={market_id} era={era_number} hash={projection_hash}")
    assert kw["value_unit"] == "mismatches" and kw["line"] == 47
    assert kw["severity_default"] is st.Severity.WARN
    assert kw["file"] == pw.__file__ and kw["tag_keys"] is pw._TAG_KEYS
    assert list(vars(obj)) == ["runtime", "_clock_ns", "_projection_mismatch_site"]


def test_registration_reads_globals_at_call_time(factory, monkeypatch):
    class Sev:
        WARN = "warn-marker"
    monkeypatch.setattr(pw, "Severity", Sev)
    monkeypatch.setattr(pw, "_CALL_SITE_NAME", "other.site")
    monkeypatch.setattr(pw, "__file__", "/elsewhere.py")
    monkeypatch.setattr(pw, "_TAG_KEYS", ("x",))
    rt = FakeRuntime()
    pw.SimulationContractSdkTelemetry(rt)
    kw = dict(rt.calls[0][2])
    assert (kw["name"], kw["severity_default"], kw["file"], kw["tag_keys"]) == (
        "other.site", "warn-marker", "/elsewhere.py", ("x",))


def test_given_runtime_is_used_even_when_falsy(factory):
    """Mended: only None asks for a new runtime; a falsy runtime is the caller's own."""
    truthy, falsy = FakeRuntime(), FakeRuntime(truthy=False)
    assert pw.SimulationContractSdkTelemetry(truthy).runtime is truthy
    assert pw.SimulationContractSdkTelemetry(falsy).runtime is falsy
    assert pw.configure_parity_watch(falsy).runtime is falsy
    assert factory.built == []
    assert pw.SimulationContractSdkTelemetry(None).runtime is factory.built[0][2]


def test_constructor_argument_errors(factory):
    cls = pw.SimulationContractSdkTelemetry
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 3 were given"):
        cls(FakeRuntime(), time.time_ns)
    with pytest.raises(TypeError, match="unexpected keyword argument 'clock'"):
        cls(clock=time.time_ns)
    assert factory.built == []


def test_constructor_errors_propagate(monkeypatch):
    def boom(**kw):
        raise OSError("no runtime")
    monkeypatch.setattr(pw, "TelemetryRuntime", boom)
    with pytest.raises(OSError):
        pw.SimulationContractSdkTelemetry()

    class BadRegister(FakeRuntime):
        def register_call_site(self, **kw):
            raise ValueError("nope")
    with pytest.raises(ValueError):
        pw.SimulationContractSdkTelemetry(BadRegister())


def test_forwarding_and_read_only_property():
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    rt.dropped = 3
    assert obj.dropped_count == 3
    rt.dropped = 4
    assert obj.dropped_count == 4
    assert obj.snapshot_anomalies() is rt.snapshot
    assert obj.drain_anomalies() is rt.drained
    assert ("snapshot", ()) in rt.calls and ("drain", ()) in rt.calls
    with pytest.raises(AttributeError) as set_err:
        obj.dropped_count = 1
    with pytest.raises(AttributeError) as del_err:
        del obj.dropped_count

    class Twin:
        @property
        def dropped_count(self):
            return 0
    with pytest.raises(AttributeError) as twin_set:
        Twin().dropped_count = 1
    with pytest.raises(AttributeError) as twin_del:
        del Twin().dropped_count
    # The interpreter's own wording (it names the class and the property from 3.11 on).
    ours = "SimulationContractSdkTelemetry"
    for mine, twin in ((set_err, twin_set), (del_err, twin_del)):
        expected = str(twin.value).replace(Twin.__qualname__, ours).replace("'Twin'", f"'{ours}'")
        assert str(mine.value) == expected
    # A runtime reassigned later receives the later calls.
    other = FakeRuntime()
    obj.runtime = other
    record(obj)
    assert other.warns()[0][1][0] is rt.handle and not rt.warns()


# ---- recording -------------------------------------------------------------

def test_warn_arguments():
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt, clock_ns=lambda: pytest.fail("clock called"))
    assert record(obj, mismatches=["a", "b"], epoch_ns=5, data={"market_id": "M"}) is True
    [(_, args, kwargs)] = rt.warns()
    assert args[0] is rt.handle and args[1] == 1.0 and type(args[1]) is float
    assert [k for k, _ in kwargs] == ["epoch_ns", "reason", "tags", "severity"]
    kw = dict(kwargs)
    assert kw["epoch_ns"] == 5 and kw["reason"] == "a; b" and kw["severity"] is st.Severity.WARN
    assert kw["tags"] == pw._tags(data={"market_id": "M"}, projection=None, reason_code="projection_mismatch")


class IntSub(int):
    pass


@pytest.mark.parametrize("given, expected", [
    (5, 5), (12.9, 12), (-12.9, -12), (True, 1), (False, 0), ("7", 7), (" 7\n", 7),
    ("7_000", 7000), ("\u0667", 7), (IntSub(9), 9), (10**30, 10**30),
])
def test_epoch_ns_converted_as_int_does(given, expected):
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    record(obj, epoch_ns=given)
    stamp = dict(rt.warns()[0][2])["epoch_ns"]
    assert stamp == expected and type(stamp) is int


@pytest.mark.parametrize("given", ["x", float("nan"), float("inf"), "1.5", None.__class__, b"\xff"])
def test_epoch_ns_refused_gives_false_without_warn(given):
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    assert record(obj, epoch_ns=given) is False
    assert rt.warns() == []


def test_clock_called_once_only_without_epoch():
    rt = FakeRuntime()
    calls = []

    def clock():
        calls.append(1)
        return 12.9
    obj = pw.SimulationContractSdkTelemetry(rt, clock_ns=clock)
    record(obj, epoch_ns=None)
    assert calls == [1] and dict(rt.warns()[0][2])["epoch_ns"] == 12
    record(obj, epoch_ns=0)
    assert calls == [1] and dict(rt.warns()[1][2])["epoch_ns"] == 0


@pytest.mark.parametrize("clock", [None, lambda: "x", lambda: 1 / 0, lambda: float("nan")])
def test_bad_clock_gives_false(clock):
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt, clock_ns=clock)
    assert record(obj, epoch_ns=None) is False and rt.warns() == []


@pytest.mark.parametrize("mismatches, reason", [
    ([], "projection_mismatch"), ((), "projection_mismatch"), ([1, None], "1; None"),
    (["Missing"], "Missing"), ([""], "projection_mismatch"),
    (["", ""], "; "),
])
def test_reason_text(mismatches, reason):
    rt = FakeRuntime()
    record(pw.SimulationContractSdkTelemetry(rt), mismatches=mismatches)
    assert dict(rt.warns()[0][2])["reason"] == reason


def test_one_shot_iterator_keeps_its_messages():
    """Mended: a generator gives the same reason code and text as the equivalent list."""
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    record(obj, mismatches=iter(["field missing", "x"]))
    record(obj, mismatches=(m for m in ["field missing", "x"]))
    record(obj, mismatches=["field missing", "x"])
    texts = [dict(w[2])["reason"] for w in rt.warns()]
    codes = [dict(w[2])["tags"]["reason_code"] for w in rt.warns()]
    assert texts == ["field missing; x"] * 3 and codes == ["invalid_projection"] * 3


def test_mismatches_materialised_once_before_classification(monkeypatch):
    seen = []
    monkeypatch.setattr(pw, "projection_mismatch_reason", lambda m: seen.append(m) or "rc")
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    lst = ["a"]
    record(obj, mismatches=lst)
    record(obj, mismatches={"k": 1})
    assert seen[0] is lst and seen[1] == ("k",)


def test_non_iterable_mismatches_raise_before_anything_is_recorded():
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        record(obj, mismatches=None)
    assert rt.warns() == []


class Unstr:
    def __str__(self):
        raise LookupError("no text")


@pytest.mark.parametrize("raised", [RuntimeError("x"), ValueError("x"), LookupError("x")])
def test_exceptions_in_hand_off_give_false(raised):
    rt = FakeRuntime(warn_raises=raised)
    assert record(pw.SimulationContractSdkTelemetry(rt)) is False


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_pass_through(raised):
    rt = FakeRuntime(warn_raises=raised)
    with pytest.raises(raised):
        record(pw.SimulationContractSdkTelemetry(rt))


def test_hand_off_failures_before_warn():
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    del obj._projection_mismatch_site
    assert record(obj) is False and rt.warns() == []
    obj2 = pw.SimulationContractSdkTelemetry(FakeRuntime())
    obj2.runtime = object()
    assert record(obj2) is False


def test_errors_in_reason_and_tags_propagate(monkeypatch):
    obj = pw.SimulationContractSdkTelemetry(FakeRuntime())
    with pytest.raises(LookupError):
        record(obj, mismatches=[Unstr()])
    with pytest.raises(AttributeError):
        obj.record_projection_mismatch(data=None, projection=None, mismatches=[])
    monkeypatch.setattr(pw, "_tags", lambda **kw: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        record(obj)


@pytest.mark.parametrize("result", [True, False, None, 0, "text"])
def test_warn_result_returned_unchanged(result):
    rt = FakeRuntime(warn_result=result)
    assert record(pw.SimulationContractSdkTelemetry(rt)) is result


def test_late_bound_globals_in_record(monkeypatch):
    rt = FakeRuntime()
    obj = pw.SimulationContractSdkTelemetry(rt)
    calls = []
    monkeypatch.setattr(pw, "projection_mismatch_reason", lambda m: calls.append(("r", m)) or "R")

    def fake_tags(**kw):
        calls.append(("t", list(kw)))
        return {"t": 1}
    monkeypatch.setattr(pw, "_tags", fake_tags)

    class Sev:
        WARN = "W"
    monkeypatch.setattr(pw, "Severity", Sev)
    record(obj, mismatches=[])
    assert calls == [("r", []), ("t", ["data", "projection", "reason_code"])]
    kw = dict(rt.warns()[0][2])
    assert kw["tags"] == {"t": 1} and kw["severity"] == "W" and kw["reason"] == "R"


def test_record_argument_errors():
    obj = pw.SimulationContractSdkTelemetry(FakeRuntime())
    with pytest.raises(TypeError, match="takes 1 positional argument but 4 were given"):
        obj.record_projection_mismatch({}, None, [])
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'mismatches'"):
        obj.record_projection_mismatch(data={}, projection=None)


# ---- default object ----------------------------------------------------------

def test_default_object_life_cycle(factory):
    first = pw.default_parity_watch()
    assert pw.default_parity_watch() is first and pw._DEFAULT_TELEMETRY is first
    assert len(factory.built) == 1
    assert [c[0] for c in factory.built[0][2].calls] == ["register"]
    a = pw.configure_parity_watch()
    b = pw.configure_parity_watch(None)
    assert a is not b and pw.default_parity_watch() is b and len(factory.built) == 3
    rt = FakeRuntime()
    c = pw.configure_parity_watch(rt)
    assert c.runtime is rt and pw._DEFAULT_TELEMETRY is c
    d = pw.configure_parity_watch(runtime=rt)
    assert d is not c and len(rt.calls) == 2
    pw._DEFAULT_TELEMETRY = None
    e = pw.default_parity_watch()
    assert e not in (a, b, c, d) and len(factory.built) == 4


def test_falsy_default_counts_as_present(factory, monkeypatch):
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", 0)
    assert pw.default_parity_watch() == 0 and factory.built == []


def test_default_creation_failure_leaves_none(monkeypatch):
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    monkeypatch.setattr(pw, "TelemetryRuntime", lambda **kw: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        pw.default_parity_watch()
    assert pw._DEFAULT_TELEMETRY is None
    previous = object()
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", previous)
    with pytest.raises(ZeroDivisionError):
        pw.configure_parity_watch()
    assert pw._DEFAULT_TELEMETRY is previous


def test_default_created_concurrently_keeps_the_first_stored(monkeypatch):
    """Mended: a default built while another was stored is not stored over it."""
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    winner = object()

    def racing_runtime(**kw):
        pw._DEFAULT_TELEMETRY = winner  # another thread stores first
        return FakeRuntime()
    monkeypatch.setattr(pw, "TelemetryRuntime", racing_runtime)
    assert pw.default_parity_watch() is winner and pw._DEFAULT_TELEMETRY is winner


def test_default_shared_across_threads(factory):
    results = []
    threads = [threading.Thread(target=lambda: results.append(pw.default_parity_watch()))
               for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({id(r) for r in results}) == 1 and results[0] is pw._DEFAULT_TELEMETRY


def test_module_level_record(factory):
    assert pw.record_projection_mismatch(data={}, projection=None, mismatches=[]) is True
    [(_, _, rt)] = factory.built
    assert [c[0] for c in rt.calls] == ["register", "warn"]
    assert dict(rt.warns()[0][2])["reason"] == "projection_mismatch"


def test_module_level_record_passes_keywords(monkeypatch):
    seen = []

    class Obj:
        def record_projection_mismatch(self, *args, **kw):
            seen.append((args, list(kw.items())))
            return "r"
    monkeypatch.setattr(pw, "default_parity_watch", lambda: Obj())
    assert pw.record_projection_mismatch(data=1, projection=2, mismatches=3) == "r"
    assert seen == [((), [("data", 1), ("projection", 2), ("mismatches", 3), ("epoch_ns", None)])]


def test_module_level_record_positional_refused_before_work(factory):
    with pytest.raises(TypeError, match="takes 0 positional arguments but 3 were given"):
        pw.record_projection_mismatch({}, None, [])
    assert factory.built == [] and pw._DEFAULT_TELEMETRY is None


def test_end_to_end_on_the_real_runtime(monkeypatch):
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    assert pw.record_projection_mismatch(
        data={"market_id": "M1", "era_number": 7}, projection={"version": "v2", "a": 1},
        mismatches=["market_id differs"], epoch_ns=123) is True
    obj = pw._DEFAULT_TELEMETRY
    assert isinstance(obj.runtime, st.TelemetryRuntime)
    [rec] = obj.snapshot_anomalies()
    assert rec.epoch_ns == 123 and rec.reason == "market_id differs"
    assert rec.message == ("simulation contract projection mismatch reason=market_era_mismatch "
                           "market=M1 era=7 hash=" + pw.projection_hash({"version": "v2", "a": 1}))
    assert obj.dropped_count == 0
    for i in range(130):
        obj.record_projection_mismatch(data={}, projection=None, mismatches=[], epoch_ns=i)
    assert obj.dropped_count == 3 and len(obj.drain_anomalies()) == 128
    assert obj.snapshot_anomalies() == ()
