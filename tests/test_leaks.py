"""No memory block or reference is gained per call, on success or on any error path.

One table of calls per module (a `Case` is a callable, its arguments and the error it must
raise, if any). `test_every_native_callable_is_in_the_table` keeps the tables complete: a
function, method, property or slot added to a module without a row here fails it.
"""
import importlib
import operator
import sys

import pytest

from hostile_objects import (BadPairsMapping, Boom, FailingMapping, Falsy, MutatingMapping, NonStrStr,
                             RaisingStr, StrSub, self_containing_dict, self_containing_list)
from leakcheck import Case, assert_no_leak, native_surface

LOGARITHMIC = "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"


def patched(module, name, value, fn):
    """fn with module.<name> rebound to value for the duration of each call."""
    def call(*args, **kwargs):
        saved = getattr(module, name)
        setattr(module, name, value)
        try:
            return fn(*args, **kwargs)
        finally:
            setattr(module, name, saved)
    return call


def shadowing(module, name, value, fn):
    """fn with the builtin `name` shadowed in module's namespace for the duration of each call."""
    def call(*args, **kwargs):
        setattr(module, name, value)
        try:
            return fn(*args, **kwargs)
        finally:
            delattr(module, name)
    return call


def raise_boom(*args, **kwargs):
    raise Boom("failing dependency")


# ---------------------------------------------------------------- cycle_roster

def roster_cases(cr):
    E = cr.EpochName
    rs, ns = RaisingStr(), NonStrStr()
    C = Case
    return [
        C("EpochName.from_str", "member", E.from_str, (E.SIGNAL_OS,)),
        C("EpochName.from_str", "value", E.from_str, ("strategy_os",)),
        C("EpochName.from_str", "keyword", E.from_str, (), {"value": "signal_is"}),
        C("EpochName.from_str", "member name", E.from_str, ("SIGNAL_IS",), expect=ValueError),
        C("EpochName.from_str", "str subclass", E.from_str, (StrSub("signal_is"),), expect=ValueError),
        C("EpochName.from_str", "None", E.from_str, (None,), expect=ValueError),
        C("EpochName.from_str", "int", E.from_str, (7,), expect=ValueError),
        C("EpochName.from_str", "raising __str__", E.from_str, (rs,), expect=Boom),
        C("EpochName.from_str", "non-str __str__", E.from_str, (ns,), expect=TypeError),
        C("EpochName.from_str", "no argument", E.from_str, (), expect=TypeError),
        C("EpochName.from_str", "two arguments", E.from_str, ("a", "b"), expect=TypeError),
        C("EpochName.from_str", "unknown keyword", E.from_str, (), {"text": "a"}, expect=TypeError),
        C("valid_epochs_for_category", "known", cr.valid_epochs_for_category, ("signals",)),
        C("valid_epochs_for_category", "keyword", cr.valid_epochs_for_category, (), {"category": "features"}),
        C("valid_epochs_for_category", "unknown", cr.valid_epochs_for_category, ("Signals",), expect=ValueError),
        C("valid_epochs_for_category", "None", cr.valid_epochs_for_category, (None,), expect=ValueError),
        C("valid_epochs_for_category", "raising __str__", cr.valid_epochs_for_category, (rs,), expect=Boom),
        C("valid_epochs_for_category", "unhashable table", patched(cr, "_VALID_EPOCHS_BY_CATEGORY", [],
                                                                    cr.valid_epochs_for_category),
          ("signals",), expect=TypeError),
        C("valid_epochs_for_category", "no argument", cr.valid_epochs_for_category, (), expect=TypeError),
        C("_standard_aggregation_epochs", "ok", cr._standard_aggregation_epochs),
        C("_standard_aggregation_epochs", "argument", cr._standard_aggregation_epochs, (1,), expect=TypeError),
        C("_standard_aggregation_epochs", "failing lookup", patched(cr, "valid_epochs_for_category", raise_boom,
                                                                    cr._standard_aggregation_epochs),
          expect=Boom),
        C("_epoch_partition", "signal", cr._epoch_partition, ("signal",)),
        C("_epoch_partition", "empty", cr._epoch_partition, ("",)),
        C("_epoch_partition", "int", cr._epoch_partition, (5,)),
        C("_epoch_partition", "raising __format__", cr._epoch_partition, (rs,), expect=Boom),
        C("_epoch_partition", "failing lookup", patched(cr, "valid_epochs_for_category", raise_boom,
                                                        cr._epoch_partition), ("signal",), expect=Boom),
        C("_normalize_process_role", "text", cr._normalize_process_role, (" API_Server ",)),
        C("_normalize_process_role", "None", cr._normalize_process_role, (None,)),
        C("_normalize_process_role", "falsy object", cr._normalize_process_role, (Falsy(),)),
        C("_normalize_process_role", "str subclass", cr._normalize_process_role, (StrSub("Mi"),)),
        C("_normalize_process_role", "raising __str__", cr._normalize_process_role, (rs,), expect=Boom),
        C("_normalize_process_role", "non-str __str__", cr._normalize_process_role, (ns,), expect=TypeError),
        C("_normalize_process_role", "keyword", cr._normalize_process_role, (), {"rol": 1}, expect=TypeError),
        C("epochs_for_submission_type", "signal", cr.epochs_for_submission_type, (" Signal ",)),
        C("epochs_for_submission_type", "strategy", cr.epochs_for_submission_type, ("STRATEGY",)),
        C("epochs_for_submission_type", "unknown", cr.epochs_for_submission_type, ("signals",), expect=ValueError),
        C("epochs_for_submission_type", "None", cr.epochs_for_submission_type, (None,), expect=ValueError),
        C("epochs_for_submission_type", "raising __str__", cr.epochs_for_submission_type, (rs,), expect=Boom),
        C("epochs_for_process_role", "None", cr.epochs_for_process_role, (None,)),
        C("epochs_for_process_role", "serving", cr.epochs_for_process_role, (" API_Server ",)),
        C("epochs_for_process_role", "signal", cr.epochs_for_process_role, ("mi",)),
        C("epochs_for_process_role", "strategy", cr.epochs_for_process_role, ("strategy-mi",)),
        C("epochs_for_process_role", "one epoch", cr.epochs_for_process_role, ("Signal_IS_Only",)),
        C("epochs_for_process_role", "empty", cr.epochs_for_process_role, ("   ",), expect=ValueError),
        C("epochs_for_process_role", "unknown", cr.epochs_for_process_role, ("signal-is-pool",), expect=ValueError),
        C("epochs_for_process_role", "False", cr.epochs_for_process_role, (False,), expect=ValueError),
        C("epochs_for_process_role", "raising __str__", cr.epochs_for_process_role, (rs,), expect=Boom),
        C("epochs_for_process_role", "non-str __str__", cr.epochs_for_process_role, (ns,), expect=TypeError),
        C("epochs_for_process_role", "failing lookup", patched(cr, "valid_epochs_for_category", raise_boom,
                                                               cr.epochs_for_process_role),
          ("strategy-os",), expect=Boom),
        C("epochs_for_process_role", "EpochName rebound", patched(cr, "EpochName", None, cr.epochs_for_process_role),
          ("strategy-os",), expect=TypeError),
        C("EpochName.from_str", "str shadowed", shadowing(cr, "str", lambda v: "signal_os", E.from_str), (1,)),
        C("EpochName.from_str", "isinstance shadowed", shadowing(cr, "isinstance", lambda o, c: 0, E.from_str),
          ("signal_os",)),
        C("EpochName.from_str", "ValueError shadowed", shadowing(cr, "ValueError", KeyError, E.from_str),
          ("x",), expect=ValueError),
        C("EpochName.from_str", "ValueError not a class", shadowing(cr, "ValueError", 5, E.from_str),
          ("x",), expect=TypeError),
        C("valid_epochs_for_category", "KeyError shadowed", shadowing(cr, "KeyError", LookupError,
                                                                      cr.valid_epochs_for_category),
          ("x",), expect=ValueError),
        C("valid_epochs_for_category", "ValueError returns non-exception",
          shadowing(cr, "ValueError", lambda m: m, cr.valid_epochs_for_category), ("x",), expect=TypeError),
        C("_standard_aggregation_epochs", "tuple shadowed", shadowing(cr, "tuple", list,
                                                                      cr._standard_aggregation_epochs)),
        C("_epoch_partition", "tuple shadowed", shadowing(cr, "tuple", list, cr._epoch_partition), ("signal",)),
        C("epochs_for_process_role", "ValueError shadowed", shadowing(cr, "ValueError", KeyError,
                                                                      cr.epochs_for_process_role),
          ("nobody",), expect=KeyError),
    ]


# ---------------------------------------------------------------- _sdk_telemetry

def telemetry_cases(st):
    Runtime, Severity = st.TelemetryRuntime, st.Severity
    rt = Runtime(component="leaks", lanes=2, ring_capacity=4)
    site = rt.register_call_site(name="leak.site", description="d", message_template="{a} and {b}",
                                 value_unit="u", severity_default=Severity.WARN, file="f.py", line=1,
                                 tag_keys=("a", "b"))
    other_site = Runtime(component="o", lanes=1, ring_capacity=1).register_call_site(
        name="o", description="d", message_template="t", value_unit="u", severity_default=20, file="f",
        line=1, tag_keys=())
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={"a": "1"})
    rt.warn(site, 2.0, epoch_ns=2, reason="r", tags={"a": "1", "b": "2"})
    record, record2 = rt.snapshot_anomalies()
    tags = {"a": "x", "b": StrSub("y")}
    reg = dict(name="n", description="d", message_template="t", value_unit="u",
               severity_default=Severity.WARN, file="f", line=1, tag_keys=("a", "b"))
    C = Case

    def with_reg(**change):
        return {**reg, **change}

    def warn_kw(**change):
        return {**dict(epoch_ns=7, reason="why", tags=tags), **change}

    cases = [
        C("TelemetryRuntime.__new__", "ok", Runtime, (), dict(component="c", lanes=3, ring_capacity=8)),
        C("TelemetryRuntime.__new__", "positional", Runtime, ("c", 1, 1), expect=TypeError),
        C("TelemetryRuntime.__new__", "missing", Runtime, (), dict(component="c"), expect=TypeError),
        C("TelemetryRuntime.__new__", "unknown keyword", Runtime, (),
          dict(component="c", lanes=1, ring_capacity=1, extra=1), expect=TypeError),
        C("TelemetryRuntime.__new__", "component type", Runtime, (), dict(component=1, lanes=1, ring_capacity=1),
          expect=TypeError),
        C("TelemetryRuntime.__new__", "lanes 0", Runtime, (), dict(component="c", lanes=0, ring_capacity=1),
          expect=ValueError),
        C("TelemetryRuntime.__new__", "huge capacity", Runtime, (),
          dict(component="c", lanes=1, ring_capacity=2**70), expect=OverflowError),
        C("TelemetryRuntime.__new__", "raising __index__", Runtime, (),
          dict(component="c", lanes=RaisingIndex(), ring_capacity=1), expect=Boom),
        C("TelemetryRuntime.__repr__", "ok", repr, (rt,)),
        C("TelemetryRuntime.component", "get", operator.attrgetter("component"), (rt,)),
        C("TelemetryRuntime.lanes", "get", operator.attrgetter("lanes"), (rt,)),
        C("TelemetryRuntime.ring_capacity", "get", operator.attrgetter("ring_capacity"), (rt,)),
        C("TelemetryRuntime.dropped_count", "get", operator.attrgetter("dropped_count"), (rt,)),
        C("TelemetryRuntime.dropped_count", "set", setattr, (rt, "dropped_count", 1), expect=AttributeError),
        C("TelemetryRuntime.register_call_site", "ok", rt.register_call_site, (), reg),
        C("TelemetryRuntime.register_call_site", "int severity", rt.register_call_site, (),
          with_reg(severity_default=40, tag_keys=["a", StrSub("b")])),
        C("TelemetryRuntime.register_call_site", "positional", rt.register_call_site, ("n",), expect=TypeError),
        C("TelemetryRuntime.register_call_site", "missing", rt.register_call_site, (), {"name": "n"},
          expect=TypeError),
        C("TelemetryRuntime.register_call_site", "name type", rt.register_call_site, (), with_reg(name=1),
          expect=TypeError),
        C("TelemetryRuntime.register_call_site", "bad severity", rt.register_call_site, (),
          with_reg(severity_default=99), expect=ValueError),
        C("TelemetryRuntime.register_call_site", "negative line", rt.register_call_site, (), with_reg(line=-1),
          expect=ValueError),
        C("TelemetryRuntime.register_call_site", "tag key type", rt.register_call_site, (),
          with_reg(tag_keys=["a", 1]), expect=TypeError),
        C("TelemetryRuntime.register_call_site", "tag keys raise", rt.register_call_site, (),
          with_reg(tag_keys=RaisingIter()), expect=Boom),
        C("TelemetryRuntime.warn", "ok (evicts)", rt.warn, (site, 1.0), warn_kw()),
        C("TelemetryRuntime.warn", "int value, severity", rt.warn, (site, 3), warn_kw(severity=Severity.ERROR)),
        C("TelemetryRuntime.warn", "keywords", rt.warn, (), dict(site=site, value=1.5, **warn_kw())),
        C("TelemetryRuntime.warn", "tags not a dict", rt.warn, (site, 1.0), warn_kw(tags=[("a", "b")]),
          expect=TypeError),
        C("TelemetryRuntime.warn", "tag value type", rt.warn, (site, 1.0), warn_kw(tags={"a": 1}),
          expect=TypeError),
        C("TelemetryRuntime.warn", "tag key type", rt.warn, (site, 1.0), warn_kw(tags={1: "a"}), expect=TypeError),
        C("TelemetryRuntime.warn", "value str", rt.warn, (site, "x"), warn_kw(), expect=TypeError),
        C("TelemetryRuntime.warn", "value raising __float__", rt.warn, (site, RaisingFloat()), warn_kw(),
          expect=Boom),
        C("TelemetryRuntime.warn", "epoch float", rt.warn, (site, 1.0), warn_kw(epoch_ns=1.5), expect=TypeError),
        C("TelemetryRuntime.warn", "epoch 2**63", rt.warn, (site, 1.0), warn_kw(epoch_ns=2**63),
          expect=OverflowError),
        C("TelemetryRuntime.warn", "reason None", rt.warn, (site, 1.0), warn_kw(reason=None), expect=TypeError),
        C("TelemetryRuntime.warn", "severity 7", rt.warn, (site, 1.0), warn_kw(severity=7), expect=ValueError),
        C("TelemetryRuntime.warn", "site str", rt.warn, ("leak.site", 1.0), warn_kw(), expect=TypeError),
        C("TelemetryRuntime.warn", "foreign site", rt.warn, (other_site, 1.0), warn_kw(), expect=ValueError),
        C("TelemetryRuntime.warn", "too many positional", rt.warn, (site, 1.0, 1, "r", {}), expect=TypeError),
        C("TelemetryRuntime.warn", "duplicate site", rt.warn, (site, 1.0), dict(site=site, **warn_kw()),
          expect=TypeError),
        C("TelemetryRuntime.snapshot_anomalies", "ok", rt.snapshot_anomalies),
        C("TelemetryRuntime.snapshot_anomalies", "argument", rt.snapshot_anomalies, (1,), expect=TypeError),
        C("TelemetryRuntime.drain_anomalies", "refill and drain", refill_and_drain, (rt, site)),
        C("TelemetryRuntime.drain_anomalies", "argument", rt.drain_anomalies, (1,), expect=TypeError),
        C("CallSite.__repr__", "ok", repr, (site,)),
        C("AnomalyRecord.__repr__", "ok", repr, (record,)),
        C("AnomalyRecord.__hash__", "ok", hash, (record,)),
        C("AnomalyRecord.__eq__", "equal", operator.eq, (record, record)),
        C("AnomalyRecord.__ne__", "other", operator.ne, (record, record2)),
        C("AnomalyRecord.__eq__", "foreign type", operator.eq, (record, "record")),
        C("AnomalyRecord.__lt__", "unordered", operator.lt, (record, record2), expect=TypeError),
        C("AnomalyRecord.__le__", "unordered", operator.le, (record, record2), expect=TypeError),
        C("AnomalyRecord.__gt__", "unordered", operator.gt, (record, record2), expect=TypeError),
        C("AnomalyRecord.__ge__", "unordered", operator.ge, (record, record2), expect=TypeError),
        C("AnomalyRecord.tags", "set", setattr, (record, "tags", {}), expect=AttributeError),
    ]
    for attr in ("name", "description", "message_template", "value_unit", "severity_default", "file", "line",
                 "tag_keys", "lane"):
        cases.append(C(f"CallSite.{attr}", "get", operator.attrgetter(attr), (site,)))
    for attr in ("component", "call_site", "severity", "value", "epoch_ns", "reason", "message", "sequence",
                 "tags"):
        cases.append(C(f"AnomalyRecord.{attr}", "get", operator.attrgetter(attr), (record,)))
    return cases


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisingIter:
    def __iter__(self):
        raise Boom("__iter__")


def refill_and_drain(rt, site):
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={"a": "1"})
    return rt.drain_anomalies()


# ---------------------------------------------------------------- _parity_watch

class ScriptedRuntime:
    """A stand-in runtime: `warn` returns True or raises what it was given."""

    def __init__(self, fail=None):
        self.fail = fail
        self.dropped_count = 0

    def register_call_site(self, **kwargs):
        if self.fail == "register":
            raise Boom("register")
        return "site"

    def warn(self, site, value, *, epoch_ns, reason, tags, severity):
        if self.fail is not None and self.fail != "register":
            raise self.fail("warn")
        return True

    def snapshot_anomalies(self):
        return ()

    def drain_anomalies(self):
        return []


def parity_cases(pw):
    from vantorel._sdk_telemetry import TelemetryRuntime
    T = pw.SimulationContractSdkTelemetry
    own = T()
    scripted = T(ScriptedRuntime())
    failing = T(ScriptedRuntime(RuntimeError))
    interrupting = T(ScriptedRuntime(KeyboardInterrupt))
    broken_clock = T(ScriptedRuntime(), clock_ns=raise_boom)
    data = {"market_id": "m" * 200, "era_id": 7, "lane": "L1"}
    projection = {"version": 3, "shape_fields": ["lane", "", 3], "shape_key": {"lane": "L9", 2: 3},
                  "rows": [1, 2.5, None, True, (1, {2})], 1: "x", "nan": float("nan"), "text": "\u00e9\U0001f600"}
    mismatches = ["shape_key differs", "Field MISSING"]
    record = dict(data=data, projection=projection, mismatches=mismatches)
    C = Case
    return [
        C("SimulationContractSdkTelemetry.__init__", "own runtime", T),
        C("SimulationContractSdkTelemetry.__init__", "given runtime", T, (ScriptedRuntime(),)),
        C("SimulationContractSdkTelemetry.__init__", "None runtime", T, (None,)),
        C("SimulationContractSdkTelemetry.__init__", "positional clock", T, (None, int), expect=TypeError),
        C("SimulationContractSdkTelemetry.__init__", "failing registration", T, (ScriptedRuntime("register"),),
          expect=Boom),
        C("SimulationContractSdkTelemetry.__init__", "runtime without register", T, (object(),),
          expect=AttributeError),
        C("SimulationContractSdkTelemetry.__init__", "failing constructor",
          patched(pw, "TelemetryRuntime", raise_boom, T), expect=Boom),
        C("SimulationContractSdkTelemetry.dropped_count", "get", operator.attrgetter("dropped_count"), (own,)),
        C("SimulationContractSdkTelemetry.dropped_count", "set", setattr, (own, "dropped_count", 1),
          expect=AttributeError),
        C("SimulationContractSdkTelemetry.snapshot_anomalies", "own", own.snapshot_anomalies),
        C("SimulationContractSdkTelemetry.drain_anomalies", "own", own.drain_anomalies),
        C("SimulationContractSdkTelemetry.drain_anomalies", "argument", own.drain_anomalies, (1,), expect=TypeError),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "own runtime (evicts)",
          own.record_projection_mismatch, (), dict(record, epoch_ns=5)),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "clock, iterator",
          own.record_projection_mismatch, (), dict(data={}, projection=None, mismatches=iter(["a"]))),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "epoch_ns text",
          scripted.record_projection_mismatch, (), dict(record, epoch_ns="7")),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "epoch_ns refused",
          scripted.record_projection_mismatch, (), dict(record, epoch_ns="x")),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "warn raises",
          failing.record_projection_mismatch, (), record),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "warn interrupted",
          interrupting.record_projection_mismatch, (), record, expect=KeyboardInterrupt),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "clock raises",
          broken_clock.record_projection_mismatch, (), record),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "reason text raises",
          scripted.record_projection_mismatch, (), dict(record, mismatches=[RaisingStr()]), expect=Boom),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "mismatches None",
          scripted.record_projection_mismatch, (), dict(record, mismatches=None), expect=TypeError),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "data without get",
          scripted.record_projection_mismatch, (), dict(record, data=[]), expect=AttributeError),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "positional",
          scripted.record_projection_mismatch, ({}, None, []), expect=TypeError),
        C("default_parity_watch", "ok", pw.default_parity_watch),
        C("default_parity_watch", "argument", pw.default_parity_watch, (1,), expect=TypeError),
        C("default_parity_watch", "creation fails", patched(pw, "_DEFAULT_TELEMETRY", None,
                                                            patched(pw, "TelemetryRuntime", raise_boom,
                                                                    pw.default_parity_watch)), expect=Boom),
        C("configure_parity_watch", "own runtime", pw.configure_parity_watch),
        C("configure_parity_watch", "given runtime", pw.configure_parity_watch,
          (TelemetryRuntime(component="c", lanes=1, ring_capacity=4),)),
        C("configure_parity_watch", "failing registration", pw.configure_parity_watch,
          (ScriptedRuntime("register"),), expect=Boom),
        C("record_projection_mismatch", "default object", pw.record_projection_mismatch, (),
          dict(record, epoch_ns=1)),
        C("record_projection_mismatch", "positional", pw.record_projection_mismatch, ({}, None, []),
          expect=TypeError),
        C("record_projection_mismatch", "missing keyword", pw.record_projection_mismatch, (),
          dict(data={}, projection=None), expect=TypeError),
        C("projection_mismatch_reason", "ok", pw.projection_mismatch_reason, (mismatches,)),
        C("projection_mismatch_reason", "text walked", pw.projection_mismatch_reason, ("missing",)),
        C("projection_mismatch_reason", "None", pw.projection_mismatch_reason, (None,), expect=TypeError),
        C("projection_mismatch_reason", "raising __str__", pw.projection_mismatch_reason, ([RaisingStr()],),
          expect=Boom),
        C("projection_hash", "ok", pw.projection_hash, (projection,)),
        C("projection_hash", "none", pw.projection_hash, ([1],)),
        C("projection_hash", "mapping", pw.projection_hash, (FailingMapping({"a": [1]}, None),)),
        C("projection_hash", "items raise", pw.projection_hash, (FailingMapping({"a": 1}, "items"),),
          expect=Boom),
        C("projection_hash", "self-containing", pw.projection_hash, (self_containing_dict(),),
          expect=RecursionError, calls=100),
        C("projection_hash", "int past the digit limit", pw.projection_hash, ({"a": 10 ** 5000},),
          expect=ValueError, calls=300),
        C("_tags", "ok", pw._tags, (), dict(data=data, projection=projection, reason_code="x")),
        C("_tags", "positional", pw._tags, (data,), expect=TypeError),
        C("_tags", "get raises", pw._tags, (), dict(data=FailingMapping({}, "get"), projection=None,
                                                      reason_code="x"), expect=Boom),
        C("_projection_shape_axes", "fields", pw._projection_shape_axes, (projection, None)),
        C("_projection_shape_axes", "keys", pw._projection_shape_axes, ({"shape_fields": []}, {"x": 1, 2: 3})),
        C("_projection_shape_axes", "keys raise", pw._projection_shape_axes,
          ({}, FailingMapping({"x": 1}, "keys")), expect=Boom),
        C("_projection_version", "ok", pw._projection_version, (projection,)),
        C("_projection_version", "long", pw._projection_version, ({"version": "x" * 200},)),
        C("_projection_version", "get raises", pw._projection_version, (FailingMapping({}, "get"),), expect=Boom),
        C("_json_safe", "ok", pw._json_safe, (projection,)),
        C("_json_safe", "not pairs", pw._json_safe, (BadPairsMapping({}, None),), expect=ValueError),
        C("_json_safe", "grows while walked", lambda: pw._json_safe(MutatingMapping({"a": 1}))),
        C("_json_safe", "raising __str__ key", pw._json_safe, ({RaisingStr(): 1},), expect=Boom),
        C("_json_safe", "self-containing list", pw._json_safe, (self_containing_list(),), expect=RecursionError,
          calls=100),
        C("_bounded_text", "short", pw._bounded_text, ("abc",)),
        C("_bounded_text", "long", pw._bounded_text, ("x" * 500, 10)),
        C("_bounded_text", "float bound", pw._bounded_text, ("x" * 500, 96.0), expect=TypeError),
        C("_bounded_text", "raising __str__", pw._bounded_text, (RaisingStr(),), expect=Boom),
        C("_bounded_text", "non-str __str__", pw._bounded_text, (NonStrStr(),), expect=TypeError),
        C("_bounded_text", "len shadowed", shadowing(pw, "len", lambda v: 1000, pw._bounded_text), ("abc", 2)),
        C("_json_safe", "builtins shadowed", shadowing(pw, "str", StrSub, shadowing(pw, "tuple", set, pw._json_safe)),
          ({1: (2, {3}), "b": [None, 1.5]},)),
        C("projection_hash", "str shadowed", shadowing(pw, "str", StrSub, pw.projection_hash), ({1: {2}},)),
        C("projection_hash", "str shadowed by a function", shadowing(pw, "str", repr, pw.projection_hash),
          ({1: {2}},), expect=TypeError),
        C("projection_mismatch_reason", "str shadowed", shadowing(pw, "str", lambda v: StrSub("MISSING"),
                                                                  pw.projection_mismatch_reason), ([1, 2],)),
        C("_projection_shape_axes", "tuple shadowed", shadowing(pw, "tuple", list, pw._projection_shape_axes),
          ({"shape_fields": ["a", 1]}, {"k": 1})),
        C("_projection_shape_axes", "tuple shadowed, keys", shadowing(pw, "tuple", list,
                                                                      pw._projection_shape_axes),
          ({"shape_fields": []}, {"k": 1})),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "Exception shadowed",
          shadowing(pw, "Exception", KeyError, failing.record_projection_mismatch), (), record,
          expect=RuntimeError),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "Exception not a class",
          shadowing(pw, "Exception", 5, failing.record_projection_mismatch), (), record, expect=TypeError),
        C("SimulationContractSdkTelemetry.record_projection_mismatch", "int and tuple shadowed",
          shadowing(pw, "int", str, shadowing(pw, "tuple", list, scripted.record_projection_mismatch)), (),
          dict(record, mismatches=iter(["a"]), epoch_ns=5)),
        C("_tags", "isinstance shadowed", shadowing(pw, "isinstance", lambda o, c: False, pw._tags), (),
          dict(data=data, projection=projection, reason_code="x")),
    ]


# ---------------------------------------------------------------- logarithmic

class Window:
    def __init__(self, window):
        self.window = window


class RaisingWindow:
    @property
    def window(self):
        raise Boom("window")


def logarithmic_cases(lg):
    import warnings

    import numpy as np
    rng = np.random.default_rng(11)
    data = rng.lognormal(size=(12, 3)) * rng.choice([1.0, -1.0, 0.0, np.nan, np.inf], size=(12, 3))
    ints = np.arange(-6, 6, dtype=np.int32).reshape(4, 3)
    layouts = {
        "float64": data, "float32": data.astype(np.float32), "int32": ints, "bool": ints > 0,
        "strided": data[::2, ::-1], "Fortran": np.asfortranarray(data),
        "big-endian": data.astype(">f8"), "empty": np.zeros((0, 3)),
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        layouts["overflowing"] = np.full((4, 2), 1e200)
    cases = []
    for name in ("longitudinal_logarithmic_694eff_batch_reference",
                 "longitudinal_logarithmic_665270_batch_reference"):
        fn = getattr(lg, name)
        for label, array in layouts.items():
            cases.append(Case(name, label, quiet(fn), (Window(3), array)))
        cases += [
            Case(name, "keywords", quiet(fn), (), {"instance": Window(2), "data": data}),
            Case(name, "window 0", quiet(fn), (Window(0), data)),
            Case(name, "huge window", quiet(fn), (Window(2**62), data)),
            Case(name, "float window", fn, (Window(2.5), data), expect=TypeError),
            Case(name, "no window", fn, (object(), data), expect=AttributeError),
            Case(name, "raising window", fn, (RaisingWindow(), data), expect=Boom),
            Case(name, "1-d data", fn, (Window(2), data[:, 0]), expect=ValueError),
            Case(name, "no shape", fn, (Window(2), [[1.0]]), expect=AttributeError),
            Case(name, "strings", fn, (Window(2), np.array([["a"]])), expect=TypeError),
            Case(name, "None in objects", fn, (Window(2), np.array([[1.0, None]], dtype=object)),
                 expect=TypeError),
            Case(name, "too many arguments", fn, (Window(2), data, 1), expect=TypeError),
            Case(name, "object", fn, (Window(3), data.astype(object)), expect=TypeError),
            Case(name, "warnings as errors", as_errors(fn), (Window(2), layouts["overflowing"]),
                 expect=FloatingPointError if "694eff" in name else None),
            Case(name, "np rebound", patched(lg, "np", None, fn), (Window(2), data), expect=AttributeError),
        ]
    return cases


def quiet(fn):
    """fn with NumPy's floating-point warnings off (a warning per call would be recorded)."""
    import numpy as np

    def call(*args, **kwargs):
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)
    return call


def as_errors(fn):
    import numpy as np

    def call(*args, **kwargs):
        with np.errstate(all="raise"):
            return fn(*args, **kwargs)
    return call


# ---------------------------------------------------------------- the tables

SUITES = {
    "vantorel.cycle_roster": roster_cases,
    "vantorel._sdk_telemetry": telemetry_cases,
    "vantorel._parity_watch": parity_cases,
    LOGARITHMIC: logarithmic_cases,
}


def collect():
    params = []
    for name, make in SUITES.items():
        try:
            module = importlib.import_module(name)
        except ImportError:
            module = None
        if module is None or not native_surface(module):  # absent, or a shell not built yet
            params.append(pytest.param(None, id=f"{name}:absent", marks=pytest.mark.skip(reason=f"{name} absent")))
            continue
        short = name.rsplit(".", 1)[-1]
        params += [pytest.param(case, id=f"{short}:{case.covers}[{case.label}]") for case in make(module)]
    return params


CASES = collect()


@pytest.fixture
def restore_parity_default():
    """The parity cases replace the process-wide default object; put the original back."""
    pw = sys.modules.get("vantorel._parity_watch")
    saved = getattr(pw, "_DEFAULT_TELEMETRY", None)
    yield
    if pw is not None and hasattr(pw, "_DEFAULT_TELEMETRY"):
        pw._DEFAULT_TELEMETRY = saved


@pytest.mark.parametrize("case", CASES)
def test_no_growth_per_call(case, restore_parity_default):
    assert_no_leak(case, calls=case.calls)


@pytest.mark.parametrize("name", list(SUITES))
def test_every_native_callable_is_in_the_table(name):
    module = pytest.importorskip(name)
    covered = {p.values[0].covers for p in CASES if p.values[0] is not None}
    missing = native_surface(module) - covered
    assert not missing, f"add leak cases for {sorted(missing)}"


def test_the_check_sees_a_leak():
    """The harness itself: a call that keeps one new object per call is caught."""
    kept = []
    if sys.getallocatedblocks():  # 0 when the interpreter allocates through plain malloc
        with pytest.raises(AssertionError, match="grows per call"):
            assert_no_leak(Case("kept", "list.append", lambda: kept.append(object())), calls=500, rounds=2)
    arg = object()
    with pytest.raises(AssertionError, match="grows per call"):
        assert_no_leak(Case("kept", "argument", kept.append, (arg,)), calls=500, rounds=2)
