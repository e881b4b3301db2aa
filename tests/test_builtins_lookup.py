"""Builtins reached as Python reaches them: the module's globals first, then the builtins
module as it is at that moment. Each case shadows a name (in the module, or in `builtins`
itself) in the native module and in its pure-Python model alike, and compares outcomes."""
import builtins
import contextlib
import enum

import pytest

import vantorel._parity_watch as pw
import vantorel.cycle_roster as cr
from models import cycle_roster_model as cr_model
from models import parity_watch_model as pw_model


def plain(value):
    """A result in comparable form: enum members by value, containers by their items."""
    if isinstance(value, enum.Enum):
        return ("member", value.value)
    if isinstance(value, (frozenset, set)):
        return (type(value).__name__, sorted(plain(v) for v in value))
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [plain(v) for v in value])
    if isinstance(value, dict):
        return ("dict", [(plain(k), plain(v)) for k, v in value.items()])
    return value


def exc_form(exc):
    if exc is None:
        return None
    return (type(exc).__name__, [plain(a) if not isinstance(a, str) else a for a in exc.args])


@contextlib.contextmanager
def shadowed(where, modules, name, value):
    """`name` bound to `value` in each module (where="module") or in builtins."""
    targets = modules if where == "module" else [builtins]
    saved = [(t, vars(t).get(name, KeyError)) for t in targets]
    for t in targets:
        setattr(t, name, value)
    try:
        yield
    finally:
        for t, old in saved:
            if old is KeyError:
                delattr(t, name)
            else:
                setattr(t, name, old)


def run(where, modules, name, value, fn, args):
    with shadowed(where, modules, name, value):
        try:
            result = ("ok", fn(*args))
            error = None
        except BaseException as exc:  # noqa: BLE001 - compared below
            result, error = ("err",), exc
    if error is None:
        return ("ok", plain(result[1]))
    return ("err", exc_form(error), exc_form(error.__cause__), exc_form(error.__context__),
            error.__suppress_context__)


class SStr(str):
    pass


def fake_str(value):
    return SStr("signal_os") if value is not None else "signals"


ROSTER_CASES = [
    ("str", fake_str, "EpochName.from_str", ("nothing",)),
    ("str", fake_str, "valid_epochs_for_category", ("nothing",)),
    ("str", lambda v: " Strategy_OS ", "epochs_for_process_role", ("x",)),
    ("str", lambda v: 5, "_normalize_process_role", ("x",)),
    ("isinstance", lambda o, c: False, "EpochName.from_str", ("signal_is",)),
    ("isinstance", lambda o, c: 1 / 0, "EpochName.from_str", ("signal_is",)),
    ("tuple", list, "_standard_aggregation_epochs", ()),
    ("tuple", lambda it: sorted(m.value for m in it), "_epoch_partition", ("signal",)),
    ("tuple", list, "epochs_for_process_role", ("api",)),
    ("tuple", lambda g: (type(g).__name__, g.__qualname__, next(g)), "_standard_aggregation_epochs", ()),
    ("tuple", lambda g: (type(g).__name__, list(g)), "_epoch_partition", ("strategy",)),
    ("ValueError", KeyError, "EpochName.from_str", ("nothing",)),
    ("ValueError", LookupError, "EpochName.from_str", ("nothing",)),
    ("ValueError", RuntimeError, "epochs_for_submission_type", ("nobody",)),
    ("ValueError", lambda m: KeyError(m.upper()), "epochs_for_process_role", ("nobody",)),
    ("ValueError", str, "EpochName.from_str", ("nothing",)),
    ("ValueError", lambda m: 7, "epochs_for_process_role", ("",)),
    ("ValueError", lambda m: RuntimeError, "valid_epochs_for_category", ("x",)),
    ("KeyError", LookupError, "valid_epochs_for_category", ("x",)),
    ("KeyError", IndexError, "valid_epochs_for_category", ("x",)),
    ("KeyError", (IndexError, KeyError), "valid_epochs_for_category", ("x",)),
    ("KeyError", (IndexError, 3), "valid_epochs_for_category", ("x",)),
]


def resolve(module, dotted):
    obj = module
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("where", ["module", "builtins"])
@pytest.mark.parametrize("name, value, function, args", ROSTER_CASES,
                         ids=[f"{c[0]}-{c[2]}-{i}" for i, c in enumerate(ROSTER_CASES)])
def test_roster_builtins_are_looked_up_at_call_time(where, name, value, function, args):
    mods = [cr, cr_model]
    got = run(where, mods, name, value, resolve(cr, function), args)
    want = run(where, mods, name, value, resolve(cr_model, function), args)
    assert got == want
    # The shadow is gone: the next call answers as before (the memo forgot it).
    unshadowed = run("module", [], "unused", None, resolve(cr, function), args)
    assert unshadowed == run("module", [], "unused", None, resolve(cr_model, function), args)
    assert unshadowed != got or name not in ("str", "tuple")


def test_roster_unbound_builtin_is_a_name_error():
    real = builtins.KeyError
    del builtins.KeyError
    try:
        got = run("module", [], "x", 0, cr.valid_epochs_for_category, ("x",))
        want = run("module", [], "x", 0, cr_model.valid_epochs_for_category, ("x",))
    finally:
        builtins.KeyError = real
    assert got == want and got[1][0] == "NameError"


# ---------------------------------------------------------------- _parity_watch

class ShapeStr(str):
    def lower(self):
        return "value is missing"


def pw_call(module, function, args, kwargs):
    return lambda: resolve(module, function)(*args, **kwargs)


PARITY_CASES = [
    ("str", lambda v: "S", "_bounded_text", (12345,), {}),
    ("str", lambda v: "x" * 200, "_bounded_text", (1,), {}),
    ("str", lambda v: 7, "_bounded_text", (1,), {}),
    ("len", lambda v: 1000, "_bounded_text", ("abc", 2), {}),
    ("len", lambda v: 0, "_bounded_text", ("x" * 200,), {}),
    ("str", lambda v: ShapeStr("shape_key"), "projection_mismatch_reason", (["a"],), {}),
    ("str", lambda v: "MISSING", "projection_mismatch_reason", (["a"],), {}),
    ("str", lambda v: f"<{v!r}>", "_json_safe", ({1: (2, {3}), "b": None},), {}),
    ("str", lambda v: f"<{v!r}>", "projection_hash", ({1: (2, {3}), "b": None},), {}),
    ("str", lambda v: f"<{v!r}>", "_projection_shape_axes", ({"shape_fields": ["a", ""]}, None), {}),
    ("str", lambda v: f"<{v!r}>", "_projection_shape_axes", ({}, {"k": 1, 2: 3}), {}),
    ("str", lambda v: f"<{v!r}>", "_tags",
     (), {"data": {"market_id": 1}, "projection": {"shape_key": {"a": 2}}, "reason_code": "r"}),
    ("isinstance", lambda o, c: True, "_json_safe", (5,), {}),
    ("isinstance", lambda o, c: c is not pw.Mapping and c is not pw_model.Mapping and False,
     "projection_hash", ({"a": [1]},), {}),
    ("isinstance", lambda o, c: False, "_projection_version", ({"version": 3},), {}),
    ("isinstance", lambda o, c: 0, "_tags",
     (), {"data": {"market_id": 1}, "projection": {"version": 2}, "reason_code": "r"}),
    ("list", set, "_json_safe", ([1, (2,)],), {}),
    ("tuple", dict, "_json_safe", ([1, (2,)],), {}),
    ("tuple", list, "_projection_shape_axes", ({"shape_fields": ("a", "b")}, None), {}),
    ("tuple", lambda g: (type(g).__name__, g.__qualname__, next(g, None)), "_projection_shape_axes",
     ({"shape_fields": ["a", "b"]}, None), {}),
    ("tuple", lambda g: (type(g).__name__, list(g)), "_projection_shape_axes", ({}, {"k": 1, 2: 3}), {}),
    ("tuple", lambda g: (), "_projection_shape_axes", ({"shape_fields": ["a"]}, {"k": 1}), {}),
    ("int", bool, "_json_safe", ([1, 2.5, True],), {}),
    ("float", int, "_json_safe", ([1.5, 2],), {}),
    ("bool", float, "_json_safe", ([1.5, "x", object],), {}),
    ("bool", float, "projection_hash", ({"a": [1.5, 2, None]},), {}),
    ("str", lambda v: (_ for _ in ()).throw(KeyError("k")), "projection_mismatch_reason", ([1],), {}),
]


@pytest.mark.parametrize("where", ["module", "builtins"])
@pytest.mark.parametrize("name, value, function, args, kwargs", PARITY_CASES,
                         ids=[f"{c[0]}-{c[2]}-{i}" for i, c in enumerate(PARITY_CASES)])
def test_parity_builtins_are_looked_up_at_call_time(where, name, value, function, args, kwargs):
    mods = [pw, pw_model]
    got = run(where, mods, name, value, lambda: resolve(pw, function)(*args, **kwargs), ())
    want = run(where, mods, name, value, lambda: resolve(pw_model, function)(*args, **kwargs), ())
    assert got == want


def test_builtins_replaced_in_builtins_module_are_seen():
    """Names the interpreter's own machinery can spare are replaced in `builtins` itself."""
    real_len, real_str = builtins.len, builtins.str
    seen = []

    def counting_len(v):
        seen.append(v)
        return real_len(v)

    builtins.len = counting_len
    try:
        assert pw._bounded_text("abc") == "abc"
    finally:
        builtins.len = real_len
    assert seen == ["abc"]
    assert pw._bounded_text("abc") == "abc" and seen == ["abc"]
    assert real_str is str


def test_str_subclass_lower_is_called_as_the_host_calls_it():
    class Loud:
        def __str__(self):
            return ShapeStr("Shape_Key")
    assert pw.projection_mismatch_reason([Loud()]) == "invalid_projection"
    assert pw_model.projection_mismatch_reason([Loud()]) == "invalid_projection"
    # str() of a str subclass is a plain str: its lower() is str's own.
    assert pw.projection_mismatch_reason([ShapeStr("x")]) == "projection_mismatch"
    assert pw_model.projection_mismatch_reason([ShapeStr("x")]) == "projection_mismatch"


def test_a_shadowed_tuple_gets_a_lazy_generator():
    """Only the items the replacement asks for are made: str() of the rest never runs."""
    seen = []

    class Field(str):
        def __str__(self):
            seen.append(self)
            return str.__str__(self)

    fields = {"shape_fields": [Field("a"), Field("b"), Field("c")]}
    for module in (pw, pw_model):
        seen.clear()
        with shadowed("module", [module], "tuple", lambda g: (next(g),)):
            assert module._projection_shape_axes(fields, None) == ("a",)
        assert seen == ["a"]


def test_exception_shadowed_changes_what_the_hand_off_catches():
    class Runtime:
        def register_call_site(self, **kw):
            return "site"

        def warn(self, *a, **kw):
            raise RuntimeError("down")

    for module in (pw, pw_model):
        telemetry = module.SimulationContractSdkTelemetry(Runtime())
        with shadowed("module", [module], "Exception", KeyError):
            with pytest.raises(RuntimeError, match="down"):
                telemetry.record_projection_mismatch(data={}, projection=None, mismatches=[])
        with shadowed("module", [module], "Exception", (KeyError, RuntimeError)):
            assert telemetry.record_projection_mismatch(data={}, projection=None,
                                                        mismatches=[]) is False
        with shadowed("module", [module], "int", lambda v: "seven"):
            # warn raises for the bad stamp is not reached: this runtime raises anyway.
            assert telemetry.record_projection_mismatch(data={}, projection=None,
                                                        mismatches=[], epoch_ns=7) is False
        with shadowed("module", [module], "Exception", 5):
            with pytest.raises(TypeError, match="catching classes") as info:
                telemetry.record_projection_mismatch(data={}, projection=None, mismatches=[])
            assert type(info.value.__context__) is RuntimeError
