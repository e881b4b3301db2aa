"""Subinterpreters of this process, and one short use of each native module that runs the
same in any interpreter.

The scenarios of tests/test_subinterpreters.py use it in child processes, so that a fault
inside a subinterpreter fails one test instead of the whole run.

    3.10, 3.11  _xxsubinterpreters.create() makes an interpreter sharing the main GIL
    3.12        _xxsubinterpreters.create(isolated=True), the default, has its own GIL and
                refuses modules that do not declare support; isolated=False is the legacy one
    3.13        _interpreters.create("legacy" | "isolated"); exec() returns None or a summary
                of the exception
    3.14 on     the public concurrent.interpreters: create() makes an interpreter with its own
                GIL; Interpreter.exec() runs code, raising ExecutionFailed, and close() destroys.
                The public module takes no config, so the legacy interpreter is made by
                _interpreters.create("legacy", reqrefs=True), as create() makes its own, and
                then driven through the same Interpreter object.
"""
import json
import os
import sys
import tempfile

V = sys.version_info[:2]
KINDS = ("legacy", "own-gil") if V >= (3, 12) else ("legacy",)

PUBLIC = V >= (3, 14)  # interpreters driven through concurrent.interpreters

if V >= (3, 13):
    import _interpreters as _xi
else:
    import _xxsubinterpreters as _xi
if PUBLIC:
    import concurrent.interpreters as interpreters

LOG = "vantorel.functions.rotations.batch_references.longitudinal.logarithmic"

# Each use sets `result` to something JSON can carry; identity checks are made inside the
# interpreter that ran it, since objects cannot be compared across interpreters.
USES = {
    "cycle_roster": """
from vantorel import cycle_roster as m
E = m.EpochName
roles = m.epochs_for_process_role(" API_Server ")
try:
    E.from_str("nothing")
except ValueError as exc:
    error = str(exc)
result = [[e.value for e in roles], all(type(e) is E for e in roles),
          E.from_str("signal_is_pool") is E.SIGNAL_IS_POOL, isinstance(E.SIGNAL_IS, str),
          sorted(m.valid_epochs_for_category("signals")),
          [e.value for e in m.epochs_for_submission_type(" Signal ")], error]
""",
    "_parity_watch": """
import vantorel._parity_watch as m
fresh = m._DEFAULT_TELEMETRY is None
projection = {"version": "v2", "shape": {"rows": 3}, "z": [1.5, None, "x"]}
stored = m.record_projection_mismatch(data={"slot_id": "s"}, projection=projection,
                                      mismatches=["shape differs"], epoch_ns=7)
records = m._DEFAULT_TELEMETRY.drain_anomalies()
result = [fresh, m.projection_hash(projection), m.projection_mismatch_reason(["x"]), stored,
          [(r.call_site, r.severity.name, r.reason, r.epoch_ns, r.message, r.tags) for r in records]]
m._DEFAULT_TELEMETRY = None  # as found: the next use starts afresh
""",
    "_sdk_telemetry": """
import vantorel._sdk_telemetry as st
rt = st.TelemetryRuntime(component="c", lanes=2, ring_capacity=2)
site = rt.register_call_site(name="n", description="d", message_template="at {k}", value_unit="u",
                             severity_default=st.Severity.WARN, file="f", line=1, tag_keys=("k",))
for i in range(3):
    rt.warn(site, float(i), epoch_ns=i, reason="r", tags={"k": str(i)})
rt.warn(site, 9, epoch_ns=9, reason="e", tags={}, severity=st.Severity.ERROR)
records = rt.snapshot_anomalies()
result = [rt.dropped_count, site.severity_default is st.Severity.WARN,
          [(type(r.severity) is st.Severity, r.severity.name, r.value, r.epoch_ns, r.message, r.tags)
           for r in records]]
""",
    "logarithmic": f"""
import {LOG} as m  # first: where NumPy refuses the interpreter, this import must fail as NumPy does
import numpy as np
class W:
    window = 3
a = np.linspace(-2.0, 5.0, 48).reshape(12, 4)
a[3, 1] = np.nan
with np.errstate(all="ignore"):
    result = [m.longitudinal_logarithmic_694eff_batch_reference(W(), a).tobytes().hex(),
              m.longitudinal_logarithmic_665270_batch_reference(W(), a).tobytes().hex()]
""",
}


def create(kind):
    if PUBLIC:
        if kind == "legacy":
            # Interpreter(id) of an interpreter the private module made with reqrefs takes a
            # reference of its own, as create() does: close() or the object's end destroys it.
            return interpreters.Interpreter(_xi.create("legacy", reqrefs=True))
        assert kind == "own-gil", kind
        return interpreters.create()
    if V >= (3, 13):
        return _xi.create("legacy" if kind == "legacy" else "isolated")
    if V == (3, 12):
        return _xi.create(isolated=kind != "legacy")
    assert kind == "legacy", kind
    return _xi.create()


def destroy(interp):
    if PUBLIC:
        interp.close()
    else:
        _xi.destroy(interp)


def config(interp):
    """The interpreter's own config, as the runtime holds it (3.13 and newer)."""
    return _xi.get_config(interp.id if PUBLIC else interp)


def run(interp, code):
    """Run `code` in `interp`; {"result": its `result`} or {"error": [type, message]}."""
    fd, path = tempfile.mkstemp(suffix=".json")
    os.close(fd)
    wrapped = (
        "import json as _json\n"
        "try:\n"
        f"    exec({code!r})\n"
        "    _out = {'result': result}\n"
        "except BaseException as _exc:\n"
        "    _out = {'error': [type(_exc).__name__, str(_exc)]}\n"
        f"with open({path!r}, 'w') as _f:\n"
        "    _json.dump(_out, _f)\n"
    )
    try:
        if PUBLIC:
            try:
                interp.exec(wrapped)
            except interpreters.ExecutionFailed as exc:
                raise AssertionError(exc.excinfo.formatted) from None
        else:
            failed = _xi.exec(interp, wrapped) if V >= (3, 13) else _xi.run_string(interp, wrapped)
            assert failed is None, failed
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


def run_here(code):
    """The same as run(), in the interpreter calling it."""
    try:
        namespace = {}
        exec(code, namespace)
        return json.loads(json.dumps({"result": namespace["result"]}))
    except Exception as exc:
        return {"error": [type(exc).__name__, str(exc)]}


def run_once(kind, code):
    interp = create(kind)
    try:
        return run(interp, code)
    finally:
        destroy(interp)


def expected_in(kind, module):
    """What USES[module] gives in a new interpreter of `kind`: the main interpreter's answer,
    or NumPy's own refusal of such an interpreter for the module that needs NumPy."""
    if module == "logarithmic":
        numpy_alone = run_once(kind, "import numpy\nresult = None")
        if "error" in numpy_alone:
            return numpy_alone
    return run_here(USES[module])


def emit(value):
    print(json.dumps(value))
