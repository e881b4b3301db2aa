"""The modules in subinterpreters, beside other interpreters' copies, and after a fresh import.

Each module keeps its state (types, interned names, caches, the default objects) in its own
module object, so every interpreter, and every fresh import, gets its own. Each scenario runs in
a child process (tests/subinterpreters.py drives the version's private interpreter module, and
from 3.14 on the public concurrent.interpreters), so a crash inside a subinterpreter fails its
test only. "legacy" interpreters share the main GIL; "own-gil" ones (3.12 and newer) have their
own and admit only modules that declare support.
NumPy decides for itself which interpreters it accepts; where it refuses one, the logarithmic
module's import fails with NumPy's own error."""
import json
import os
import subprocess
import sysconfig
import tempfile
import textwrap

import pytest

from interpreter import EMULATED, PYTHON
from subinterpreters import KINDS, LOG, PUBLIC, USES

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = sorted(USES)


def child(body, timeout=600 if EMULATED else 120):
    """Run `body` as a script in a new interpreter process; the JSON value its last emit()
    printed. A failed assertion in the script shows its source line."""
    code = f"import sys\nsys.path.insert(0, {HERE!r})\nfrom subinterpreters import *\n"
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "scenario.py")
        with open(script, "w") as f:
            f.write(code + textwrap.dedent(body))
        proc = subprocess.run([*PYTHON, script], capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"child process exited with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.splitlines()[-1])


# Before 3.14 the kinds are the private module's configs by name; from 3.14 on one of them is
# whatever the public create() makes, so the runs there check what they got.
if PUBLIC:
    @pytest.mark.parametrize("kind", KINDS)
    def test_each_kind_is_the_interpreter_it_names(kind):
        """The public create() gives an interpreter its own GIL, its own allocator and the check of
        extension modules, and the legacy config shares the main ones: otherwise the own-gil
        scenarios below would pass without ever running a module under its own GIL. Both kinds are
        the public module's Interpreter objects, listed while alive and gone once closed."""
        got = child(f"""
            import concurrent.interpreters as interpreters
            interp = create({kind!r})
            c = config(interp)
            alive = interp.id in [i.id for i in interpreters.list_all()]
            destroy(interp)
            gone = interp.id not in [i.id for i in interpreters.list_all()]
            emit([type(interp) is interpreters.Interpreter, c.gil, c.use_main_obmalloc,
                  c.check_multi_interp_extensions, alive, gone])
        """)
        own = kind == "own-gil"
        # A free-threaded build checks every interpreter's extension modules, legacy ones too.
        checked = own or sysconfig.get_config_var("Py_GIL_DISABLED") == 1
        assert got == [True, "own" if own else "shared", not own, checked, True, True]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module", MODULES)
def test_each_module_works_in_a_subinterpreter(kind, module):
    """Used twice in one subinterpreter, each module answers as in the main interpreter, and
    the main interpreter's modules answer as before once it is gone."""
    before, expected, first, second, after = child(f"""
        import numpy
        before = {{m: run_here(USES[m]) for m in USES}}
        expected = expected_in({kind!r}, {module!r})
        interp = create({kind!r})
        first = run(interp, USES[{module!r}])
        second = run(interp, USES[{module!r}])
        destroy(interp)
        emit([before, expected, first, second, {{m: run_here(USES[m]) for m in USES}}])
    """)
    assert "result" in before[module]
    assert "result" in expected or expected["error"][0] == "ImportError"
    assert first == expected
    assert second == expected
    assert after == before


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module", MODULES)
def test_two_subinterpreters_use_a_module_at_once(kind, module):
    """Both import before either uses it; the first keeps its own state when the second
    imports, uses and drops the module (a freed interpreter's objects are never reached)."""
    outcomes, expected, main = child(f"""
        import numpy
        main_before = run_here(USES[{module!r}])
        expected = expected_in({kind!r}, {module!r})
        a, b = create({kind!r}), create({kind!r})
        outcomes = [run(a, USES[{module!r}]), run(b, USES[{module!r}]), run(a, USES[{module!r}])]
        destroy(b)
        outcomes.append(run(a, USES[{module!r}]))
        destroy(a)
        emit([outcomes, expected, [main_before, run_here(USES[{module!r}])]])
    """)
    assert outcomes == [expected] * 4
    assert main[0] == main[1] and "result" in main[0]


@pytest.mark.parametrize("kind", KINDS)
def test_interpreters_on_threads_use_every_module_at_once(kind):
    """Three threads, each with its own subinterpreter, use every module over and over; with
    their own GILs (3.12 and newer) the calls truly overlap."""
    got = child(f"""
        import threading
        import numpy
        expected = {{m: expected_in({kind!r}, m) for m in USES}}
        found = [None] * 3
        def work(slot):
            interp = create({kind!r})
            try:
                found[slot] = sorted({{m for _ in range(10) for m in USES if run(interp, USES[m]) != expected[m]}})
            finally:
                destroy(interp)
        threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        emit(found)
    """)
    assert got == [[]] * 3  # the modules whose answer differed, per thread


@pytest.mark.parametrize("kind", KINDS)
def test_parity_watch_default_object_per_interpreter(kind):
    """Each interpreter builds its own _DEFAULT_TELEMETRY; records stay where they were made."""
    got = child(f"""
        import vantorel._parity_watch as pw
        RECORD = ("import vantorel._parity_watch as m\\n"
                  "for e in {{epochs}}:\\n"
                  "    m.record_projection_mismatch(data={{{{}}}}, projection=None, mismatches=['a'], epoch_ns=e)\\n"
                  "result = [r.epoch_ns for r in m._DEFAULT_TELEMETRY.snapshot_anomalies()]")
        FRESH = "import vantorel._parity_watch as m\\nresult = m._DEFAULT_TELEMETRY is None"
        pw.record_projection_mismatch(data={{}}, projection=None, mismatches=["a"], epoch_ns=1)
        a, b = create({kind!r}), create({kind!r})
        out = [run(a, FRESH), run(a, RECORD.format(epochs=[100, 101])), run(b, FRESH),
               run(b, RECORD.format(epochs=[200])), run(a, RECORD.format(epochs=[]))]
        destroy(b)
        out.append(run(a, RECORD.format(epochs=[102])))
        destroy(a)
        pw.record_projection_mismatch(data={{}}, projection=None, mismatches=["a"], epoch_ns=2)
        emit([o.get("result", o) for o in out] + [[r.epoch_ns for r in pw._DEFAULT_TELEMETRY.snapshot_anomalies()]])
    """)
    assert got == [True, [100, 101], True, [200], [100, 101], [100, 101, 102], [1, 2]]


@pytest.mark.parametrize("kind", KINDS)
def test_main_interpreter_telemetry_after_a_subinterpreter(kind):
    """A subinterpreter importing and using the runtime, alive or destroyed, changes nothing
    in the main interpreter: its records carry its own Severity members, an explicit severity
    works, and the module-level hand-off of _parity_watch still stores."""
    records, severities, stored, handed = child(f"""
        import vantorel._parity_watch as pw
        import vantorel._sdk_telemetry as st
        rt = st.TelemetryRuntime(component="c", lanes=1, ring_capacity=10)
        site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                                     severity_default=st.Severity.WARN, file="f", line=1, tag_keys=())
        rt.warn(site, 1.0, epoch_ns=1, reason="before", tags={{}})
        interp = create({kind!r})
        used = [run(interp, USES["_sdk_telemetry"]), run(interp, USES["_parity_watch"])]
        rt.warn(site, 2.0, epoch_ns=2, reason="alive", tags={{}})
        rt.warn(site, 3.0, epoch_ns=3, reason="alive", tags={{}}, severity=st.Severity.ERROR)
        destroy(interp)
        rt.warn(site, 4.0, epoch_ns=4, reason="gone", tags={{}})
        rt.warn(site, 5.0, epoch_ns=5, reason="gone", tags={{}}, severity=st.Severity.ERROR)
        later = rt.register_call_site(name="n2", description="d", message_template="m", value_unit="u",
                                      severity_default=st.Severity.CRITICAL, file="f", line=1, tag_keys=())
        rt.warn(later, 6.0, epoch_ns=6, reason="gone", tags={{}})
        S = st.Severity
        records = [(r.epoch_ns, type(r.severity) is S, r.severity.name,
                    r.severity is {{"WARN": S.WARN, "ERROR": S.ERROR, "CRITICAL": S.CRITICAL}}[r.severity.name])
                   for r in rt.snapshot_anomalies()]
        stored = pw.record_projection_mismatch(data={{}}, projection=None, mismatches=["a"], epoch_ns=7)
        handed = [(r.epoch_ns, r.severity is S.WARN) for r in pw._DEFAULT_TELEMETRY.snapshot_anomalies()]
        emit([records, [site.severity_default is S.WARN, later.severity_default is S.CRITICAL], stored, handed])
    """)
    assert records == [[1, True, "WARN", True], [2, True, "WARN", True], [3, True, "ERROR", True],
                       [4, True, "WARN", True], [5, True, "ERROR", True], [6, True, "CRITICAL", True]]
    assert severities == [True, True]
    assert stored is True and handed == [[7, True]]


@pytest.mark.parametrize("kind", KINDS)
def test_main_interpreter_keeps_the_native_path_after_a_subinterpreter(kind):
    """After a subinterpreter imported (or failed to import) the logarithmic module, the main
    interpreter's calls still run the native kernels: the same bits on a large array, and none
    of NumPy's Python-level reductions (np.prod, np.sum, np.any), which only the general
    per-cell path calls, runs. A profile hook sees those calls and stops the first one, so a
    call sent to the general path fails at once instead of taking minutes."""
    control, outcome, same = child(f"""
        import sys
        import numpy as np
        import {LOG} as lg
        FUNCTIONS = [lg.longitudinal_logarithmic_694eff_batch_reference,
                     lg.longitudinal_logarithmic_665270_batch_reference]
        class W:
            window = 5
        rng = np.random.default_rng(5)
        a = rng.uniform(0.5, 2.0, (20000, 16)) * rng.choice([-1.0, 1.0], (20000, 16))
        a[::7, 3] = np.nan
        class GeneralPath(Exception):
            pass
        def hook(frame, event, arg):
            if event == "call" and frame.f_code.co_name in ("prod", "sum", "any", "_sum"):
                raise GeneralPath(frame.f_code.co_name)
        def watched(f, data):
            sys.setprofile(hook)
            try:
                return f(W(), data).tobytes()
            except GeneralPath as exc:
                return "general path: " + str(exc)
            finally:
                sys.setprofile(None)
        class Sub(np.ndarray):
            pass
        control = [watched(f, a[:20].view(Sub)) for f in FUNCTIONS]  # the general path's own calls
        before = [watched(f, a) for f in FUNCTIONS]
        interp = create({kind!r})
        outcome = run(interp, USES["logarithmic"])
        destroy(interp)
        after = [watched(f, a) for f in FUNCTIONS]
        emit([control, outcome, [x == y if isinstance(y, bytes) else y for x, y in zip(before, after)]])
    """, timeout=1200 if EMULATED else 300)
    assert all(c.startswith("general path") for c in control)
    assert same == [True, True]
    assert "result" in outcome or outcome["error"][0] == "ImportError"


# ---- fresh imports and reload ------------------------------------------------
# tests/test_parity_watch.py and tests/test_cycle_roster.py check reload and a fresh import's
# new namespace for those two modules; here: every module's objects from before a fresh import
# keep their own module's globals and state, and reload for the other two modules.

FRESH_IMPORT = {
    "_parity_watch": """
        import hashlib
        old.record_projection_mismatch(data={}, projection=None, mismatches=["a"], epoch_ns=1)
        default = old._DEFAULT_TELEMETRY
        new = fresh()
        assert new._DEFAULT_TELEMETRY is None
        class Md5:
            sha256 = staticmethod(hashlib.md5)
        sha, md5 = hashlib.sha256(b'{"a":1}').hexdigest()[:16], hashlib.md5(b'{"a":1}').hexdigest()[:16]
        old.hashlib = Md5
        assert (old.projection_hash({"a": 1}), new.projection_hash({"a": 1})) == (md5, sha)
        old.hashlib, new.hashlib = hashlib, Md5
        assert (old.projection_hash({"a": 1}), new.projection_hash({"a": 1})) == (sha, md5)
        assert new.record_projection_mismatch(data={}, projection=None, mismatches=["a"], epoch_ns=2)
        assert old.record_projection_mismatch(data={}, projection=None, mismatches=["a"], epoch_ns=3)
        assert old._DEFAULT_TELEMETRY is default and new._DEFAULT_TELEMETRY is not default
        assert [r.epoch_ns for r in default.snapshot_anomalies()] == [1, 3]
        assert [r.epoch_ns for r in new._DEFAULT_TELEMETRY.snapshot_anomalies()] == [2]
    """,
    "cycle_roster": """
        new = fresh()
        for m in (old, new, old):
            assert all(type(e) is m.EpochName for e in m.epochs_for_process_role("signal_is"))
            assert m.EpochName.from_str("signal_os") is m.EpochName.SIGNAL_OS
            assert m.valid_epochs_for_category("signals") is m._ALL_EPOCH_NAMES
        old._VALID_EPOCHS_BY_CATEGORY = {"extra": frozenset()}
        assert old.valid_epochs_for_category("extra") == frozenset()
        try:
            new.valid_epochs_for_category("extra")
        except ValueError as exc:
            assert str(exc) == "Unknown epoch category 'extra'"
        else:
            raise AssertionError("the new module read the old module's table")
    """,
    "_sdk_telemetry": """
        def use(m):
            rt = m.TelemetryRuntime(component="c", lanes=1, ring_capacity=4)
            site = rt.register_call_site(name="n", description="d", message_template="m", value_unit="u",
                                         severity_default=m.Severity.WARN, file="f", line=1, tag_keys=())
            rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={})
            return rt, site
        rt_old, site_old = use(old)
        new = fresh()
        assert new.Severity is not old.Severity
        assert new.TelemetryRuntime is not old.TelemetryRuntime and new.CallSite is not old.CallSite
        rt_new, site_new = use(new)
        rt_old.warn(site_old, 2.0, epoch_ns=2, reason="r", tags={}, severity=old.Severity.ERROR)
        rt_new.warn(site_new, 2.0, epoch_ns=2, reason="r", tags={}, severity=new.Severity.ERROR)
        for m, rt in ((old, rt_old), (new, rt_new)):
            assert [r.severity for r in rt.snapshot_anomalies()] == [m.Severity.WARN, m.Severity.ERROR]
            assert all(type(r.severity) is m.Severity for r in rt.snapshot_anomalies())
    """,
    "logarithmic": """
        import math, types
        import numpy as np
        class W:
            window = 3
        a = np.linspace(-2.0, 5.0, 400).reshape(100, 4)
        a[::9, 2] = np.nan
        names = ["longitudinal_logarithmic_694eff_batch_reference",
                 "longitudinal_logarithmic_665270_batch_reference"]
        expected = [getattr(old, n)(W(), a) for n in names]
        new = fresh()
        old.math = types.SimpleNamespace(nan=7.0, isnan=math.isnan, isinf=math.isinf, exp=math.exp)
        for n, e in zip(names, expected):
            assert getattr(new, n)(W(), a).tobytes() == e.tobytes()
            assert getattr(old, n)(W(), a).tobytes() == np.where(np.isnan(e), 7.0, e).tobytes()
    """,
}


@pytest.mark.parametrize("module", MODULES)
def test_objects_of_an_earlier_import_keep_their_own_module(module):
    name = LOG if module == "logarithmic" else f"vantorel.{module}"
    child(textwrap.dedent(f"""
        import importlib
        old = importlib.import_module({name!r})
        def fresh():
            del sys.modules[{name!r}]
            new = importlib.import_module({name!r})
            assert new is not old
            return new
    """) + textwrap.dedent(FRESH_IMPORT[module]) + "emit(True)\n")


@pytest.mark.parametrize("name, function", [
    ("vantorel._sdk_telemetry", "TelemetryRuntime"),
    (LOG, "longitudinal_logarithmic_665270_batch_reference"),
])
def test_reload_returns_the_module_and_keeps_its_namespace(name, function):
    """As the README states: the same object; only the import system's own attributes are set
    again, everything else keeps what the namespace holds."""
    child(f"""
        import importlib
        m = importlib.import_module({name!r})
        rebound = m.{function} = lambda *args: "rebound"
        m.extra, m.__file__, m.__package__ = 1, "elsewhere", "elsewhere"
        assert importlib.reload(m) is m and sys.modules[{name!r}] is m
        assert m.{function} is rebound and m.extra == 1
        assert m.__file__ == m.__spec__.origin != "elsewhere" and m.__name__ == {name!r}
        assert m.__package__ == m.__spec__.parent != "elsewhere"
        emit(True)
    """)
