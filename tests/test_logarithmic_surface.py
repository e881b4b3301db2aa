"""Module surface, setup order and failure points of the logarithmic batch references."""
import inspect
import math

import numpy as np
import pytest

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from models.logarithmic_model import FUNCTIONS, Instance, outcome
from interpreter import PYTHON

MODULE = "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"
NAMES = {k: f"longitudinal_logarithmic_{k}_batch_reference" for k in FUNCTIONS}


def native(key):
    return getattr(lg, NAMES[key])


def test_module_docstring_and_imports():
    lines = lg.__doc__.split("\n")
    assert lines[:4] == [
        "Batch reference implementations for logarithmic rotations.",
        "",
        "Extracted from vantorel/functions/rotations/longitudinal/logarithmic.",
        lines[3],
    ] and lines[3]
    assert lines[4:] == [
        "",
        "NaN doctrine (T-NAN-LOG, longitudinal_nan_semantic.md):",
        "- Output NaN if any NaN/inf in window (matches streaming nobs >= W gate).",
        "- Output NaN if current x is NaN/inf or current x <= 0 (matches streaming",
        "  current-x strict gate).",
        "- Otherwise: 0 if any past zero in window; else sign * product (or",
        "  geo_mean = product ** (1/nobs)).",
        "",
    ]
    assert lg.math is math and lg.np is np


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_function_surface(key):
    fn = native(key)
    name = NAMES[key]
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == MODULE
    assert fn.__doc__ == f"{name}(instance, data)\nNon-streaming ground truth for longitudinal_logarithmic_{key}."
    params = list(inspect.signature(fn).parameters.values())
    assert [(p.name, p.kind, p.default) for p in params] == [
        ("instance", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("data", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
    ]


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 2 required positional arguments: 'instance' and 'data'"),
        ((1,), {}, "{}() missing 1 required positional argument: 'data'"),
        ((1, 2, 3), {}, "{}() takes 2 positional arguments but 3 were given"),
        ((1,), {"instance": 2}, "{}() got multiple values for argument 'instance'"),
        ((1, 2), {"window": 2}, "{}() got an unexpected keyword argument 'window'"),
    ],
)
def test_bad_calls(key, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        native(key)(*args, **kwargs)
    assert str(info.value) == message.format(NAMES[key])


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_keywords_accepted(key):
    data = np.array([[2.0], [3.0]])
    out = native(key)(data=data, instance=Instance(2))
    assert out.shape == (2, 1) and out.dtype == np.float64


class Shaped:
    """An array-like that records how it is used."""

    def __init__(self, shape, log):
        self._shape, self._log = shape, log

    @property
    def shape(self):
        self._log.append("shape")
        return self._shape


class Recorder:
    def __init__(self, log, window=3, missing=False):
        self._log, self._window, self._missing = log, window, missing

    @property
    def window(self):
        self._log.append("window")
        if self._missing:
            raise AttributeError("window")
        return self._window


def same_failure(key, instance, data):
    make = data if callable(data) else (lambda: data)
    expected = outcome(FUNCTIONS[key], instance, make())
    got = outcome(native(key), instance, make())
    assert expected[0] == got[0] == "raise", (expected, got)
    assert got[1:3] == expected[1:3]
    return got


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize(
    "data",
    [
        np.zeros(3),
        np.zeros((2, 2, 2)),
        np.zeros(()),
        object(),
        Shaped(5, []),
        Shaped("ab", []),
        lambda: Shaped(iter([1, 2, 3]), []),
        Shaped((2.0, 1), []),
        Shaped((2, "x"), []),
    ],
    ids=["1d", "3d", "0d", "no-shape", "int-shape", "str-shape", "iter-shape", "float-T", "str-N"],
)
def test_setup_failures_match_the_model(key, data):
    same_failure(key, Instance(2), data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("rows", [0, 3])
def test_window_is_read_after_the_output_is_made(key, rows):
    log = []
    with pytest.raises(AttributeError):
        native(key)(Recorder(log, missing=True), np.ones((rows, 2)))
    assert log == ["window"]
    log.clear()
    assert native(key)(Recorder(log), np.ones((0, 4))).shape == (0, 4)
    assert log == ["window"]


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_shape_is_read_before_the_window(key):
    log = []
    with pytest.raises(TypeError, match="not subscriptable"):
        native(key)(Recorder(log), Shaped((1, 2), log))
    assert log == ["shape", "window"]


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize(
    "window",
    ["3", None, 2.0, 5.0, 1.5, -0.5, [1], 3 + 0j],
)
def test_unusual_windows_fail_like_the_model(key, window):
    data = np.arange(1.0, 13.0).reshape(6, 2)
    same_failure(key, Instance(window), data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_row_failure_leaves_no_partial_result_and_data_untouched(key):
    data = np.arange(1.0, 13.0).reshape(6, 2)
    before = data.copy()
    with pytest.raises(TypeError, match="slice indices must be integers"):
        native(key)(Instance(2.0), data)
    assert np.array_equal(data, before)


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_rebound_globals_are_used(key, monkeypatch):
    calls = []

    class Spy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(lg, "np", Spy())
    out = native(key)(Instance(2), np.array([[2.0], [3.0]]))
    assert "full" in calls and "isnan" in calls
    assert out[1, 0] == (6.0 if key == "694eff" else math.exp((math.log(2) + math.log(3)) / 2))
    monkeypatch.undo()
    monkeypatch.setattr(lg.np, "prod", lambda v: -1.0)
    monkeypatch.setattr(lg.np, "log", lambda v: np.zeros_like(v, dtype=float))
    out = native(key)(Instance(2), np.array([[2.0], [3.0]]))
    assert out[1, 0] == (-1.0 if key == "694eff" else 1.0)


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_rebound_math_and_builtins(key, monkeypatch):
    monkeypatch.setattr(lg, "math", type("M", (), {"nan": -1.0, "isnan": staticmethod(math.isnan),
                                                   "isinf": staticmethod(math.isinf),
                                                   "exp": staticmethod(math.exp)}))
    out = native(key)(Instance(2), np.array([[np.nan], [-3.0]]))
    assert out.tolist() == [[-1.0], [-1.0]]
    monkeypatch.undo()
    monkeypatch.setattr(lg, "max", lambda a, b: 0, raising=False)
    out = native(key)(Instance(1), np.array([[2.0], [3.0]]))
    assert out[1, 0] == (6.0 if key == "694eff" else math.exp((math.log(2) + math.log(3)) / 2))


_NAN_SCRIPT = r"""
import math, sys
import numpy as np
math.nan = eval(sys.argv[1])  # before the module is first imported
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from models.logarithmic_model import FUNCTIONS, Instance, same_bits
data = np.array([[np.nan, 2.0], [-1.0, 3.0], [4.0, np.inf]])
for key, model in FUNCTIONS.items():
    fn = getattr(lg, model.__name__)
    got, want = fn(Instance(2), data), model(Instance(2), data)
    assert same_bits(got, want), (key, got, want)
    print(key, got.ravel().tolist())
"""


@pytest.mark.parametrize("value, first", [("5", 5.0), ("None", None), ("'7.5'", 7.5),
                                          ("float('nan')", None)])
def test_math_nan_is_read_when_used_even_if_rebound_before_import(value, first):
    """`out[t, n] = math.nan` stores what NumPy makes of the object there now."""
    import subprocess
    import sys
    from pathlib import Path
    here = Path(__file__).resolve().parent
    done = subprocess.run([*PYTHON, "-c", _NAN_SCRIPT, value], capture_output=True,
                          text=True, cwd=here, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    for line in done.stdout.splitlines():
        cell = float(line.split(" ", 1)[1].strip("[]").split(",")[0])
        assert (math.isnan(cell) if first is None else cell == first), line


_FRESH_IMPORT_SCRIPT = r"""
import importlib, sys, types
import numpy as np
from models.logarithmic_model import FUNCTIONS, Instance, same_bits
LOG = "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"

class GeneralPath(Exception):
    pass

def hook(frame, event, arg):
    # np.prod, np.sum and np.any are Python-level functions only the general path calls
    if event == "call" and frame.f_code.co_name in ("prod", "sum", "any", "_sum"):
        raise GeneralPath

def path(m):
    out = []
    for model in FUNCTIONS.values():
        sys.setprofile(hook)
        try:
            getattr(m, model.__name__)(Instance(3), a)
            out.append("native")
        except GeneralPath:
            out.append("general")
        finally:
            sys.setprofile(None)
    return out

a = np.random.default_rng(3).uniform(0.5, 2.0, (3000, 8))
old = importlib.import_module(LOG)
copy = types.ModuleType("numpy")  # NumPy's own objects in another module object
copy.__dict__.update(np.__dict__)
sys.modules["numpy"] = copy
del sys.modules[LOG]
new = importlib.import_module(LOG)
sys.modules["numpy"] = np
assert new is not old and new.np is copy and old.np is np
assert (path(old), path(new)) == (["native"] * 2, ["native"] * 2)
old.np, new.np = copy, np  # each compares against the objects its own body bound
assert (path(old), path(new)) == (["general"] * 2, ["general"] * 2)
old.np, new.np = np, copy
old.max = max
assert (path(old), path(new)) == (["general"] * 2, ["native"] * 2)
del old.max
log = np.log
for stand_in in (np.negative, lambda v: log(v)):  # not NumPy's own log: the general path
    np.log = stand_in
    del sys.modules[LOG]
    assert path(importlib.import_module(LOG)) == ["general"] * 2
np.log = log
assert path(old) == ["native"] * 2
for model in FUNCTIONS.values():
    b = a[:50]
    assert same_bits(getattr(old, model.__name__)(Instance(3), b), model(Instance(3), b))
print("ok")
"""


def test_each_module_object_compares_against_its_own_originals():
    """A fresh import captures the objects bound then; each module object's functions take the
    native path while that module's own originals are in place (the general path shows as
    Python-level calls of np.prod, np.sum or np.any)."""
    import subprocess
    from pathlib import Path
    done = subprocess.run([*PYTHON, "-c", _FRESH_IMPORT_SCRIPT], capture_output=True, text=True,
                          cwd=Path(__file__).resolve().parent, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["ok"]


_REPLACED_SCRIPT = r"""
import math, sys
import numpy as np
exec(sys.argv[1])  # replaces a name before the module is first imported
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from models.logarithmic_model import FUNCTIONS, Instance, same_bits
data = np.array([[np.nan, 2.0], [-1.0, 3.0], [4.0, np.inf], [0.5, 8.0]])
for key, model in FUNCTIONS.items():
    got, want = getattr(lg, model.__name__)(Instance(2), data), model(Instance(2), data)
    assert same_bits(got, want), (key, got, want)
print("ok")
"""


@pytest.mark.parametrize("replace", [
    "math.exp = lambda x: 2.0", "math.isinf = lambda x: x > 3", "np.isnan = np.isinf",
    "np.prod = lambda v: -7.0", "np.abs = np.negative", "np.log = lambda v, *o: np.log1p(v, *o)",
    "np.sum = lambda v: 1.5", "import builtins; m = max; builtins.max = lambda *a: 0 if a[:1] == (0,) else m(*a)"])
def test_names_replaced_before_the_first_import_are_called(replace):
    """The objects bound at import are the originals; where one is not the library's own, the
    per-cell steps call it, as the reference does."""
    import subprocess
    from pathlib import Path
    done = subprocess.run([*PYTHON, "-c", _REPLACED_SCRIPT, replace], capture_output=True,
                          text=True, cwd=Path(__file__).resolve().parent, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
