"""Free-threaded builds: every module declares it runs without the GIL, and the layer's
shared state (the memo of late-bound names, the interpreter's one dict watcher) stays
exact while threads call and rebind at once. The thread cases run on GIL builds too,
with a short switch interval, where they test the same answers."""
import builtins
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import vantorel.cycle_roster as cr
from interpreter import PYTHON

E = cr.EpochName
MODULES = ("vantorel.cycle_roster", "vantorel._parity_watch", "vantorel._sdk_telemetry",
           "vantorel.functions.rotations.batch_references.longitudinal.logarithmic")
FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1


def child_env():
    import os

    env = dict(os.environ)
    env.pop("PYTHON_GIL", None)  # the child decides from the modules' declarations alone
    return env


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded build only")
def test_importing_every_module_leaves_the_gil_off():
    code = f"import sys\nfor m in {MODULES!r}: __import__(m)\nassert not sys._is_gil_enabled()\n"
    run = subprocess.run([*PYTHON, "-W", "error", "-c", code], capture_output=True, text=True, timeout=300,
                         env=child_env())
    assert run.returncode == 0, run.stderr


# The first roster and telemetry modules of the process hand out immortal members and
# category sets on a free-threaded build (no count for threads to contend on), and the
# parity module's string constants are interned (immortal there, as code constants are); a
# fresh import's objects are counted and freed with it, and whatever the build, the answers
# are the same objects as before.
IMMORTAL = r"""
import gc, importlib, sys, sysconfig, weakref
import vantorel.cycle_roster as first
from vantorel import _parity_watch as p
from vantorel._sdk_telemetry import Severity
E = first.EpochName
sets = [first.valid_epochs_for_category(c) for c in ("aggregations", "signals", "strategies")]
print(all(map(sys._is_immortal, [*E, *sets, *Severity])))
texts = [p._CALL_SITE_NAME, p._PARENT_HOME, *p._TAG_KEYS]
assert all(sys.intern(t) is t for t in texts)
assert all(map(sys._is_immortal, texts)) or not sysconfig.get_config_var("Py_GIL_DISABLED")
del sys.modules["vantorel.cycle_roster"]
fresh = importlib.import_module("vantorel.cycle_roster")
assert fresh.EpochName.from_str("signal_os") is fresh.EpochName.SIGNAL_OS
assert first.EpochName.from_str("signal_os") is E.SIGNAL_OS
print(any(map(sys._is_immortal, [*fresh.EpochName, fresh.valid_epochs_for_category("signals")])))
gone = weakref.ref(fresh.EpochName.SIGNAL_OS)
del fresh, sys.modules["vantorel.cycle_roster"]
sys.modules["vantorel"].cycle_roster = first
gc.collect()
print(gone() is None)
"""


@pytest.mark.skipif(sys.version_info < (3, 14), reason="sys._is_immortal exists from 3.14 on")
def test_first_module_members_are_immortal_on_free_threaded_builds_only():
    run = subprocess.run([*PYTHON, "-c", IMMORTAL], capture_output=True, text=True, timeout=300, env=child_env())
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [str(FREE_THREADED), "False", "True"]


# Counts the dict watcher ids left free after the modules are imported, one after the
# other or from one thread each at once: the package takes one id per interpreter either way.
FREE_IDS = r"""
import ctypes, sys, threading
modules = {modules!r}
if {together!r}:
    start = threading.Barrier(len(modules))
    def load(name):
        start.wait()
        __import__(name)
    threads = [threading.Thread(target=load, args=(m,)) for m in modules]
    for t in threads: t.start()
    for t in threads: t.join()
else:
    for m in modules: __import__(m)
assert all(m in sys.modules for m in modules)
callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
keep = callback(lambda *a: 0)
add = ctypes.pythonapi.PyDict_AddWatcher
add.restype, add.argtypes = ctypes.c_int, [callback]
free = 0
while True:
    try:
        if add(keep) < 0: break
    except RuntimeError:
        break
    free += 1
print(free)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers exist from 3.12 on")
def test_modules_imported_at_once_share_one_watcher_id():
    free = []
    for together in (False, True, True):
        code = FREE_IDS.format(modules=MODULES, together=together)
        run = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True, timeout=300, env=child_env())
        assert run.returncode == 0, run.stderr
        free.append(int(run.stdout.split()[-1]))
    assert free[0] >= 1 and free == [free[0]] * 3


# ---------------------------------------------------------------- calls while names move

@pytest.fixture
def busy_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(saved)


def outcome(fn, *args):
    try:
        r = fn(*args)
        return ("ok", type(r), r)
    except Exception as exc:  # noqa: BLE001 - compared, not handled
        cause = type(exc.__cause__) if exc.__cause__ is not None else None
        return ("err", type(exc), str(exc), cause)


ROLES = [None, "", "api", " API_Server ", "mi", "strategy-mi", "Signal_IS_Only", "strategy_os", "signal-is-pool",
         "nobody", 0]
CALLS = (
    [(cr.epochs_for_process_role, (r,)) for r in ROLES]
    + [(cr.epochs_for_submission_type, (r,)) for r in ("signal", "Strategy", "x", None)]
    + [(E.from_str, (v,)) for v in ("signal_is", "SIGNAL_IS", None, E.STRATEGY_OS, 3)]
    + [(cr.valid_epochs_for_category, (c,)) for c in ("signals", "strategies", "aggregations", "Signals", None)]
    + [(cr._epoch_partition, (p,)) for p in ("signal", "strategy", "")]
    + [(cr._standard_aggregation_epochs, ())]
)


class Tuple(tuple):
    """What a replaced `tuple` makes: equal to the host's, told apart by its type."""


class Missing(KeyError):
    pass


def shadow_str(o):
    return builtins.str(o).upper()


REBINDINGS = {
    # module globals the shortcuts depend on
    "table": (cr, "_VALID_EPOCHS_BY_CATEGORY", {"aggregations": frozenset(E), "signals": frozenset({E.SIGNAL_OS})}),
    "EpochName": (cr, "EpochName", list(reversed(E))),
    # builtins, shadowed in the module or replaced in the builtins module
    "str": (cr, "str", shadow_str),
    # (each read once per call: a name read twice, as `except ValueError` then `raise
    # ValueError` are, may rightly give a call one of each)
    "KeyError": (cr, "KeyError", Missing),
    "tuple": (builtins, "tuple", lambda it=(): Tuple(it)),
}
MISSING = object()


class Rebinding:
    def __init__(self, where, name, value):
        self.where, self.name, self.value = where, name, value
        self.saved = vars(where).get(name, MISSING)

    def apply(self):
        setattr(self.where, self.name, self.value)

    def restore(self):
        if self.saved is MISSING:
            vars(self.where).pop(self.name, None)
        else:
            setattr(self.where, self.name, self.saved)


def answers():
    return [outcome(fn, *args) for fn, args in CALLS]


@pytest.mark.parametrize("case", REBINDINGS)
def test_every_answer_is_the_original_or_the_rebound_one(case, busy_switching):
    r = Rebinding(*REBINDINGS[case])
    original = answers()
    r.apply()
    try:
        rebound = answers()
    finally:
        r.restore()
    assert original != rebound  # the rebinding moves some answer
    assert answers() == original

    wrong, seen = [], set()
    stop = threading.Event()
    start = threading.Barrier(5)

    def caller(offset):
        start.wait()
        k = offset
        while not stop.is_set():
            j = k % len(CALLS)
            fn, args = CALLS[j]
            got = outcome(fn, *args)
            if got == original[j] and original[j] != rebound[j]:
                seen.add("original")
            elif got == rebound[j] and original[j] != rebound[j]:
                seen.add("rebound")
            elif got != original[j]:
                wrong.append((j, got, original[j], rebound[j]))
            k += 1

    def rebinder():
        start.wait()
        try:
            deadline = time.monotonic() + 0.6
            while time.monotonic() < deadline:
                r.apply()
                time.sleep(0)
                r.restore()
                time.sleep(0)
        finally:
            stop.set()
            r.restore()

    threads = [threading.Thread(target=caller, args=(i * 7,)) for i in range(4)]
    threads.append(threading.Thread(target=rebinder))
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
        assert not t.is_alive(), "a thread hangs"
    assert wrong == []
    assert seen == {"original", "rebound"}
    # No memo made amid the churn outlives it, in either state.
    assert answers() == original
    r.apply()
    try:
        assert answers() == rebound
    finally:
        r.restore()
    assert answers() == original
