"""Module state of vantorel._parity_watch: every module object has its own, and functions
keep using the state of the module that made them (subinterpreters: test_subinterpreters.py)."""
import gc
import sys

import pytest

import vantorel._parity_watch as pw
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
