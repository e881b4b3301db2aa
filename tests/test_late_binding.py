"""The names each module's native shortcuts depend on, and proof that rebinding any of
them is seen by the very next call, with the memo of late-bound names warm. The list
below is each module's declared table; where the source tree is at hand it must match
the tables in native/ entry for entry, so a dependency added there is tested here.

The memo rests on the host's dict watchers from 3.12 on: the package takes one watcher
id per interpreter, and where none is free every call looks its names up in full. A
child interpreter that takes every free id first shows that fallback exact."""
import builtins
import enum
import json
import json.encoder
import hashlib
import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import vantorel._parity_watch as pw
import vantorel.cycle_roster as cr
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from interpreter import PYTHON
from models import cycle_roster_model as cr_model
from models.logarithmic_model import FUNCTIONS, Instance

# Each module's declared dependencies beyond the layer's builtins, as (kind, name, owner).
DECLARED = {
    "parity_watch": [
        ("global", "Mapping", None), ("global", "json", None), ("attribute", "dumps", "json"),
        ("attribute", "JSONEncoder", "json"), ("attribute", "encoder", "json"),
        ("attribute", "c_make_encoder", "encoder"), ("attribute", "encode_basestring_ascii", "encoder"),
        ("global", "hashlib", None), ("attribute", "sha256", "hashlib"), ("global", "_json_safe", None),
        ("global", "_bounded_text", None), ("global", "TelemetryRuntime", None), ("global", "Severity", None),
        ("global", "_CALL_SITE_NAME", None), ("global", "__file__", None), ("global", "_TAG_KEYS", None),
        ("global", "_PARENT_HOME", None), ("global", "SimulationContractSdkTelemetry", None),
    ] + [("global", f, None) for f in ("_projection_version", "projection_hash", "_projection_shape_axes",
                                       "projection_mismatch_reason", "_tags", "default_parity_watch")],
    "cycle_roster": [("global", "EpochName", None), ("global", "_VALID_EPOCHS_BY_CATEGORY", None),
                     *[("entry", c, "_VALID_EPOCHS_BY_CATEGORY")
                       for c in ("aggregations", "features", "signals", "universes", "strategies")]]
    + [("global", f, None) for f in ("valid_epochs_for_category", "_standard_aggregation_epochs", "_epoch_partition",
                                     "_normalize_process_role", "epochs_for_submission_type")],
    "logarithmic": [("global", "np", None), ("global", "math", None)]
    + [("attribute", a, "np") for a in ("full", "float64", "isnan", "isinf", "prod", "any", "sum", "log", "abs")]
    + [("attribute", a, "math") for a in ("nan", "isnan", "isinf", "exp")]
    + [("builtin", "range", None), ("builtin", "max", None)],
}
LAYER_BUILTINS = ["str", "len", "isinstance", "tuple", "list", "int", "float", "bool", "ValueError", "KeyError",
                  "Exception"]
SOURCES = {"parity_watch": "parity_watch/state.cpp", "cycle_roster": "cycle_roster/roster.hpp",
           "logarithmic": "logarithmic/state.cpp"}
NATIVE = pathlib.Path(__file__).resolve().parent.parent / "native"
ENTRY = re.compile(r'\{\s*(?:dep::)?\w+,\s*(?:pyapi::DepKind::)?(\w+),\s*"([^"]+)"(?:,\s*(?:dep::)?(\w+))?')
KIND = {"G": "global", "A": "attribute", "B": "builtin", "global": "global", "entry": "entry"}


def declared_in_source(module):
    text = (NATIVE / SOURCES[module]).read_text()
    table = text[text.index("Dependency kDependencies"):]
    table = table[: table.index("};")]
    names = {}
    entries = []
    for kind, name, owner in ENTRY.findall(table):
        entries.append((KIND[kind], name, owner or None))
    # Owners are spelled as entry ids in the source; map them back to the names tested here.
    ids = re.findall(r"\{\s*(?:dep::)?(\w+),", table)
    names = dict(zip(ids, [e[1] for e in entries]))
    return [(k, n, names.get(o, o) if o and not o.isdigit() else None) for k, n, o in entries]


@pytest.mark.parametrize("module", list(DECLARED))
def test_the_declared_tables_are_the_ones_tested(module):
    if not (NATIVE / SOURCES[module]).is_file() or not (NATIVE / "pyapi/builtins.cpp").is_file():
        pytest.skip("the sources are not beside the tests (an installed wheel's run)")
    assert declared_in_source(module) == DECLARED[module]
    layer = (NATIVE / "pyapi/builtins.cpp").read_text()
    assert re.findall(r'kB, "(\w+)"', layer) == LAYER_BUILTINS


# ----------------------------------------------------------------- parity_watch


class Runtime:
    """A telemetry runtime that records what it is handed."""

    def __init__(self):
        self.sites, self.warned = [], []

    def register_call_site(self, **kw):
        self.sites.append(kw)
        return "site"

    def warn(self, *args, **kw):
        self.warned.append((args, kw))
        return True


def spy(calls, target, tag):
    def wrapper(*args, **kwargs):
        calls.append(tag)
        return target(*args, **kwargs)

    return wrapper


def module_like(original, **replaced):
    """A module whose attributes are the original's but for `replaced`."""
    clone = type(sys)(original.__name__)
    clone.__dict__.update(vars(original))
    clone.__dict__.update(replaced)
    return clone


PROJECTION = {"market_id": "m", "era_number": 3, "version": "v1", "text": "caf\u00e9", "shape_fields": ["a", "b"]}


def warm():
    for _ in range(3):
        pw.projection_hash(PROJECTION)
        pw._tags(data={"market_id": "m"}, projection=PROJECTION, reason_code="shape_mismatch")


def hash_calls(monkeypatch, target, name, make):
    warm()
    calls = []
    monkeypatch.setattr(target, name, make(calls))
    pw.projection_hash(PROJECTION)
    return calls


class CountingABC(type):
    def __instancecheck__(cls, obj):
        cls.calls.append("Mapping")
        return isinstance(obj, dict)


def counting_encoder(calls):
    base = json.JSONEncoder

    class Encoder(base):
        def encode(self, o):
            calls.append("JSONEncoder")
            return base.encode(self, o)

    return Encoder


def test_parity_watch_hash_dependencies_are_late_bound(monkeypatch):
    cases = [
        (pw, "Mapping", lambda c: CountingABC("M", (), {"calls": c})),
        (pw, "json", lambda c: module_like(json, dumps=spy(c, json.dumps, "json"))),
        (json, "dumps", lambda c: spy(c, json.dumps, "dumps")),
        (json, "JSONEncoder", counting_encoder),
        (json.encoder, "c_make_encoder", lambda c: spy(c, json.encoder.c_make_encoder, "c")),
        (json.encoder, "encode_basestring_ascii", lambda c: spy(c, json.encoder.encode_basestring_ascii, "e")),
        (pw, "hashlib", lambda c: module_like(hashlib, sha256=spy(c, hashlib.sha256, "hashlib"))),
        (hashlib, "sha256", lambda c: spy(c, hashlib.sha256, "sha256")),
        (pw, "_json_safe", lambda c: spy(c, pw._json_safe, "_json_safe")),
    ]
    for target, name, make in cases:
        expected = pw.projection_hash(PROJECTION)
        calls = hash_calls(monkeypatch, target, name, make)
        assert calls, f"{target.__name__}.{name} rebound, yet the next call did not reach it"
        assert pw.projection_hash(PROJECTION) == expected
        monkeypatch.undo()
        assert pw.projection_hash(PROJECTION) == expected


def test_json_encoder_rebound_changes_nothing_but_stays_exact(monkeypatch):
    expected = pw.projection_hash(PROJECTION)
    warm()
    monkeypatch.setattr(json, "encoder", module_like(json.encoder))
    assert pw.projection_hash(PROJECTION) == expected


def test_parity_watch_tag_and_site_dependencies_are_late_bound(monkeypatch):
    warm()
    calls = []
    monkeypatch.setattr(pw, "_bounded_text", spy(calls, pw._bounded_text, "b"))
    monkeypatch.setattr(pw, "_PARENT_HOME", "elsewhere")
    tags = pw._tags(data={"market_id": "m"}, projection=PROJECTION, reason_code="shape_mismatch")
    assert calls and tags["parent_home"] == "elsewhere"

    monkeypatch.setattr(pw, "_CALL_SITE_NAME", "site.name")
    monkeypatch.setattr(pw, "__file__", "/some/file.py")
    monkeypatch.setattr(pw, "_TAG_KEYS", ("only",))
    monkeypatch.setattr(pw, "Severity", type("S", (), {"WARN": "warn!"}))
    runtime = Runtime()
    pw.SimulationContractSdkTelemetry(runtime=runtime)
    site = runtime.sites[0]
    assert (site["name"], site["file"], site["tag_keys"], site["severity_default"]) == (
        "site.name", "/some/file.py", ("only",), "warn!")

    made = []
    monkeypatch.setattr(pw, "TelemetryRuntime", lambda **kw: made.append(kw) or Runtime())
    pw.SimulationContractSdkTelemetry()
    assert made == [{"component": "vantorel_sdk", "lanes": 1, "ring_capacity": 128}]

    built = []
    real = pw.SimulationContractSdkTelemetry
    monkeypatch.setattr(pw, "SimulationContractSdkTelemetry", lambda rt=None: built.append(rt) or real(rt))
    monkeypatch.setattr(pw, "_DEFAULT_TELEMETRY", None)
    pw.configure_parity_watch(runtime)
    assert built == [runtime]


# ----------------------------------------------------------------- cycle_roster


def test_cycle_roster_epoch_name_is_late_bound(monkeypatch):
    for _ in range(3):
        cr.epochs_for_process_role("api")
        cr.epochs_for_submission_type("signal")
    Other = enum.Enum("EpochName", {"SIGNAL_OS": "signal_os", "EXTRA_OS": "extra_os"}, type=str)
    monkeypatch.setattr(cr, "EpochName", Other)
    monkeypatch.setattr(cr_model, "EpochName", Other)
    for fn in ("epochs_for_process_role", "epochs_for_submission_type"):
        for arg in ("api", "signal", "strategy", "backtest"):
            got = expected = None
            try:
                got = getattr(cr, fn)(arg)
            except ValueError as exc:
                got = ("ValueError", str(exc))
            try:
                expected = getattr(cr_model, fn)(arg)
            except ValueError as exc:
                expected = ("ValueError", str(exc))
            assert got == expected, (fn, arg)


def test_cycle_roster_known_answers_give_way(monkeypatch):
    """The aggregation set, membership in it and isinstance() are known while nothing they
    rest on moved: each change below is seen by the very next call."""
    E = cr.EpochName
    for _ in range(3):
        cr.epochs_for_process_role("api")
        E.from_str("signal_os")
    # The table's entry replaced in place (the table itself stays the module's).
    monkeypatch.setitem(cr._VALID_EPOCHS_BY_CATEGORY, "aggregations", frozenset({E.SIGNAL_IS_POOL}))
    assert cr.epochs_for_process_role("api") == (E.SIGNAL_IS_POOL,)
    assert cr._epoch_partition("signal") == (E.SIGNAL_IS_POOL,)
    monkeypatch.undo()
    assert cr.epochs_for_process_role(None) == (E.SIGNAL_IS, E.SIGNAL_OS, E.STRATEGY_IS, E.STRATEGY_OS)
    # Asked by the table's own key: the entry as it is now, or the lookup's error once gone.
    replaced = frozenset({E.STRATEGY_OS})
    monkeypatch.setitem(cr._VALID_EPOCHS_BY_CATEGORY, "signals", replaced)
    assert cr.valid_epochs_for_category("signals") is replaced
    monkeypatch.delitem(cr._VALID_EPOCHS_BY_CATEGORY, "strategies")
    with pytest.raises(ValueError, match="Unknown epoch category 'strategies'"):
        cr.valid_epochs_for_category("strategies")
    monkeypatch.undo()
    assert cr.valid_epochs_for_category("strategies") == {E.STRATEGY_IS, E.STRATEGY_OS}

    # Members hashed by caller code: the set lookups run it again, one per member walked.
    hashed = []

    def counting_hash(self):
        hashed.append(self.value)
        return str.__hash__(self)

    monkeypatch.setattr(E, "__hash__", counting_hash, raising=False)
    assert cr._standard_aggregation_epochs() == (E.SIGNAL_IS, E.SIGNAL_OS, E.STRATEGY_IS, E.STRATEGY_OS)
    assert hashed == [m.value for m in E]
    monkeypatch.undo()

    # A metaclass that answers isinstance() itself is asked for a plain str too.
    asked = []
    own = type(E).__instancecheck__

    def instancecheck(cls, obj):
        asked.append(obj)
        return own(cls, obj)

    monkeypatch.setattr(type(E), "__instancecheck__", instancecheck, raising=False)
    assert E.from_str("signal_os") is E.SIGNAL_OS
    assert asked == ["signal_os"]
    monkeypatch.undo()
    assert E.from_str("signal_os") is E.SIGNAL_OS and asked == ["signal_os"]


# ----------------------------------------------------------------- logarithmic

DATA = np.array([[2.0, -1.0], [3.0, np.nan], [4.0, 5.0]])


def batch(key):
    return getattr(lg, f"longitudinal_logarithmic_{key}_batch_reference")


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_every_logarithmic_dependency_is_late_bound(key, monkeypatch):
    fn = batch(key)
    expected = FUNCTIONS[key](Instance(2), DATA)
    names = [(np, a) for a in ("full", "isnan", "isinf", "prod", "any", "sum", "log", "abs")]
    names += [(math, a) for a in ("isnan", "isinf", "exp")] + [(builtins, "range"), (builtins, "max")]
    for target, name in names:
        for _ in range(2):
            fn(Instance(2), DATA)  # the memo warm, the native path taken
        calls = []
        monkeypatch.setattr(target, name, spy(calls, getattr(target, name), name))
        out = fn(Instance(2), DATA)
        monkeypatch.undo()
        np.testing.assert_array_equal(out, expected)
        # A name the computation needs on these values is reached per cell.
        only = "694eff" if name == "prod" else "665270" if name in ("any", "sum", "log", "abs", "exp") else key
        if only == key:
            assert calls, f"{target.__name__}.{name} rebound, yet the next call did not reach it"
    # Values, not callables: a different object must be what the next call stores.
    monkeypatch.setattr(math, "nan", -7.0)
    assert fn(Instance(2), DATA)[0, 1] == -7.0
    monkeypatch.undo()
    for rebound in ({"np": module_like(np, float64=np.float32)}, {"math": module_like(math, nan=-8.0)}):
        fn(Instance(2), DATA)
        for name, value in rebound.items():
            monkeypatch.setattr(lg, name, value)
        out = fn(Instance(2), DATA)
        monkeypatch.undo()
        assert out.dtype == np.float32 if "np" in rebound else out[0, 1] == -8.0


# ----------------------------------------------------------------- no watcher free

FALLBACK = r"""
import builtins, ctypes, json, sys
import numpy as np
callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
keep = callback(lambda *a: 0)
add = ctypes.pythonapi.PyDict_AddWatcher
add.restype, add.argtypes = ctypes.c_int, [callback]
taken = 0
while True:
    try:
        if add(keep) < 0:
            break
    except RuntimeError:
        break
    taken += 1
print("taken", taken)
import vantorel._parity_watch as pw, vantorel.cycle_roster as cr
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg

class I:
    window = 2

data = np.array([[2.0], [3.0]])
p = {"a": 1}
for _ in range(3):
    h, r, g = pw.projection_hash(p), cr.EpochName.from_str("signal_os"), lg.longitudinal_logarithmic_694eff_batch_reference(I(), data)
json_dumps = json.dumps
json.dumps = lambda *a, **k: '"x"'
assert pw.projection_hash(p) != h
json.dumps = json_dumps
assert pw.projection_hash(p) == h
builtins.str = lambda v: "signal_is"
assert cr.EpochName.from_str(object()) is cr.EpochName.SIGNAL_IS
del builtins.str
builtins.str = type("")
np_prod = np.prod
np.prod = lambda v: -1.0
assert lg.longitudinal_logarithmic_694eff_batch_reference(I(), data)[1, 0] == -1.0
np.prod = np_prod
assert lg.longitudinal_logarithmic_694eff_batch_reference(I(), data)[1, 0] == 6.0
print("exact")
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers exist from 3.12 on")
def test_without_a_free_watcher_every_call_is_still_exact():
    run = subprocess.run([*PYTHON, "-c", FALLBACK], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split()
    assert lines[0] == "taken" and int(lines[1]) >= 1 and lines[-1] == "exact"


# ----------------------------------------------------------------- subinterpreters

IN_SUBINTERPRETER = """
import builtins, json
import vantorel._parity_watch as pw, vantorel.cycle_roster as cr
p = {"a": 1}
for _ in range(3):
    h = pw.projection_hash(p)
    member = cr.EpochName.from_str("signal_os")
seen = []
real_dumps = json.dumps
json.dumps = lambda *a, **k: '"x"'
seen.append(pw.projection_hash(p) != h)
json.dumps = real_dumps
seen.append(pw.projection_hash(p) == h)
real_str = builtins.str
builtins.str = lambda v: "signal_is"
try:
    seen.append(cr.EpochName.from_str(object()) is cr.EpochName.SIGNAL_IS)
finally:
    builtins.str = real_str
cr.EpochName, real_class = None, cr.EpochName
try:
    cr.epochs_for_process_role("nobody-at-all")
except Exception as exc:
    seen.append(type(exc).__name__)
cr.EpochName = real_class
seen.append([e.value for e in cr.epochs_for_process_role("api")])
result = seen
"""

SUBINTERPRETER_SCENARIO = """
import json, sys
sys.path.insert(0, {tests!r})
import subinterpreters as si
out = {{}}
for kind in si.KINDS:
    out[kind] = si.run_once(kind, {code!r})
print(json.dumps(out))
"""


def test_rebinding_is_seen_inside_subinterpreters():
    tests = str(pathlib.Path(__file__).resolve().parent)
    script = SUBINTERPRETER_SCENARIO.format(tests=tests, code=IN_SUBINTERPRETER)
    run = subprocess.run([*PYTHON, "-c", script], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-4000:]
    got = json.loads(run.stdout.splitlines()[-1])
    expected = [True, True, True, "TypeError", ["signal_is", "signal_os", "strategy_is", "strategy_os"]]
    assert got and all(v == {"result": expected} for v in got.values()), got
