// SimulationContractSdkTelemetry, the default object and the module-level
// functions that create, replace and use it.
#include "classify.hpp"
#include "globals.hpp"
#include "values.hpp"

namespace parity_watch {
namespace {

const char kClassDoc[] = "Bounded wheel-local telemetry for SDK/server projection checks.";

// TelemetryRuntime(component="vantorel_sdk", lanes=1, ring_capacity=128)
Ref build_runtime(const FunctionObject& fn) {
    static PyObject* const kw = pyapi::kwnames("component", "lanes", "ring_capacity");
    static PyObject* const one = PyLong_FromLong(1);
    static PyObject* const capacity = PyLong_FromLong(128);
    Ref cls = read_global(fn, names().TelemetryRuntime);
    return pyapi::call(cls.get(), {PW_NAME("vantorel_sdk"), one, capacity}, kw);
}

Ref severity_warn(const FunctionObject& fn) {
    Ref severity = read_global(fn, names().Severity);
    return pyapi::getattr(severity.get(), names().WARN);
}

Ref init_body(FunctionObject& fn, PyObject* const* argv) {
    PyObject* self = argv[0];
    const Names& n = names();
    // Only None asks for a runtime of our own: a runtime that happens to be
    // falsy (an empty-looking container) is still the caller's runtime.
    Ref runtime = argv[1] == Py_None ? build_runtime(fn) : Ref::borrow(argv[1]);
    pyapi::setattr(self, n.runtime, runtime.get());
    pyapi::setattr(self, n.clock_ns_attr, argv[2]);

    static PyObject* const kw =
        pyapi::kwnames("name", "description", "message_template", "value_unit",
                       "severity_default", "file", "line", "tag_keys");
    static PyObject* const line = PyLong_FromLong(47);
    Ref current = pyapi::getattr(self, n.runtime);
    Ref register_site = pyapi::getattr(current.get(), n.register_call_site);
    Ref name = read_global(fn, n.CALL_SITE_NAME);
    Ref severity = severity_warn(fn);
    Ref file = read_global(fn, n.file);
    Ref tag_keys = read_global(fn, n.TAG_KEYS);
    Ref site = pyapi::call(
        register_site.get(),
        {name.get(),
         PW_NAME("Vantorel SDK observed a local/server simulation-contract projection mismatch."),
         PW_NAME("simulation contract projection mismatch reason={reason_code} "
                       "market={market_id} era={era_number} hash={projection_hash}"),
         PW_NAME("mismatches"), severity.get(), file.get(), line, tag_keys.get()},
        kw);
    pyapi::setattr(self, n.site_attr, site.get());
    return Ref::borrow(Py_None);
}

Ref dropped_count_body(FunctionObject&, PyObject* const* argv) {
    Ref runtime = pyapi::getattr(argv[0], names().runtime);
    return pyapi::getattr(runtime.get(), names().dropped_count);
}

Ref snapshot_body(FunctionObject&, PyObject* const* argv) {
    Ref runtime = pyapi::getattr(argv[0], names().runtime);
    return pyapi::call_method(runtime.get(), names().snapshot_anomalies);
}

Ref drain_body(FunctionObject&, PyObject* const* argv) {
    Ref runtime = pyapi::getattr(argv[0], names().runtime);
    return pyapi::call_method(runtime.get(), names().drain_anomalies);
}

// The hand-off (steps 4 to 9): everything here may fail with an Exception,
// which the caller turns into False.
Ref hand_off(const FunctionObject& fn, PyObject* self, PyObject* items, PyObject* epoch_ns,
             PyObject* reason_code, PyObject* tags) {
    const Names& n = names();
    Ref runtime = pyapi::getattr(self, n.runtime);
    Ref warn = pyapi::getattr(runtime.get(), n.warn);
    Ref site = pyapi::getattr(self, n.site_attr);
    Ref stamp;
    if (epoch_ns == Py_None) {
        Ref clock = pyapi::getattr(self, n.clock_ns_attr);
        Ref now = pyapi::check(PyObject_CallNoArgs(clock.get()));
        stamp = pyapi::b_int(fn.globals, now.get());
    } else {
        stamp = pyapi::b_int(fn.globals, epoch_ns);
    }
    Ref pieces = pyapi::check(PyList_New(0));
    for_each_item(items, [&](PyObject* item) {
        Ref text = pyapi::b_str(fn.globals, item);
        pyapi::check_status(PyList_Append(pieces.get(), text.get()));
    });
    static PyObject* const sep = PW_NAME("; ");
    Ref reason = pyapi::check(PyUnicode_Join(sep, pieces.get()));
    if (PyUnicode_GET_LENGTH(reason.get()) == 0) reason = Ref::borrow(reason_code);
    Ref severity = severity_warn(fn);
    static PyObject* const kw = pyapi::kwnames("epoch_ns", "reason", "tags", "severity");
    static PyObject* const one = PyFloat_FromDouble(1.0);
    return pyapi::call(warn.get(), {site.get(), one, stamp.get(), reason.get(), tags, severity.get()},
                       kw);
}

Ref record_body(FunctionObject& fn, PyObject* const* argv) {
    PyObject* self = argv[0];
    PyObject* data = argv[1];
    PyObject* projection = argv[2];
    PyObject* mismatches = argv[3];
    PyObject* epoch_ns = argv[4];
    const Names& n = names();
    // Walked twice (classification, reason text): a one-shot iterator is
    // materialised first so that both walks see the same messages.
    Ref items;
    if (is_list_or_tuple(fn, mismatches)) {
        items = Ref::borrow(mismatches);
    } else if (pyapi::builtin_unchanged(fn.globals, pyapi::Builtin::tuple)) {
        items = pyapi::check(PySequence_Tuple(mismatches));
    } else {
        Ref tuple = pyapi::builtin(fn.globals, pyapi::Builtin::tuple);
        items = pyapi::call(tuple.get(), {mismatches});
    }
    Ref reason_code = call_named_global(fn, n.projection_mismatch_reason,
                                         kProjectionMismatchReason, {items.get()});
    static PyObject* const tag_kw = pyapi::kwnames("data", "projection", "reason_code");
    Ref tags = call_named_global(fn, n.tags, kTags, {data, projection, reason_code.get()}, tag_kw);
    try {
        return hand_off(fn, self, items.get(), epoch_ns, reason_code.get(), tags.get());
    } catch (const pyapi::py_error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    // except Exception: with the name read now
    if (!pyapi::b_except_matches(fn.globals, pyapi::Builtin::Exception)) throw pyapi::py_error{};
    PyErr_Clear();
    return Ref::borrow(Py_False);
}

const pyapi::Param kInitParams[] = {
    {"self"}, {"runtime", "TelemetryRuntime | None"}, {"clock_ns", nullptr, true}};
const pyapi::Param kSelfParams[] = {{"self"}};
const pyapi::Param kRecordMethodParams[] = {
    {"self"},
    {"data", "Mapping[str, Any]", true},
    {"projection", "Mapping[str, Any] | None", true},
    {"mismatches", "tuple[str, ...] | list[str]", true},
    {"epoch_ns", "int | None", true},
};

const FunctionDef kInit = {
    "__init__", "SimulationContractSdkTelemetry.__init__",
    "SimulationContractSdkTelemetry.__init__(self, runtime: TelemetryRuntime | None = None, *, "
    "clock_ns=time.time_ns) -> None",
    kInitParams, "None", init_body};
const FunctionDef kDroppedCount = {"dropped_count", "SimulationContractSdkTelemetry.dropped_count",
                                    "SimulationContractSdkTelemetry.dropped_count(self) -> int",
                                    kSelfParams, "int", dropped_count_body};
const FunctionDef kRecordMethod = {
    "record_projection_mismatch", "SimulationContractSdkTelemetry.record_projection_mismatch",
    "SimulationContractSdkTelemetry.record_projection_mismatch(self, *, data: Mapping[str, Any], "
    "projection: Mapping[str, Any] | None, mismatches: tuple[str, ...] | list[str], epoch_ns: int "
    "| None = None) -> bool",
    kRecordMethodParams, "bool", record_body};
const FunctionDef kSnapshot = {
    "snapshot_anomalies", "SimulationContractSdkTelemetry.snapshot_anomalies",
    "SimulationContractSdkTelemetry.snapshot_anomalies(self) -> tuple[AnomalyRecord, ...]",
    kSelfParams, "tuple[AnomalyRecord, ...]", snapshot_body};
const FunctionDef kDrain = {"drain_anomalies", "SimulationContractSdkTelemetry.drain_anomalies",
                             "SimulationContractSdkTelemetry.drain_anomalies(self) -> "
                             "list[AnomalyRecord]",
                             kSelfParams, "list[AnomalyRecord]", drain_body};

// ------------------------------------------------------------- module level

Ref new_default(const FunctionObject& fn, PyObject* runtime) {
    Ref cls = read_global(fn, names().SimulationContractSdkTelemetry);
    if (runtime) return pyapi::call(cls.get(), {runtime});
    return pyapi::check(PyObject_CallNoArgs(cls.get()));
}

void store_default(const FunctionObject& fn, PyObject* value) {
    pyapi::check_status(PyDict_SetItem(fn.globals, names().DEFAULT_TELEMETRY, value));
}

Ref default_body(FunctionObject& fn, PyObject* const*) {
    const Names& n = names();
    Ref current = read_global(fn, n.DEFAULT_TELEMETRY);
    if (current.get() == Py_None) {
        Ref created = new_default(fn, nullptr);
        // Building the object ran caller code (another thread may have stored
        // a default meanwhile): keep that one, so no record is stranded in a
        // runtime that is thrown away.
        Ref again = read_global(fn, n.DEFAULT_TELEMETRY);
        if (again.get() == Py_None) store_default(fn, created.get());
    }
    return read_global(fn, n.DEFAULT_TELEMETRY);
}

Ref configure_body(FunctionObject& fn, PyObject* const* argv) {
    Ref created = new_default(fn, argv[0]);
    store_default(fn, created.get());
    return read_global(fn, names().DEFAULT_TELEMETRY);
}

Ref module_record_body(FunctionObject& fn, PyObject* const* argv) {
    const Names& n = names();
    Ref telemetry = call_named_global(fn, n.default_parity_watch, kDefaultParityWatch, {});
    static PyObject* const kw = pyapi::kwnames("data", "projection", "mismatches", "epoch_ns");
    PyObject* args[] = {telemetry.get(), argv[0], argv[1], argv[2], argv[3]};
    return pyapi::check(PyObject_VectorcallMethod(n.record_projection_mismatch, args,
                                                  1, kw));
}

const pyapi::Param kConfigureParams[] = {{"runtime", "TelemetryRuntime | None"}};
const pyapi::Param kRecordParams[] = {
    {"data", "Mapping[str, Any]", true},
    {"projection", "Mapping[str, Any] | None", true},
    {"mismatches", "tuple[str, ...] | list[str]", true},
    {"epoch_ns", "int | None", true},
};

}  // namespace

const FunctionDef kDefaultParityWatch = {
    "default_parity_watch", "default_parity_watch",
    "default_parity_watch() -> SimulationContractSdkTelemetry", {},
    "SimulationContractSdkTelemetry", default_body};
const FunctionDef kConfigureParityWatch = {
    "configure_parity_watch", "configure_parity_watch",
    "configure_parity_watch(runtime: TelemetryRuntime | None = None) -> "
    "SimulationContractSdkTelemetry",
    kConfigureParams, "SimulationContractSdkTelemetry", configure_body};
const FunctionDef kRecordProjectionMismatch = {
    "record_projection_mismatch", "record_projection_mismatch",
    "record_projection_mismatch(*, data: Mapping[str, Any], projection: Mapping[str, Any] | None, "
    "mismatches: tuple[str, ...] | list[str], epoch_ns: int | None = None) -> bool",
    kRecordParams, "bool", module_record_body};

Ref make_telemetry_class(PyObject* module) {
    const Names& n = names();
    Ref bases = pyapi::check(PyTuple_New(0));
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    return pyapi::new_class(type, module, "SimulationContractSdkTelemetry", bases.get(),
                            [&](PyObject* ns) {
        Ref doc = pyapi::new_str(kClassDoc);
        pyapi::ns_set(ns, "__doc__", doc.get());
        // clock_ns defaults to the object time.time_ns holds right now.
        Ref time = pyapi::load_global(PyModule_GetDict(module), PW_NAME("time"));
        Ref time_ns = pyapi::getattr(time.get(), PW_NAME("time_ns"));
        Ref defaults = pyapi::check(PyTuple_Pack(1, Py_None));
        Ref kwdefaults = pyapi::check(PyDict_New());
        pyapi::check_status(PyDict_SetItemString(kwdefaults.get(), "clock_ns", time_ns.get()));
        Ref init = pyapi::make_function(kInit, module, defaults.get(), kwdefaults.get());
        pyapi::ns_set(ns, "__init__", init.get());

        Ref getter = pyapi::make_function(kDroppedCount, module);
        Ref property = pyapi::load_global(PyModule_GetDict(module), PW_NAME("property"));
        Ref prop = pyapi::call(property.get(), {getter.get()});
        pyapi::ns_set(ns, "dropped_count", prop.get());

        Ref record_defaults = pyapi::check(PyDict_New());
        pyapi::check_status(PyDict_SetItemString(record_defaults.get(), "epoch_ns", Py_None));
        Ref record = pyapi::make_function(kRecordMethod, module, nullptr, record_defaults.get());
        pyapi::ns_set(ns, "record_projection_mismatch", record.get());
        Ref snapshot = pyapi::make_function(kSnapshot, module);
        pyapi::ns_set(ns, "snapshot_anomalies", snapshot.get());
        Ref drain = pyapi::make_function(kDrain, module);
        pyapi::ns_set(ns, "drain_anomalies", drain.get());
        (void)n;
    });
}

}  // namespace parity_watch
