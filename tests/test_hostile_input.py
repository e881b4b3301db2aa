"""Hostile input, tried and counted: each gives the host's error or the documented result,
never a crash, a hang or a corrupted module state.

Where a pure-Python model exists its outcome is the oracle (same result, or same error type
and message). Every input tried is counted in hostile_objects.TRIED; the totals are printed
in the terminal summary.
"""
import faulthandler
import sys

import pytest

from hostile_objects import (TRIED, require, OneShot, BadPairsMapping, Boom, DictMutatingValue, FailingMapping, Falsy,
                             InterruptingStr, MutatingMapping, NonStrStr, RaisingBool, RaisingStr,
                             StrSub, nested, self_containing_dict, self_containing_list)
from interpreter import EMULATED, PYTHON

DEEP = 100_000
# Characters of the enormous strings (an escaped one is six bytes per character); under
# emulation, where every pass over them costs ten times as much, 4 Mi: still far past every
# buffer the modules keep or grow in steps.
BIG = (4 if EMULATED else 100) * 1024 * 1024
HUGE_INT = 10 ** 5000    # past the host's default limit of 4300 digits for int <-> str


@pytest.fixture(autouse=True)
def no_hang():
    """A call that hangs dumps every thread's stack and ends the run instead of blocking CI."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("err", type, message); RecursionError messages vary with depth."""
    try:
        return ("ok", fn(*args, **kwargs))
    except RecursionError:
        return ("err", RecursionError, "")
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt must pass through unchanged
        return ("err", type(exc), str(exc))


# Inputs that any function taking an arbitrary object is tried with.
def generic_inputs():
    import numpy as np
    inputs = {
        "self-containing dict": self_containing_dict(),
        "self-containing list": self_containing_list(),
        "dict nested 100000 deep": nested(DEEP),
        "list nested 100000 deep": nested(DEEP, kind="list"),
        "raising __str__": RaisingStr(),
        "non-str __str__": NonStrStr(),
        "KeyboardInterrupt in __str__": InterruptingStr(),
        "str subclass": StrSub(" Signal_IS "),
        "falsy object": Falsy(),
        "raising __bool__": RaisingBool(),
        "mapping whose get raises": FailingMapping({"a": 1}, "get"),
        "mapping that grows on read": MutatingMapping({"a": 1}),
        "int past the digit limit": HUGE_INT,
        "negative huge int": -HUGE_INT,
        "NaN": float("nan"),
        "lone surrogate": "signal\ud800",
        "NUL inside": "signal\x00_is",
        "bytes": b"signal_is",
    }
    for dtype in ALL_DTYPES:
        inputs[f"0-d {dtype} array"] = np.zeros((), dtype=dtype)
    inputs["1-d float array"] = np.arange(3.0)
    inputs["empty array"] = np.array([])
    inputs["3-d array"] = np.zeros((2, 2, 2))
    return inputs


ALL_DTYPES = [
    "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16",
    "float32", "float64", "longdouble", "complex64", "complex128", "clongdouble", "object",
    "datetime64[ns]", "timedelta64[s]", "U5", "S5", "V8", [("a", "f8"), ("b", "i4")],
]


# ---------------------------------------------------------------- cycle_roster

ROSTER_FUNCTIONS = [
    "EpochName.from_str", "valid_epochs_for_category", "_epoch_partition", "_normalize_process_role",
    "epochs_for_submission_type", "epochs_for_process_role",
]


def resolve(module, dotted):
    obj = module
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


def roster_sane(cr):
    E = cr.EpochName
    assert cr.epochs_for_process_role(" API ") == (E.SIGNAL_IS, E.SIGNAL_OS, E.STRATEGY_IS, E.STRATEGY_OS)
    assert E.from_str("signal_is_pool") is E.SIGNAL_IS_POOL
    assert cr.valid_epochs_for_category("features") is cr._STANDARD_EPOCH_NAMES
    assert len(cr._VALID_EPOCHS_BY_CATEGORY) == 5 and len(E) == 5


@pytest.mark.parametrize("function", ROSTER_FUNCTIONS)
def test_roster_matches_its_model_on_hostile_input(function):
    cr = pytest.importorskip("vantorel.cycle_roster")
    from models import cycle_roster_model as model

    native, oracle = resolve(cr, function), resolve(model, function)
    for label, value in generic_inputs().items():
        TRIED["cycle_roster"] += 1
        got, want = outcome(native, value), outcome(oracle, value)
        if want[0] == "ok" and isinstance(want[1], (tuple, frozenset)):
            want = ("ok", tuple(str(m) for m in want[1]) if isinstance(want[1], tuple) else
                    frozenset(str(m) for m in want[1]))
            got = ("ok", tuple(str(m) for m in got[1]) if isinstance(got[1], tuple) else
                   frozenset(str(m) for m in got[1])) if got[0] == "ok" else got
        elif want[0] == "ok" and isinstance(want[1], model.EpochName):
            want = ("ok", want[1].value)
            got = ("ok", got[1].value) if got[0] == "ok" else got
        assert got == want, f"{function}({label})"
        roster_sane(cr)


@pytest.mark.parametrize("function", ["EpochName.from_str", "epochs_for_process_role", "_normalize_process_role"])
def test_roster_takes_enormous_strings(function):
    cr = pytest.importorskip("vantorel.cycle_roster")
    from models import cycle_roster_model as model

    for text in (" " * BIG + "Signal_IS", "x" * BIG):
        TRIED["cycle_roster"] += 1
        got, want = outcome(resolve(cr, function), text), outcome(resolve(model, function), text)
        if want[0] == "ok" and isinstance(want[1], tuple):
            want, got = ("ok", [str(m) for m in want[1]]), ("ok", [str(m) for m in got[1]])
        elif want[0] == "ok" and not isinstance(want[1], str):
            want, got = ("ok", want[1].value), ("ok", got[1].value)
        assert got == want
        del got, want
    roster_sane(cr)


def test_roster_survives_a_keyboard_interrupt_mid_call():
    cr = pytest.importorskip("vantorel.cycle_roster")
    for function in ROSTER_FUNCTIONS:
        TRIED["cycle_roster"] += 1
        with pytest.raises(KeyboardInterrupt):
            resolve(cr, function)(InterruptingStr())
        roster_sane(cr)


# ---------------------------------------------------------------- _sdk_telemetry

def telemetry_runtime(st, lanes=2, ring_capacity=4):
    rt = st.TelemetryRuntime(component="hostile", lanes=lanes, ring_capacity=ring_capacity)
    site = rt.register_call_site(name="h.site", description="d", message_template="{a}|{b}", value_unit="u",
                                 severity_default=st.Severity.WARN, file="f", line=1, tag_keys=("a", "b"))
    return rt, site


def runtime_sane(rt, site, stored):
    """What was stored is held or counted as dropped; records are whole and in order."""
    held = rt.snapshot_anomalies()
    assert len(held) + rt.dropped_count == stored
    seqs = [r.sequence for r in held]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
    for r in held:
        assert type(r.reason) is str and type(r.message) is str and isinstance(r.tags, dict)
    assert rt.warn(site, 1.0, epoch_ns=0, reason="probe", tags={"a": "1"}) is True
    assert rt.snapshot_anomalies()[-1].reason == "probe"
    return stored + 1


def warn_inputs():
    """(label, keyword changes to a valid warn call, the error expected or None)."""
    import numpy as np
    self_tags = {"a": "1"}
    self_tags["b"] = self_tags
    growing = {"a": "1"}
    inputs = [
        ("value int past the digit limit", dict(value=HUGE_INT), OverflowError),
        ("value NaN", dict(value=float("nan")), None),
        ("value inf", dict(value=float("inf")), None),
        ("value bool", dict(value=True), None),
        ("value raising __float__", dict(value=RaisingNumber()), Boom),
        ("value KeyboardInterrupt in __float__", dict(value=InterruptingNumber()), KeyboardInterrupt),
        ("value 1-d array", dict(value=np.arange(2.0)), TypeError),
        ("value 3-d array", dict(value=np.zeros((1, 1, 2))), TypeError),
        ("value complex", dict(value=1j), TypeError),
        ("value str", dict(value="1.0"), TypeError),
        ("epoch_ns past the digit limit", dict(epoch_ns=HUGE_INT), OverflowError),
        ("epoch_ns -2**63", dict(epoch_ns=-2**63), None),
        ("epoch_ns 2**64", dict(epoch_ns=2**64), OverflowError),
        ("epoch_ns NaN", dict(epoch_ns=float("nan")), TypeError),
        ("epoch_ns bool", dict(epoch_ns=False), TypeError),
        ("epoch_ns raising __index__", dict(epoch_ns=RaisingNumber()), TypeError),
        ("reason str subclass", dict(reason=StrSub("why")), None),
        ("reason lone surrogate", dict(reason="\ud800"), None),
        ("reason raising __str__", dict(reason=RaisingStr()), TypeError),
        ("reason bytes", dict(reason=b"why"), TypeError),
        ("tags self-containing", dict(tags=self_tags), TypeError),
        ("tags nested 100000 deep", dict(tags={"a": nested(DEEP)}), TypeError),
        ("tags str subclass keys and values", dict(tags={StrSub("a"): StrSub("v")}), None),
        ("tags key raising __str__", dict(tags={RaisingStrKey(): "v"}), TypeError),
        ("tags value mutates the dict", dict(tags=growing), None),
        ("tags mapping not a dict", dict(tags=FailingMapping({"a": "1"}, "items")), TypeError),
        ("tags 10000 entries", dict(tags={str(i): str(i) for i in range(10_000)}), None),
        ("severity past the digit limit", dict(severity=HUGE_INT), (ValueError, OverflowError)),
        ("severity NaN", dict(severity=float("nan")), (TypeError, ValueError)),
        ("severity str", dict(severity="WARN"), (TypeError, ValueError)),
        ("severity 0-d array", dict(severity=np.int64(30)), None),
        ("severity KeyboardInterrupt", dict(severity=InterruptingNumber()), KeyboardInterrupt),
    ]
    growing["b"] = DictMutatingValueStr(growing)
    return inputs


class RaisingNumber:
    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")


class InterruptingNumber:
    def __float__(self):
        raise KeyboardInterrupt

    def __index__(self):
        raise KeyboardInterrupt

    def __int__(self):
        raise KeyboardInterrupt

    def __hash__(self):
        raise KeyboardInterrupt


class RaisingStrKey:
    def __str__(self):
        raise Boom("key")


class DictMutatingValueStr(str):
    """A str value whose hash mutates the dict it sits in (the copy must not crash)."""

    def __new__(cls, target):
        obj = super().__new__(cls, "v")
        obj.target = target
        return obj

    def __hash__(self):
        self.target[f"k{len(self.target)}"] = "x"
        return str.__hash__(self)


def test_warn_refuses_or_stores_hostile_input_whole():
    st = pytest.importorskip("vantorel._sdk_telemetry")
    rt, site = telemetry_runtime(st)
    stored = 0
    for label, change, expected in warn_inputs():
        TRIED["_sdk_telemetry"] += 1
        kwargs = dict(value=1.0, epoch_ns=1, reason="r", tags={"a": "1", "b": "2"})
        kwargs.update(change)
        value = kwargs.pop("value")
        before = rt.snapshot_anomalies()
        result = outcome(rt.warn, site, value, **kwargs)
        if expected is None:
            assert result == ("ok", True), label
            stored += 1
        else:
            assert result[0] == "err" and issubclass(result[1], expected), (label, result)
            assert rt.snapshot_anomalies() == before, f"{label}: a refused call left a record"
        stored = runtime_sane(rt, site, stored)


def test_runtime_construction_and_registration_refuse_hostile_numbers():
    st = pytest.importorskip("vantorel._sdk_telemetry")
    import numpy as np
    for lanes in (HUGE_INT, -HUGE_INT, float("nan"), 2.0, True, np.float64(2.0), RaisingNumber(), "2", None):
        TRIED["_sdk_telemetry"] += 1
        got = outcome(st.TelemetryRuntime, component="c", lanes=lanes, ring_capacity=4)
        assert got[0] == "err" and got[1] in (TypeError, ValueError, OverflowError, Boom), (lanes, got)
    for lanes, capacity in ((np.int64(3), np.int32(5)), (4096, 1)):
        TRIED["_sdk_telemetry"] += 1
        rt = st.TelemetryRuntime(component="c", lanes=lanes, ring_capacity=capacity)
        assert (rt.lanes, rt.ring_capacity) == (int(lanes), int(capacity))
    rt, site = telemetry_runtime(st)
    base = dict(name="n", description="d", message_template="t", value_unit="u",
                severity_default=st.Severity.WARN, file="f", line=1, tag_keys=("a",))
    changes = [
        (dict(line=HUGE_INT), (OverflowError, ValueError)),
        (dict(line=float("nan")), TypeError),
        (dict(tag_keys=nested(DEEP, kind="list")), TypeError),
        (dict(tag_keys=self_containing_list()), TypeError),
        (dict(tag_keys=interrupting_keys()), KeyboardInterrupt),
        (dict(tag_keys=np.array(["a", "b"])), None),  # numpy.str_ is a str subclass
        (dict(name=RaisingStr()), TypeError),
        (dict(message_template="{" * 100_000 + "a" + "}" * 100_000), None),
        (dict(name="n\x00\ud800"), None),
    ]
    stored = 0
    for change, expected in changes:
        TRIED["_sdk_telemetry"] += 1
        got = outcome(rt.register_call_site, **{**base, **change})
        if expected is None:
            assert got[0] == "ok", (change, got)
        else:
            assert got[0] == "err" and issubclass(got[1], expected), (list(change), got)
        stored = runtime_sane(rt, site, stored)


def interrupting_keys():
    yield "a"
    raise KeyboardInterrupt


def test_warn_takes_enormous_text():
    st = pytest.importorskip("vantorel._sdk_telemetry")
    rt, site = telemetry_runtime(st, lanes=1, ring_capacity=1)
    big = "m" * BIG
    TRIED["_sdk_telemetry"] += 2
    assert rt.warn(site, 1.0, epoch_ns=1, reason=big, tags={"a": big, "b": "2"}) is True
    (record,) = rt.drain_anomalies()
    assert len(record.reason) == BIG and len(record.message) == BIG + 2
    assert record.message.endswith("m|2")
    del record
    assert rt.warn(site, 1.0, epoch_ns=2, reason="r", tags={"a": "1"}) is True
    assert rt.snapshot_anomalies()[0].message == "1|{b}"


def test_errors_about_ints_past_the_digit_limit_keep_their_type_and_text():
    """Formatting the offending int into the message must not replace the error itself."""
    st = pytest.importorskip("vantorel._sdk_telemetry")
    rt, site = telemetry_runtime(st)
    bits = HUGE_INT.bit_length()
    calls = [
        (lambda v: rt.warn(site, 1.0, epoch_ns=v, reason="r", tags={}), HUGE_INT, OverflowError,
         f"epoch_ns does not fit in 64 bits: an int of {bits} bits"),
        (lambda v: st.TelemetryRuntime(component="c", lanes=v, ring_capacity=1), HUGE_INT, OverflowError,
         f"lanes is too large: an int of {bits} bits"),
        (lambda v: st.TelemetryRuntime(component="c", lanes=1, ring_capacity=v), -HUGE_INT, ValueError,
         f"ring_capacity must be a positive int, got an int of {bits} bits"),
        (lambda v: rt.warn(site, 1.0, epoch_ns=v, reason="r", tags={}), -2**64, OverflowError,
         f"epoch_ns does not fit in 64 bits: {-2**64}"),
    ]
    for call, value, exc, text in calls:
        TRIED["_sdk_telemetry"] += 1
        with pytest.raises(exc) as info:
            call(value)
        assert str(info.value) == text and info.value.__context__ is None


# ---------------------------------------------------------------- logarithmic

LOGARITHMIC = "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"
LOG_FUNCTIONS = ["longitudinal_logarithmic_694eff_batch_reference",
                 "longitudinal_logarithmic_665270_batch_reference"]


class Window:
    def __init__(self, window):
        self.window = window


class InterruptingWindow:
    @property
    def window(self):
        raise KeyboardInterrupt


class InterruptingCompare:
    """An object element whose ordering comparison is interrupted."""

    def __le__(self, other):
        raise KeyboardInterrupt

    __lt__ = __ge__ = __gt__ = __le__


def log_outcome(fn, instance, data):
    """("ok", result, warnings) or ("err", type, message, warnings); KeyboardInterrupt included."""
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(instance, data)
        except BaseException as exc:  # noqa: BLE001 - compared, not handled
            return ("err", type(exc), str(exc), [(w.category, str(w.message)) for w in caught])
    return ("ok", result, [(w.category, str(w.message)) for w in caught])


def log_arrays():
    """Hostile `data`: every dtype, every rank, odd layouts, array-likes."""
    import warnings

    import numpy as np
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)  # np.matrix
        return _log_arrays(np)


def _log_arrays(np):
    base = np.array([[1.5, -2.0, 0.0], [np.nan, 3.0, 4.0], [2.0, np.inf, -0.0], [5.0, 6.0, 7.0],
                     [-np.inf, 0.5, 8.0], [9.0, 1e300, 1e-300]])
    finite = np.nan_to_num(base, nan=0.0, posinf=9.0, neginf=-9.0)
    arrays = {}
    for dtype in ALL_DTYPES:
        label = f"dtype {np.dtype(dtype)}"
        try:
            source = base if np.dtype(dtype).kind in "fcO" else finite
            arrays[label] = source.astype(dtype)
        except (TypeError, ValueError):
            arrays[label] = np.zeros((6, 3), dtype=dtype)
    arrays["object with None"] = np.array([[1.0, None], [2.0, 3.0]], dtype=object)
    arrays["object with text"] = np.array([[1.0, "x"], [2.0, 3.0]], dtype=object)
    arrays["object with Python ints past float range"] = np.array([[2, 10**400], [3, 4]], dtype=object)
    arrays["object interrupting comparison"] = np.array([[InterruptingCompare()]], dtype=object)
    arrays["big-endian float64"] = base.astype(">f8")
    arrays["big-endian int32"] = finite.astype(">i4")
    misaligned = np.frombuffer(b"\0" + base.astype("<f8").tobytes(), dtype="<f8", offset=1)
    arrays["misaligned float64"] = misaligned.reshape(base.shape)
    arrays["read-only"] = base.copy()
    arrays["read-only"].setflags(write=False)
    arrays["every other row"] = np.repeat(base, 2, axis=0)[::2]
    arrays["every other column"] = np.repeat(base, 2, axis=1)[:, ::2]
    arrays["reversed rows"] = base[::-1]
    arrays["reversed columns"] = base[:, ::-1]
    arrays["transposed"] = base.T
    arrays["Fortran order"] = np.asfortranarray(base)
    arrays["broadcast (zero strides)"] = np.broadcast_to(base[:1], (6, 3))
    arrays["0-d"] = np.float64(2.0).reshape(())
    arrays["1-d"] = base[:, 0].copy()
    arrays["3-d"] = base.reshape(6, 3, 1)
    arrays["empty rows"] = np.zeros((0, 3))
    arrays["empty columns"] = np.zeros((6, 0))
    arrays["masked array"] = np.ma.masked_invalid(base)
    arrays["matrix"] = np.asmatrix(base)
    arrays["list of lists"] = base.tolist()
    arrays["None"] = None
    arrays["self-containing list"] = self_containing_list()
    return arrays


LOG_WINDOWS = {
    "3": 3, "1": 1, "0": 0, "-1": -1, "huge 2**62": 2**62, "1e30 as int": 10**30,
    "past the digit limit": HUGE_INT, "negative huge": -2**70, "float 2.0": 2.0, "float 2.5": 2.5,
    "True": True, "False": False, "NaN": float("nan"), "inf": float("inf"), "numpy int64": None,
    "numpy float64": None, "None": None, "str": "3", "raising __index__": RaisingNumber(),
}


def log_windows():
    import numpy as np
    windows = dict(LOG_WINDOWS)
    windows["numpy int64"] = np.int64(2)
    windows["numpy float64"] = np.float64(2.0)
    return windows


def log_sane(lg):
    import numpy as np
    out = lg.longitudinal_logarithmic_694eff_batch_reference(Window(2), np.array([[2.0], [3.0], [4.0]]))
    assert out.tolist() == [[2.0], [6.0], [12.0]]


def same_log_outcome(got, want):
    from models.logarithmic_model import same_bits
    if got[0] == want[0] == "ok":
        return same_bits(got[1], want[1]) and got[2] == want[2]
    return got == want


@pytest.mark.parametrize("function", LOG_FUNCTIONS)
def test_logarithmic_matches_its_model_on_hostile_arrays(function):
    lg = require(LOGARITHMIC, function)
    from models import logarithmic_model as model
    native, oracle = getattr(lg, function), getattr(model, function)
    for label, data in log_arrays().items():
        for window in (1, 3):
            TRIED["logarithmic"] += 1
            snapshot = data.tobytes() if getattr(data, "dtype", None) not in (None, object) else None
            got, want = log_outcome(native, Window(window), data), log_outcome(oracle, Window(window), data)
            assert same_log_outcome(got, want), f"{function}({label}, window={window}): {got} != {want}"
            assert snapshot is None or data.tobytes() == snapshot, f"{label}: data changed"
            log_sane(lg)


@pytest.mark.parametrize("function", LOG_FUNCTIONS)
def test_logarithmic_matches_its_model_on_hostile_windows(function):
    lg = require(LOGARITHMIC, function)
    import numpy as np
    from models import logarithmic_model as model
    native, oracle = getattr(lg, function), getattr(model, function)
    data = log_arrays()["dtype float64"]
    for label, window in log_windows().items():
        for rows in (data, data[:1], np.zeros((0, 3))):
            TRIED["logarithmic"] += 1
            got, want = log_outcome(native, Window(window), rows), log_outcome(oracle, Window(window), rows)
            assert same_log_outcome(got, want), f"{function}(window {label}, {len(rows)} rows)"
    for instance in (InterruptingWindow(), object(), None):
        TRIED["logarithmic"] += 1
        got, want = log_outcome(native, instance, data), log_outcome(oracle, instance, data)
        assert same_log_outcome(got, want)
    log_sane(lg)


def test_logarithmic_takes_an_enormous_array():
    """Ten million cells (80 MB) with a one-row window: every cell is its own value or NaN."""
    lg = require(LOGARITHMIC, LOG_FUNCTIONS[0])
    import numpy as np
    data = np.random.default_rng(3).standard_normal((5_000_000, 2))
    TRIED["logarithmic"] += 2
    out = lg.longitudinal_logarithmic_694eff_batch_reference(Window(1), data)
    assert np.array_equal(out, np.where(data > 0, data, np.nan), equal_nan=True)
    out = lg.longitudinal_logarithmic_665270_batch_reference(Window(1), data)
    assert np.allclose(out, np.where(data > 0, data, np.nan), rtol=1e-14, atol=0, equal_nan=True)


def changes_mid_call(np):
    """What Python code running mid-call (a profile hook, a warning, a signal handler) may do
    to the input: shrink it, grow it, reshape it in place, give it another dtype."""
    def retype(a):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            a.dtype = np.int64
    return {
        "shrunk to one cell": lambda a: a.resize((1, 1), refcheck=False),
        "shrunk to fewer rows": lambda a: a.resize((a.shape[0] // 3, a.shape[1]), refcheck=False),
        "grown": lambda a: a.resize((a.shape[0] + 50, a.shape[1] + 1), refcheck=False),
        "emptied": lambda a: a.resize((0,), refcheck=False),
        "reshaped in place": lambda a: setattr(a, "shape", (a.shape[0] // 2, a.shape[1] * 2)),
        "retyped": retype,
    }


def test_logarithmic_survives_arrays_changed_mid_call():
    """Each change made at the Python code the native pass runs (NumPy's error state after a
    flagged overflow, NumPy's sum of a window longer than 8192 values): the call ends with
    the result or the host's error of the per-cell evaluation on the changed array, never a
    crash, and the module still answers."""
    lg = require(LOGARITHMIC, LOG_FUNCTIONS[0])
    import sys
    import warnings

    import numpy as np
    points = [(LOG_FUNCTIONS[0], "geterr", 3, lambda: np.full((900, 4), 1e200)),
              (LOG_FUNCTIONS[1], "sum", 9000, lambda: np.random.default_rng(2).lognormal(size=(8300, 1)))]
    for function, at, window, make in points:
        for label, change in changes_mid_call(np).items():
            TRIED["logarithmic"] += 1
            a = make()
            fired = []

            def hook(frame, event, arg):
                if event == "call" and frame.f_code.co_name == at and not fired:
                    fired.append(label)
                    sys.setprofile(None)
                    change(a)

            sys.setprofile(hook)
            try:
                with np.errstate(all="ignore"), warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    got = log_outcome(getattr(lg, function), Window(window), a)
            finally:
                sys.setprofile(None)
            assert fired, f"{function} never reached {at}"
            assert got[0] == "ok" or got[1] in (IndexError, ValueError, TypeError), (function, label, got[:3])
            log_sane(lg)


# ---------------------------------------------------------------- _parity_watch

PARITY = "vantorel._parity_watch"


def parity_values():
    """Hostile projections, data and mismatch lists for the parity functions."""
    import numpy as np
    walked = {"a": 1}
    walked["b"] = DictMutatingValue(walked)
    values = generic_inputs()
    values.update({
        "mapping whose keys raise": FailingMapping({"shape_fields": ["a"]}, "keys"),
        "mapping whose items raise": FailingMapping({"a": 1}, "items"),
        "mapping whose get raises KeyboardInterrupt": FailingMapping({"a": 1}, "get", KeyboardInterrupt),
        "mapping yielding non-pairs": BadPairsMapping({"a": 1}, None),
        "dict changed while walked": walked,
        "projection of every kind": {"version": 0, "schema_version": "s", "shape_fields": ("a", "", 3, StrSub("b")),
                                     "shape_key": {"a": None, 2: [1]}, "nan": float("nan"), "big": 2**80,
                                     True: b"x", None: {1, 2}, "np": [np.int64(3), np.float64(2.5), np.bool_(1)],
                                     "text": "\ud800\U0001f600\u2028\x00"},
        "version past the digit limit": {"version": HUGE_INT},
        "int past the digit limit in a projection": {"a": [HUGE_INT]},
        "shape_key self-containing": {"shape_key": self_containing_dict()},
        "shape_fields a string": {"shape_fields": "lane", "shape_key": {"x": 1}},
        "mismatch list with a raising element": ["missing", RaisingStr()],
        "mismatch list with non-str elements": [None, 7, b"shape_key"],
        "mismatch text": "missing",
        "mismatch iterator": OneShot(["market_id", "x"]),
        "data with a raising market id": {"market_id": RaisingStr()},
        "data with a huge era": {"era_number": HUGE_INT},
        "data with a nested market id": {"market_id": nested(DEEP)},
        "array projection": np.zeros((2, 2)),
    })
    return values


def full_repr(value):
    """repr() without the host's limit on int digits (results may hold such ints)."""
    saved = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        return repr(value)
    finally:
        sys.set_int_max_str_digits(saved)


def same_value(got, want):
    """Equality that treats NaN as equal to itself (results may hold the caller's NaN)."""
    return got == want or full_repr(got) == full_repr(want)


def compare(native, oracle, native_args, model_args, **kwargs):
    """Same outcome from both, each side given its own copy of a stateful hostile input."""
    got, want = outcome(native, *native_args, **kwargs), outcome(oracle, *model_args, **kwargs)
    if got[0] == want[0] == "ok":
        return same_value(got[1], want[1])
    return got == want


PARITY_ONE_ARGUMENT = ["projection_hash", "_json_safe", "_projection_version", "projection_mismatch_reason",
                       "_bounded_text"]


@pytest.mark.parametrize("function", PARITY_ONE_ARGUMENT)
def test_parity_functions_match_their_model_on_hostile_input(function):
    pw = require(PARITY, function)
    from models import parity_watch_model as model
    native, oracle = getattr(pw, function), getattr(model, function)
    mine, theirs = parity_values(), parity_values()
    for label in mine:
        TRIED["_parity_watch"] += 1
        assert compare(native, oracle, (mine[label],), (theirs[label],)), f"{function}({label})"


def test_parity_shape_axes_and_tags_match_their_model_on_hostile_input():
    pw = require(PARITY, "_tags")
    from models import parity_watch_model as model
    mine, theirs = parity_values(), parity_values()
    projections = [None, {"shape_fields": ["a"]}, {"shape_key": {"a": 1}}]
    for label in mine:
        a, b = mine[label], theirs[label]
        for other in projections:
            TRIED["_parity_watch"] += 3
            assert compare(pw._projection_shape_axes, model._projection_shape_axes, (a, other), (b, other)), label
            assert compare(pw._projection_shape_axes, model._projection_shape_axes, (other, a), (other, b)), label
            assert compare(lambda v: pw._tags(data=v, projection=other, reason_code="r"),
                           lambda v: model._tags(data=v, projection=other, reason_code="r"), (a,), (b,)), label
        TRIED["_parity_watch"] += 1
        assert compare(lambda v: pw._tags(data={"market_id": "m"}, projection=v, reason_code=v),
                       lambda v: model._tags(data={"market_id": "m"}, projection=v, reason_code=v), (a,), (b,)), label


class RecordingRuntime:
    """Keeps every warn call; `fail` makes warn raise instead."""

    def __init__(self, fail=None):
        self.calls, self.fail, self.dropped_count = [], fail, 0

    def register_call_site(self, **kwargs):
        return "site"

    def warn(self, *args, **kwargs):
        if self.fail is not None:
            raise self.fail("warn")
        self.calls.append((args, kwargs))
        return True


def record_outcome(cls, fail, clock, kwargs):
    runtime = RecordingRuntime(fail)
    result = outcome(cls(runtime, clock_ns=clock).record_projection_mismatch, **kwargs)
    return result, full_repr(runtime.calls)


def test_parity_record_matches_its_model_on_hostile_input():
    pw = require(PARITY, "SimulationContractSdkTelemetry")
    from models import parity_watch_model as model
    clocks = {"clock 12.9": lambda: 12.9, "clock raising": raise_boom_clock, "clock interrupted": interrupt,
              "clock past the digit limit": lambda: HUGE_INT, "clock NaN": lambda: float("nan"),
              "clock not callable": None}
    roles = {
        "data": lambda v: dict(data=v, projection=None, mismatches=[]),
        "projection": lambda v: dict(data={}, projection=v, mismatches=["x"]),
        "mismatches": lambda v: dict(data={}, projection=None, mismatches=v),
        "epoch_ns": lambda v: dict(data={}, projection=None, mismatches=[], epoch_ns=v),
    }
    for fail in (None, RuntimeError, KeyboardInterrupt):
        mine, theirs = parity_values(), parity_values()
        for role, make in roles.items():
            for label in mine:
                TRIED["_parity_watch"] += 1
                got = record_outcome(pw.SimulationContractSdkTelemetry, fail, fixed_clock, make(mine[label]))
                want = record_outcome(model.SimulationContractSdkTelemetry, fail, fixed_clock, make(theirs[label]))
                assert got == want, f"{role}={label}, warn {fail}"
        for label, clock in clocks.items():
            TRIED["_parity_watch"] += 1
            kwargs = dict(data={}, projection=None, mismatches=[])
            got = record_outcome(pw.SimulationContractSdkTelemetry, fail, clock, kwargs)
            want = record_outcome(model.SimulationContractSdkTelemetry, fail, clock, kwargs)
            assert got == want, f"{label}, warn {fail}"


def fixed_clock():
    return 1_700_000_000_000_000_000


def raise_boom_clock():
    raise Boom("clock")


def interrupt():
    raise KeyboardInterrupt


def test_parity_takes_enormous_text():
    pw = require(PARITY, "projection_hash")
    from models import parity_watch_model as model
    big = "\u00e9" * BIG
    TRIED["_parity_watch"] += 3
    assert pw.projection_hash({"a": big}) == model.projection_hash({"a": big})
    assert pw._bounded_text(big) == "\u00e9" * 93 + "..."
    assert pw._tags(data={"market_id": big}, projection=None, reason_code="r")["market_id"] == "\u00e9" * 93 + "..."


# ---------------------------------------------------------------- memory pressure

# A runtime full of records is freed (or cleared by the garbage collector) with the address
# space capped just above what the process already holds: emptying the rings must not need
# the C++ heap. Run in a child process so that the cap stays out of the suite; skipped under
# AddressSanitizer, whose allocator aborts on failure instead of reporting it.
_PRESSURE_SCRIPT = r"""
import gc, resource, sys
import vantorel._sdk_telemetry as st

class Sub(st.TelemetryRuntime):
    pass

cls = Sub if sys.argv[1] == "cycle" else st.TelemetryRuntime
rt = cls(component="c", lanes=1, ring_capacity=300_000)
s = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                          severity_default=st.Severity.WARN, file="f", line=1, tag_keys=())
for i in range(300_000):
    rt.warn(s, 1.0, epoch_ns=i, reason="r", tags={})
if sys.argv[1] == "cycle":
    rt.me = rt
    gc.disable()
vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + 2**20, resource.RLIM_INFINITY))
del rt, s
if sys.argv[1] == "cycle":
    assert gc.collect() > 0
print("freed")
"""


@pytest.mark.parametrize("how", ["del", "cycle"])
def test_a_full_runtime_is_freed_under_memory_pressure(how):
    import os
    import subprocess
    if not sys.platform.startswith("linux"):
        pytest.skip("reads /proc/self/status")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer build's allocator aborts when the address space is capped")
    if EMULATED:
        pytest.skip("under emulation the address-space limit caps the emulator, not the interpreter")
    pytest.importorskip("vantorel._sdk_telemetry")
    TRIED["_sdk_telemetry"] += 1
    done = subprocess.run([*PYTHON, "-c", _PRESSURE_SCRIPT, how], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "freed", done.stderr[-2000:]


def test_a_runtime_cleared_by_the_collector_keeps_working():
    """A runtime subclass in a cycle with a finaliser: the finaliser still finds it whole,
    and the collector's clear then empties it."""
    import gc
    st = pytest.importorskip("vantorel._sdk_telemetry")
    seen = []

    class Sub(st.TelemetryRuntime):
        pass

    class Keeper:
        def __del__(self):
            rt = self.rt
            seen.append(len(rt.snapshot_anomalies()))
            seen.append(rt.warn(self.site, 1.0, epoch_ns=9, reason="late", tags={}))
            seen.append([r.reason for r in rt.drain_anomalies()])

    rt = Sub(component="c", lanes=2, ring_capacity=3)
    site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                                 severity_default=st.Severity.WARN, file="f", line=1, tag_keys=())
    for i in range(5):
        rt.warn(site, 1.0, epoch_ns=i, reason=str(i), tags={})
    keeper = Keeper()
    keeper.rt, keeper.site, rt.keeper = rt, site, keeper
    del rt, site, keeper
    gc.collect()
    TRIED["_sdk_telemetry"] += 1
    assert seen[0] == 3 and seen[1] is True and seen[2] == ["3", "4", "late"]


# ---------------------------------------------------------------- shadowed builtins

def _raise_boom(*args, **kwargs):
    raise Boom("shadowing builtin")


def _raise_interrupt(*args, **kwargs):
    raise KeyboardInterrupt


# What a hostile caller binds over a builtin in the module's namespace.
SHADOWS = {
    "raising": _raise_boom,
    "KeyboardInterrupt": _raise_interrupt,
    "returning None": lambda *a, **k: None,
    "not callable": 5,
    "a tuple of classes": (KeyError, ValueError),
    "the wrong class": KeyError,
}
ROSTER_SHADOWED = ["str", "isinstance", "tuple", "ValueError", "KeyError"]
PARITY_SHADOWED = ["str", "len", "isinstance", "tuple", "list", "int", "float", "bool"]
SHADOW_ARGUMENTS = {
    "cycle_roster": [(), ("signal_os",), ("nothing",), (None,), (" Strategy ",)],
    "_parity_watch": [({"a": [1, (2, 3)], 1: {4}, "shape_fields": ["x"]},), (["Missing", 7],), ("x" * 200,)],
}


def _shadowed_outcome(module, name, value, fn, args):
    setattr(module, name, value)
    try:
        return outcome(fn, *args)
    finally:
        delattr(module, name)


def _comparable(result):
    import enum
    import re
    if result[0] == "ok" and not isinstance(result[1], (str, tuple, list, frozenset, set, dict)) and \
            not isinstance(result[1], enum.Enum):
        return ("ok", re.sub(r" at 0x[0-9a-f]+", "", full_repr(result[1])))  # generators, say
    if result[0] == "ok":
        value = result[1]
        if isinstance(value, enum.Enum):
            return ("ok", value.value)
        if isinstance(value, (tuple, list, frozenset, set)):
            return ("ok", type(value).__name__, repr(sorted(
                (v.value if isinstance(v, enum.Enum) else repr(v)) for v in value)))
        return ("ok", full_repr(value))
    return result


@pytest.mark.parametrize("module_name", ["cycle_roster", "_parity_watch"])
def test_builtins_shadowed_with_hostile_values_match_the_model(module_name):
    if module_name == "cycle_roster":
        native = pytest.importorskip("vantorel.cycle_roster")
        from models import cycle_roster_model as model
        functions, names = [f for f in ROSTER_FUNCTIONS if f != "_standard_aggregation_epochs"], \
            ROSTER_SHADOWED
    else:
        native = require(PARITY, "_json_safe")
        from models import parity_watch_model as model
        functions, names = PARITY_ONE_ARGUMENT + ["_projection_shape_axes"], PARITY_SHADOWED
    for function in functions:
        for name in names:
            for label, value in SHADOWS.items():
                for args in SHADOW_ARGUMENTS[module_name]:
                    if function == "_projection_shape_axes":
                        args = args + ({"k": 1},)
                    TRIED[module_name] += 1
                    got = _shadowed_outcome(native, name, value, resolve(native, function), args)
                    want = _shadowed_outcome(model, name, value, resolve(model, function), args)
                    assert _comparable(got) == _comparable(want), (function, name, label, args)
    if module_name == "cycle_roster":
        roster_sane(native)
