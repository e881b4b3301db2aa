"""The native function type: metadata, binding and CPython's own refusal texts.

Every native function is compared with its pure-Python twin from tests/models:
same signature, and for any call shape the same TypeError text (or the same
success) on the running interpreter.
"""
import copy
import importlib
import inspect
import pickle
import weakref

import pytest
from hypothesis import given, strategies as st

import vantorel.cycle_roster as cr
from models import cycle_roster_model as roster_model


def _pairs():
    pairs = [(getattr(cr, n), getattr(roster_model, n)) for n in (
        "valid_epochs_for_category", "_standard_aggregation_epochs", "_epoch_partition",
        "_normalize_process_role", "epochs_for_submission_type", "epochs_for_process_role")]
    pairs.append((cr.EpochName.from_str, roster_model.EpochName.from_str))
    pairs.append((vars(cr.EpochName)["from_str"].__func__, vars(roster_model.EpochName)["from_str"].__func__))
    try:
        pw = importlib.import_module("vantorel._parity_watch")
        pwm = importlib.import_module("models.parity_watch_model")
    except ImportError:
        return pairs
    for name in ("_tags", "_bounded_text", "_json_safe", "projection_hash", "_projection_shape_axes",
                 "configure_parity_watch", "default_parity_watch", "record_projection_mismatch"):
        if hasattr(pw, name) and hasattr(pwm, name):
            pairs.append((getattr(pw, name), getattr(pwm, name)))
    cls, twin = getattr(pw, "SimulationContractSdkTelemetry", None), getattr(
        pwm, "SimulationContractSdkTelemetry", None)
    if cls is not None and twin is not None:
        for name in ("__init__", "record_projection_mismatch", "snapshot_anomalies"):
            pairs.append((vars(cls)[name], vars(twin)[name]))
    return pairs


PAIRS = _pairs()
IDS = [getattr(f, "__qualname__", repr(f)) for f, _ in PAIRS]


def refusal(fn, args, kwargs):
    """The TypeError text a call shape earns, or None when binding succeeds."""
    try:
        inspect.signature(fn).bind(*args, **kwargs)
    except TypeError:
        pass
    else:
        return None
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("binding refused by inspect but accepted by the call")


@pytest.mark.parametrize("native, twin", PAIRS, ids=IDS)
def test_metadata_matches_a_python_def(native, twin):
    for attr in ("__name__", "__qualname__", "__annotations__", "__defaults__"):
        assert getattr(native, attr) == getattr(twin, attr), attr
    assert inspect.signature(native) == inspect.signature(twin)
    assert native.__doc__.startswith(native.__qualname__ + "(")
    kw_native, kw_twin = native.__kwdefaults__, twin.__kwdefaults__
    assert (kw_native is None) == (kw_twin is None)
    if kw_native is not None:
        assert kw_native.keys() == kw_twin.keys()


ARG = st.sampled_from([None, "signal", 0, "x"])
NAMES = st.sampled_from(["value", "role", "category", "prefix", "submission_type", "cls", "self",
                         "data", "projection", "reason_code", "max_len", "runtime", "clock_ns",
                         "mismatches", "epoch_ns", "rol", "valu", "x"])


@pytest.mark.parametrize("native, twin", PAIRS, ids=IDS)
@given(args=st.lists(ARG, max_size=4), kwargs=st.dictionaries(NAMES, ARG, max_size=3))
def test_bad_calls_are_refused_like_python(native, twin, args, kwargs):
    expected = refusal(twin, args, kwargs)
    if expected is None:
        return  # a well-formed call: behaviour is covered by the module tests
    assert refusal(native, args, kwargs) == expected


def test_binding_as_method_classmethod_and_property():
    fn = cr._normalize_process_role
    assert fn.__get__(None, object) is fn
    bound = fn.__get__(" X_Y ")
    assert bound.__self__ == " X_Y " and bound.__func__ is fn and bound() == "x-y"

    holder = type("Holder", (), {"norm": fn, "prop": property(fn), "cm": classmethod(fn)})
    h = holder()
    assert h.norm() == str(h).strip().lower().replace("_", "-")
    assert h.prop == h.norm()
    assert holder.cm() == str(holder).lower().replace("_", "-")
    assert inspect.signature(h.norm) == inspect.signature(lambda: None).replace(
        return_annotation="str")


def test_function_object_protocols():
    fn = cr.epochs_for_process_role
    assert repr(fn).startswith("<function epochs_for_process_role at 0x")
    assert fn.__globals__ is vars(cr)
    assert inspect.isroutine(fn) and callable(fn)
    ref = weakref.ref(fn)
    assert ref() is fn
    fn.__dict__["note"] = 1
    assert fn.note == 1
    del fn.note
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert copy.deepcopy(fn) is fn or copy.deepcopy(fn)("api") == fn("api")
    code = fn.__code__
    assert code.co_argcount == 1 and code.co_varnames == ("role",)


def test_metadata_is_writable_like_a_python_function():
    fn = cr._epoch_partition
    saved = fn.__doc__, fn.__defaults__, fn.__qualname__
    try:
        fn.__defaults__ = ("signal",)
        assert fn() == (cr.EpochName.SIGNAL_IS, cr.EpochName.SIGNAL_OS)
        assert str(inspect.signature(fn)).startswith("(prefix: 'str' = 'signal')")
        fn.__qualname__ = "renamed"
        with pytest.raises(TypeError, match=r"^renamed\(\) takes from 0 to 1 positional"):
            fn(1, 2)
        with pytest.raises(TypeError):
            fn.__defaults__ = [1]
        with pytest.raises(TypeError):
            fn.__qualname__ = 3
    finally:
        fn.__doc__, fn.__defaults__, fn.__qualname__ = saved
    assert fn.__defaults__ is None


def test_non_string_keywords_are_refused():
    with pytest.raises(TypeError, match="keywords must be strings"):
        cr.epochs_for_process_role(**{1: 2})


def _native_functions():
    """Every native function of every module, found by walking the modules and their classes."""
    found = {}
    for dotted in ("vantorel.cycle_roster", "vantorel._parity_watch",
                   "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"):
        try:
            module = importlib.import_module(dotted)
        except ImportError:
            continue
        kind = type(cr.valid_epochs_for_category)
        spaces = [vars(module)] + [vars(v) for v in vars(module).values()
                                   if isinstance(v, type) and v.__module__ == dotted]
        for space in spaces:
            for value in space.values():
                value = getattr(value, "__func__", value)
                value = getattr(value, "fget", value)
                if type(value) is kind:
                    found[f"{value.__module__}.{value.__qualname__}"] = value
    return found


def _default_text(value):
    if callable(value):
        return f"{value.__module__}.{value.__name__}"
    return repr(value)


def _doc_line_from_attributes(fn):
    """The signature line as the introspectable attributes describe it."""
    code = fn.__code__
    names = code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
    defaults = dict(zip(names[code.co_argcount - len(fn.__defaults__ or ()):code.co_argcount],
                        fn.__defaults__ or ()))
    defaults.update(fn.__kwdefaults__ or {})
    parts = []
    for i, name in enumerate(names):
        if i == code.co_argcount:
            parts.append("*")
        text = name
        if name in fn.__annotations__:
            text += ": " + fn.__annotations__[name]
        if name in defaults:
            text += (" = " if name in fn.__annotations__ else "=") + _default_text(defaults[name])
        parts.append(text)
    line = f"{fn.__qualname__}({', '.join(parts)})"
    if "return" in fn.__annotations__:
        line += " -> " + fn.__annotations__["return"]
    return line


NATIVE = _native_functions()


@pytest.mark.parametrize("name", sorted(NATIVE))
def test_each_doc_line_is_derived_from_the_one_declaration(name):
    """__doc__, __qualname__, __code__, __annotations__ and the defaults all tell one story."""
    fn = NATIVE[name]
    assert fn.__doc__ == _doc_line_from_attributes(fn)
    assert fn.__qualname__.rpartition(".")[2] == fn.__name__ == fn.__code__.co_name
    code = fn.__code__
    assert list(inspect.signature(fn).parameters) == list(
        code.co_varnames[:code.co_argcount + code.co_kwonlyargcount])
