"""vantorel.cycle_roster against its documented behaviour and its pure-Python model."""
import enum
import inspect

import pytest
from hypothesis import given, strategies as st

import vantorel.cycle_roster as cr
from models import cycle_roster_model as model

E = cr.EpochName
STANDARD = (E.SIGNAL_IS, E.SIGNAL_OS, E.STRATEGY_IS, E.STRATEGY_OS)
SIGNAL = (E.SIGNAL_IS, E.SIGNAL_OS)
STRATEGY = (E.STRATEGY_IS, E.STRATEGY_OS)


def outcome(fn, *args):
    """The result, or the error as (type, message, cause type) for comparison."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the comparison is the point
        cause = type(exc.__cause__) if exc.__cause__ is not None else None
        return ("err", type(exc), str(exc), cause, exc.__suppress_context__)


# ---------------------------------------------------------------- the module


def test_module_namespace_and_docstring():
    public = {k for k in vars(cr) if not k.startswith("__")}
    assert public == {
        "Enum", "EpochName", "_STANDARD_EPOCH_NAMES", "_ALL_EPOCH_NAMES",
        "_VALID_EPOCHS_BY_CATEGORY", "valid_epochs_for_category", "_standard_aggregation_epochs",
        "_epoch_partition", "_normalize_process_role", "epochs_for_submission_type",
        "epochs_for_process_role",
    }
    assert cr.Enum is enum.Enum
    assert not hasattr(cr, "__all__")
    assert cr.__doc__.startswith("Lightweight epoch-name helpers shared by storage and era config.\n\n")
    assert cr.__doc__.endswith("full simulator-engine and era-data-vault import surface.\n")


def test_epoch_name_is_a_genuine_str_enum():
    assert issubclass(E, str) and issubclass(E, enum.Enum)
    assert E.__bases__ == (str, enum.Enum)
    assert type(E) is type(enum.Enum)
    assert [(m.name, m.value) for m in E] == [
        ("SIGNAL_IS", "signal_is"), ("SIGNAL_IS_POOL", "signal_is_pool"), ("SIGNAL_OS", "signal_os"),
        ("STRATEGY_IS", "strategy_is"), ("STRATEGY_OS", "strategy_os"),
    ]
    assert E.__module__ == "vantorel.cycle_roster" and E.__qualname__ == "EpochName"
    assert "__doc__" not in vars(E) or E.__doc__ == model.EpochName.__doc__
    assert E("signal_os") is E.SIGNAL_OS and E["SIGNAL_OS"] is E.SIGNAL_OS
    assert E.SIGNAL_IS == "signal_is" and hash(E.SIGNAL_IS) == hash("signal_is")
    assert E.STRATEGY_OS.startswith("strategy") and E.SIGNAL_OS.replace("_", "-") == "signal-os"
    assert set(E.__members__) == {m.name for m in E}
    assert isinstance(vars(E)["from_str"], classmethod)


def test_tables_share_set_objects():
    table = cr._VALID_EPOCHS_BY_CATEGORY
    assert type(table) is dict
    assert list(table) == ["aggregations", "features", "signals", "universes", "strategies"]
    assert table["aggregations"] is table["features"] is table["universes"] is cr._STANDARD_EPOCH_NAMES
    assert table["signals"] is cr._ALL_EPOCH_NAMES
    assert cr._STANDARD_EPOCH_NAMES == frozenset(STANDARD)
    assert cr._ALL_EPOCH_NAMES == frozenset(E)
    assert table["strategies"] == frozenset(STRATEGY)
    assert all(type(v) is frozenset for v in table.values())


SIGNATURES = {
    "valid_epochs_for_category": "(category: 'str') -> 'frozenset[EpochName]'",
    "_standard_aggregation_epochs": "() -> 'tuple[EpochName, ...]'",
    "_epoch_partition": "(prefix: 'str') -> 'tuple[EpochName, ...]'",
    "_normalize_process_role": "(role: 'str | None') -> 'str'",
    "epochs_for_submission_type": "(submission_type: 'str | None') -> 'tuple[EpochName, ...]'",
    "epochs_for_process_role": "(role: 'str | None') -> 'tuple[EpochName, ...]'",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_metadata(name):
    fn = getattr(cr, name)
    twin = getattr(model, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "vantorel.cycle_roster"
    assert fn.__doc__ == name + SIGNATURES[name].replace("'", "")
    assert fn.__annotations__ == twin.__annotations__
    assert str(inspect.signature(fn)) == str(inspect.signature(twin)) == SIGNATURES[name]
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None


def test_from_str_metadata():
    fn = E.from_str
    assert fn.__self__ is E
    assert fn.__qualname__ == "EpochName.from_str" and fn.__name__ == "from_str"
    assert fn.__doc__ == "EpochName.from_str(cls, value: 'EpochName | str') -> 'EpochName'"
    assert fn.__annotations__ == {"value": "'EpochName | str'", "return": "'EpochName'"}
    # The annotations are texts that carry their own quotes, as written in source.
    assert inspect.signature(fn) == inspect.signature(model.EpochName.from_str)
    assert str(inspect.signature(fn)) == """(value: "'EpochName | str'") -> "'EpochName'\""""


# ---------------------------------------------------------------- lookups


def test_from_str_exact_lookup():
    assert E.from_str(E.SIGNAL_OS) is E.SIGNAL_OS
    assert E.from_str("signal_is_pool") is E.SIGNAL_IS_POOL
    assert E.from_str("strategy_os") is E.STRATEGY_OS

    class Text:
        def __str__(self):
            return "signal_os"

    assert E.from_str(Text()) is E.SIGNAL_OS


@pytest.mark.parametrize("value, shown", [
    ("SIGNAL_IS", "SIGNAL_IS"), (" signal_is", " signal_is"), ("Signal_IS", "Signal_IS"),
    (None, "None"), (3, "3"), (2.5, "2.5"), ("", ""),
])
def test_from_str_errors_chain_the_lookup_error(value, shown):
    with pytest.raises(ValueError) as info:
        E.from_str(value)
    assert str(info.value) == f"Unknown epoch '{shown}'"
    assert type(info.value.__cause__) is ValueError
    assert info.value.__context__ is info.value.__cause__
    assert info.value.__suppress_context__


def test_from_str_errors_other_than_value_error_pass_through():
    class Bad:
        def __str__(self):
            raise KeyError("boom")

    class BadValue:
        def __str__(self):
            raise ValueError("no text")

        def __format__(self, format_spec):
            return "<bad>"

    with pytest.raises(KeyError):
        E.from_str(Bad())
    with pytest.raises(ValueError, match="^Unknown epoch '<bad>'$") as info:
        E.from_str(BadValue())
    assert str(info.value.__cause__) == "no text"


def test_valid_epochs_for_category():
    for key in ("aggregations", "features", "universes"):
        assert cr.valid_epochs_for_category(key) is cr._STANDARD_EPOCH_NAMES
    assert cr.valid_epochs_for_category("signals") is cr._ALL_EPOCH_NAMES
    assert cr.valid_epochs_for_category("strategies") == frozenset(STRATEGY)
    assert "signal_is" in cr.valid_epochs_for_category("signals")
    assert "signal_is_pool" not in cr.valid_epochs_for_category("aggregations")


@pytest.mark.parametrize("category, shown", [
    ("Signals", "Signals"), (" signals", " signals"), (None, "None"), (0, "0"),
])
def test_valid_epochs_for_category_errors(category, shown):
    with pytest.raises(ValueError) as info:
        cr.valid_epochs_for_category(category)
    assert str(info.value) == f"Unknown epoch category '{shown}'"
    assert type(info.value.__cause__) is KeyError and info.value.__suppress_context__


# ---------------------------------------------------------------- selection

ROLE_TABLE = {
    **{r: STANDARD for r in ("api", "api-server", "all", "all-serving", "server")},
    **{r: SIGNAL for r in ("backtest", "correlation", "mi", "signal", "signal-backtest",
                           "signal-correlation", "signal-mi", "signal-validation")},
    **{r: STRATEGY for r in ("strategy", "strategy-mi", "strategy-validation")},
    "signal-is": (E.SIGNAL_IS,), "signal-is-only": (E.SIGNAL_IS,),
    "signal-os": (E.SIGNAL_OS,), "signal-os-only": (E.SIGNAL_OS,),
    "strategy-is": (E.STRATEGY_IS,), "strategy-is-only": (E.STRATEGY_IS,),
    "strategy-os": (E.STRATEGY_OS,), "strategy-os-only": (E.STRATEGY_OS,),
}


@pytest.mark.parametrize("role", sorted(ROLE_TABLE))
def test_every_role_in_every_spelling(role):
    expected = ROLE_TABLE[role]
    for spelling in (role, role.upper(), role.replace("-", "_"), f"  {role.title()}\t\n"):
        result = cr.epochs_for_process_role(spelling)
        assert type(result) is tuple and result == expected


@pytest.mark.parametrize("role", [
    "", "   ", "signal-is-pool", "signal_is_pool_only", "aggregations", "strategy-backtest",
    "strategy-correlation", "api server", "signal-is-only-only", False, 0, 0.0, [], "-api-",
])
def test_unknown_roles(role):
    with pytest.raises(ValueError) as info:
        cr.epochs_for_process_role(role)
    assert str(info.value) == f"Unknown process role '{format(role, '')}'"
    assert info.value.__cause__ is None and not info.value.__suppress_context__


def test_role_none_and_member_roles():
    assert cr.epochs_for_process_role(None) == STANDARD
    # A member is converted with str() like any object, never read through its value.
    assert outcome(cr.epochs_for_process_role, E.SIGNAL_IS) == outcome(
        model.epochs_for_process_role, model.EpochName.SIGNAL_IS)


def test_submission_types():
    assert cr.epochs_for_submission_type(" Signal ") == SIGNAL
    assert cr.epochs_for_submission_type("STRATEGY") == STRATEGY
    for bad, shown in (("signals", "signals"), (None, "None"), ("", ""), (0, "0")):
        with pytest.raises(ValueError) as info:
            cr.epochs_for_submission_type(bad)
        assert str(info.value) == f"Unknown submission type '{shown}'"
        assert info.value.__cause__ is None


def test_private_helpers():
    assert cr._normalize_process_role("__A B__") == "--a b--"
    assert cr._normalize_process_role(0) == "" and cr._normalize_process_role(None) == ""
    assert cr._normalize_process_role(" ÉTÉ_İ ") == " ÉTÉ_İ ".strip().lower().replace("_", "-")
    assert cr._epoch_partition("") == () and cr._epoch_partition("signal_is") == ()
    assert cr._epoch_partition("signal") == SIGNAL and cr._epoch_partition("strategy") == STRATEGY
    assert cr._standard_aggregation_epochs() == STANDARD


def test_results_are_new_tuples():
    assert cr.epochs_for_process_role("api") is not cr.epochs_for_process_role("api")


# ---------------------------------------------------------------- late binding


def test_rebinding_the_table_changes_the_next_call(monkeypatch):
    monkeypatch.setitem(cr._VALID_EPOCHS_BY_CATEGORY, "extra", frozenset({E.SIGNAL_IS_POOL}))
    assert cr.valid_epochs_for_category("extra") == {E.SIGNAL_IS_POOL}
    monkeypatch.setattr(cr, "_VALID_EPOCHS_BY_CATEGORY", {"aggregations": frozenset(E)})
    assert cr._standard_aggregation_epochs() == tuple(E)
    assert cr.epochs_for_process_role("signal-is-pool-only") == (E.SIGNAL_IS_POOL,)
    with pytest.raises(ValueError, match="Unknown epoch category 'signals'"):
        cr.valid_epochs_for_category("signals")
    monkeypatch.delattr(cr, "_VALID_EPOCHS_BY_CATEGORY")
    with pytest.raises(NameError, match="_VALID_EPOCHS_BY_CATEGORY"):
        cr.valid_epochs_for_category("signals")


def test_rebinding_functions_changes_the_next_call(monkeypatch):
    calls = []

    def fake_valid(category):
        calls.append(category)
        return frozenset({E.STRATEGY_OS})

    monkeypatch.setattr(cr, "valid_epochs_for_category", fake_valid)
    assert cr._standard_aggregation_epochs() == (E.STRATEGY_OS,)
    assert cr.epochs_for_process_role("api") == (E.STRATEGY_OS,)
    assert calls == ["aggregations", "aggregations"]

    monkeypatch.setattr(cr, "_normalize_process_role", lambda role: "strategy")
    assert cr.epochs_for_submission_type("anything") == (E.STRATEGY_OS,)
    monkeypatch.setattr(cr, "_epoch_partition", lambda prefix: ("partition", prefix))
    assert cr.epochs_for_submission_type("x") == ("partition", "strategy")

    monkeypatch.undo()
    monkeypatch.setattr(cr, "_standard_aggregation_epochs", lambda: ("standard",))
    assert cr.epochs_for_process_role(None) == ("standard",) == cr.epochs_for_process_role("api")
    monkeypatch.setattr(cr, "epochs_for_submission_type", lambda kind: ("by type", kind))
    assert cr.epochs_for_process_role("backtest") == ("by type", "signal")
    # Put back, the module's own functions are entered directly again.
    monkeypatch.undo()
    assert cr.epochs_for_process_role("api") == STANDARD
    assert cr.epochs_for_process_role("backtest") == SIGNAL


def test_rebinding_epoch_name_is_seen(monkeypatch):
    class Fake:
        def __init__(self, value):
            self.value = value

    fakes = [Fake("signal_is"), Fake("signal_os")]
    monkeypatch.setattr(cr, "_VALID_EPOCHS_BY_CATEGORY", {"aggregations": frozenset(fakes)})
    monkeypatch.setattr(cr, "EpochName", fakes)
    assert cr._standard_aggregation_epochs() == tuple(fakes)
    assert cr._epoch_partition("signal") == tuple(fakes)
    assert cr.epochs_for_process_role("signal_os_only") == (fakes[1],)


# ---------------------------------------------------------------- differential

NEAR_MISSES = st.sampled_from([
    "signal", "strategy", "api", "server", "all", "mi", "signal-is", "signal_os", "strategy-os-only",
    "signal_is_pool", "SIGNAL_IS", "backtest", "strategy-validation", "aggregations", "signals",
    "features", "universes", "strategies", "api-server", "signal-mi",
])


@st.composite
def role_like(draw):
    base = draw(NEAR_MISSES | st.text(max_size=12))
    pad = draw(st.sampled_from(["", " ", "\t", "_", "-", "\n ", "\u00a0", "\x1c"]))
    case = draw(st.sampled_from([str, str.upper, str.title, str.swapcase]))
    extra = draw(st.sampled_from(["", "-only", "_only", "s", "\u0130"]))
    return pad + case(base) + extra + draw(st.sampled_from(["", pad]))


VALUES = role_like() | st.none() | st.integers(-2, 2) | st.booleans() | st.floats(allow_nan=True)


@given(VALUES)
def test_selection_matches_model(value):
    for name in ("epochs_for_process_role", "epochs_for_submission_type", "_normalize_process_role",
                 "_epoch_partition", "valid_epochs_for_category"):
        native, expected = outcome(getattr(cr, name), value), outcome(getattr(model, name), value)
        if expected[0] == "ok" and isinstance(expected[1], tuple):
            expected = ("ok", tuple(getattr(E, m.name) for m in expected[1]))
        assert native == expected, name


@given(VALUES)
def test_from_str_matches_model(value):
    native, expected = outcome(E.from_str, value), outcome(model.EpochName.from_str, value)
    if expected[0] == "ok":
        expected = ("ok", getattr(E, expected[1].name))
    assert native == expected


@pytest.mark.parametrize("text", ["nothing", "it's", "\udc80", "SIGNAL_IS"])
def test_from_str_cause_is_the_enumerations_own_error(text):
    def failure(cls):
        try:
            raise KeyError("outer")
        except KeyError:
            try:
                cls.from_str(text)
            except ValueError as exc:
                return exc

    native, expected = failure(E), failure(model.EpochName)
    assert str(native) == str(expected)
    assert native.__cause__.args == expected.__cause__.args
    assert type(native.__cause__.__context__) is type(expected.__cause__.__context__) is KeyError
    assert native.__context__ is native.__cause__


def test_fresh_import_runs_the_body_again_and_reload_does_not(monkeypatch):
    """A fresh import (after removal from sys.modules) runs the body on a new module object.
    importlib.reload returns the same object and, as for every extension module with
    multi-phase initialisation, does not run the body again: the namespace keeps what it
    holds, and only the import system's own attributes (__spec__, __file__, ...) are set."""
    import importlib
    import sys

    import vantorel

    old = cr
    monkeypatch.setattr(vantorel, "cycle_roster", old)  # restored after the test
    monkeypatch.delitem(sys.modules, "vantorel.cycle_roster")
    fresh = importlib.import_module("vantorel.cycle_roster")
    try:
        assert fresh is not old and fresh.EpochName is not old.EpochName
        assert fresh.EpochName.from_str("signal_os") is fresh.EpochName.SIGNAL_OS
        # The earlier module object keeps answering with its own class.
        assert old.EpochName.from_str("signal_os") is old.EpochName.SIGNAL_OS
        assert old.epochs_for_process_role("api") == STANDARD
        assert fresh.epochs_for_process_role("signal_is")[0] is fresh.EpochName.SIGNAL_IS
        cls, rebound = fresh.EpochName, lambda category: "rebound"
        fresh.valid_epochs_for_category = rebound
        fresh.__file__ = "elsewhere"
        reloaded = importlib.reload(fresh)
        assert reloaded is fresh and fresh.EpochName is cls
        assert fresh.valid_epochs_for_category is rebound  # the body did not run
        assert fresh.__file__ == fresh.__spec__.origin != "elsewhere"  # the import system's
    finally:
        sys.modules["vantorel.cycle_roster"] = old
