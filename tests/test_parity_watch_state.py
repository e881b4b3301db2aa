"""Module state of vantorel._parity_watch: every module object (a fresh import, a
subinterpreter) has its own, and functions keep using the state of the module that made
them."""
import gc
import subprocess
import sys

import pytest

import vantorel._parity_watch as pw
from interpreter import PYTHON
from models import parity_watch_model as pw_model

NAME = "vantorel._parity_watch"
PROJECTION = {"projection_version": "v3", "shape_fields": ["lane"], "shape_key": {"lane": "L1"},
              "rows": [1, 2.5, None, True, "x\u00e9"]}


def fresh_module():
    saved = sys.modules.pop(NAME)
    try:
        __import__(NAME)
        return sys.modules[NAME]
    finally:
        sys.modules[NAME] = saved


class FakeSha:
    def __init__(self, payload):
        self.payload = payload

    def hexdigest(self):
        return "f" * 64


class FakeHashlib:
    sha256 = FakeSha


def test_fresh_imports_have_their_own_globals_defaults_and_originals():
    one, two = fresh_module(), fresh_module()
    assert one is not two and one.projection_hash is not two.projection_hash
    expected = pw_model.projection_hash(PROJECTION)
    first = one.configure_parity_watch()
    assert two._DEFAULT_TELEMETRY is None and pw._DEFAULT_TELEMETRY is not first
    assert two.default_parity_watch() is not first and one.default_parity_watch() is first
    # Each module compares against the objects its own body bound.
    one.hashlib = FakeHashlib()
    assert one.projection_hash(PROJECTION) == "f" * 16
    assert two.projection_hash(PROJECTION) == pw.projection_hash(PROJECTION) == expected
    del one.hashlib
    with pytest.raises(NameError, match="name 'hashlib' is not defined"):
        one.projection_hash(PROJECTION)
    assert two.projection_hash(PROJECTION) == expected


def test_functions_outlive_their_module_object_and_keep_its_state():
    m = fresh_module()
    telemetry = m.configure_parity_watch()
    fns = (m.projection_hash, m._tags, m.record_projection_mismatch, m.default_parity_watch)
    namespace = fns[0].__globals__
    assert namespace is vars(m)
    del m
    gc.collect()
    projection_hash, tags, record, default = fns
    assert projection_hash(PROJECTION) == pw_model.projection_hash(PROJECTION)
    assert tags(data={"market_id": "M"}, projection=PROJECTION, reason_code="r") == \
        pw_model._tags(data={"market_id": "M"}, projection=PROJECTION, reason_code="r")
    assert default() is telemetry
    assert record(data={}, projection=PROJECTION, mismatches=["missing x"], epoch_ns=3) is True
    assert len(telemetry.snapshot_anomalies()) == 1
    assert namespace["_DEFAULT_TELEMETRY"] is telemetry


@pytest.mark.parametrize("which", ["declared", "keys"])
def test_the_generator_a_shadowed_tuple_receives_looks_like_the_hosts(which):
    projection = {"shape_fields": ["a", 1, "", "b"]} if which == "declared" else {}
    shape_key = {"k1": 1, 2: 2}
    seen = {}
    for module in (pw, pw_model):
        class Capture:  # a class: `isinstance(x, (list, tuple))` reads it too
            def __new__(cls, gen, module=module):
                seen[module] = (type(gen).__name__, gen.__name__, gen.__qualname__,
                                repr(gen).split(" at ")[0], iter(gen) is gen, list(gen), list(gen))
                return ("shadowed",)
        module.tuple = Capture
        try:
            assert module._projection_shape_axes(projection, shape_key) == ("shadowed",)
        finally:
            del module.tuple
    assert seen[pw] == seen[pw_model]
    assert seen[pw][2] == "_projection_shape_axes.<locals>.<genexpr>"


SUBINTERPRETERS = '''
try:  # 3.13
    import _interpreters as interpreters

    def run(interp, code):
        failure = interpreters.exec(interp, code)
        assert failure is None, failure
except ImportError:  # 3.10-3.12 (on 3.12 each subinterpreter has its own GIL)
    import _xxsubinterpreters as interpreters
    run = interpreters.run_string
import vantorel._parity_watch as pw

# A stand-in for the runtime module, to test this module alone.
STUB = """
import sys, types
import vantorel
stub = types.ModuleType("vantorel._sdk_telemetry")
class Severity:
    WARN = "warn"
class TelemetryRuntime:
    def __init__(self, **kw):
        self.records = []
    def register_call_site(self, **kw):
        return "site"
    def warn(self, *args, **kw):
        self.records.append(args)
        return True
    def snapshot_anomalies(self):
        return tuple(self.records)
stub.Severity, stub.TelemetryRuntime, stub.AnomalyRecord = Severity, TelemetryRuntime, object
sys.modules[stub.__name__] = stub
"""
CHECK = """
import vantorel._parity_watch as pw
assert (pw._DEFAULT_TELEMETRY is None) == FIRST, pw._DEFAULT_TELEMETRY
d = pw.default_parity_watch()
assert pw.record_projection_mismatch(data={}, projection={"a": [1]}, mismatches=["m"],
                                     epoch_ns=1) is True
assert len(d.snapshot_anomalies()) == COUNT
assert pw.projection_hash({"a": [1, "x"]}) == DIGEST
""".replace("DIGEST", repr(pw.projection_hash({"a": [1, "x"]})))
main = pw.default_parity_watch()
a, b = interpreters.create(), interpreters.create()
if STUBBED:
    run(a, STUB)
    run(b, STUB)
run(a, CHECK.replace("FIRST", "True").replace("COUNT", "1"))
run(b, CHECK.replace("FIRST", "True").replace("COUNT", "1"))
run(a, CHECK.replace("FIRST", "False").replace("COUNT", "2"))
interpreters.destroy(a)
assert pw._DEFAULT_TELEMETRY is main and not main.snapshot_anomalies()
run(b, CHECK.replace("FIRST", "False").replace("COUNT", "2"))
interpreters.destroy(b)
assert pw.default_parity_watch() is main
print("ok")
'''


@pytest.mark.parametrize("stubbed", [False, True], ids=["runtime", "stub-runtime"])
def test_two_subinterpreters_get_independent_defaults(stubbed):
    """In a child process: each subinterpreter has its own module, state and default object,
    and neither disturbs the main interpreter's."""
    code = f"STUBBED = {stubbed}\n" + SUBINTERPRETERS
    run = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True, timeout=120)
    if not stubbed and "does not support loading in subinterpreters" in run.stderr:
        pytest.skip("vantorel._sdk_telemetry refuses subinterpreters on this interpreter")
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr
