// SimulationContractSdkTelemetry, the default object and the module-level
// functions that create, replace and use it.
#include "classify.hpp"

namespace parity_watch {
namespace {

// TelemetryRuntime(component="vantorel_sdk", lanes=1, ring_capacity=128)
Ref build_runtime(const FunctionObject& fn) {
    const State& st = state(fn);
    Found cls = read_global(fn, dep::TelemetryRuntime);
    return pyapi::call(cls.get(), {st.names.vantorel_sdk, st.one.get(), st.ring_capacity.get()}, st.runtime_kw.get());
}

Ref severity_warn(const FunctionObject& fn) {
    Found severity = read_global(fn, dep::Severity);
    return pyapi::getattr(severity.get(), state(fn).names.WARN);
}

Ref init_body(FunctionObject& fn, PyObject* const* argv) {
    PyObject* self = argv[0];
    const State& st = state(fn);
    const Names& n = st.names;
    // Only None asks for a runtime of our own: a runtime that happens to be
    // falsy (an empty-looking container) is still the caller's runtime.
    Ref runtime = argv[1] == Py_None ? build_runtime(fn) : Ref::borrow(argv[1]);
    pyapi::setattr(self, n.runtime, runtime.get());
    pyapi::setattr(self, n.clock_ns_attr, argv[2]);

    Ref current = pyapi::getattr(self, n.runtime);
    Ref register_site = pyapi::getattr(current.get(), n.register_call_site);
    Found name = read_global(fn, dep::CALL_SITE_NAME);
    Ref severity = severity_warn(fn);
    Found file = read_global(fn, dep::file);
    Found tag_keys = read_global(fn, dep::TAG_KEYS);
    Ref site = pyapi::call(register_site.get(),
                           {name.get(), n.site_description, n.site_template, n.mismatches, severity.get(), file.get(),
                            st.site_line.get(), tag_keys.get()},
                           st.site_kw.get());
    pyapi::setattr(self, n.site_attr, site.get());
    return Ref::borrow(Py_None);
}

// self.runtime.<member>, or self.runtime.<member>() when `call`.
template <PyObject* Names::*member, bool call>
Ref runtime_member(FunctionObject& fn, PyObject* const* argv) {
    const Names& n = state(fn).names;
    Ref runtime = pyapi::getattr(argv[0], n.runtime);
    if (call) return pyapi::call_method(runtime.get(), n.*member);
    return pyapi::getattr(runtime.get(), n.*member);
}

// The hand-off, from `warn = self.runtime.warn` on: everything here may fail
// with an Exception, which the caller turns into False.
Ref hand_off(const FunctionObject& fn, PyObject* self, PyObject* items, PyObject* epoch_ns, PyObject* reason_code,
             PyObject* tags) {
    const State& st = state(fn);
    const Names& n = st.names;
    Ref runtime = pyapi::getattr(self, n.runtime);
    Ref warn = pyapi::getattr(runtime.get(), n.warn);
    Ref site = pyapi::getattr(self, n.site_attr);
    Ref now;
    if (epoch_ns == Py_None) {
        Ref clock = pyapi::getattr(self, n.clock_ns_attr);
        now = pyapi::check(PyObject_CallNoArgs(clock.get()));
    }
    Ref stamp = pyapi::b_int(fn, now ? now.get() : epoch_ns);
    Ref pieces = pyapi::check(PyList_New(0));
    for_each_item(items, [&](PyObject* item) {
        Ref text = pyapi::b_str(fn, item);
        pyapi::check_status(PyList_Append(pieces.get(), text.get()));
    });
    Ref reason = pyapi::check(PyUnicode_Join(n.semicolon, pieces.get()));
    if (PyUnicode_GET_LENGTH(reason.get()) == 0) reason = Ref::borrow(reason_code);
    Ref severity = severity_warn(fn);
    return pyapi::call(warn.get(), {site.get(), st.one_float.get(), stamp.get(), reason.get(), tags, severity.get()},
                       st.warn_kw.get());
}

Ref record_body(FunctionObject& fn, PyObject* const* argv) {
    PyObject* self = argv[0];
    PyObject* data = argv[1];
    PyObject* projection = argv[2];
    PyObject* mismatches = argv[3];
    PyObject* epoch_ns = argv[4];
    const State& st = state(fn);
    // Walked twice (classification, reason text): a one-shot iterator is
    // materialised first so that both walks see the same messages.
    Ref items;
    if (is_list_or_tuple(fn, mismatches)) {
        items = Ref::borrow(mismatches);
    } else if (pyapi::builtin_unchanged(fn, pyapi::Builtin::tuple)) {
        items = pyapi::check(PySequence_Tuple(mismatches));
    } else {
        Ref tuple = pyapi::builtin(fn, pyapi::Builtin::tuple);
        items = pyapi::call(tuple.get(), {mismatches});
    }
    Ref reason_code =
        pyapi::call_declared(fn, dep::projection_mismatch_reason_fn, kProjectionMismatchReason, {items.get()});
    Ref tags = pyapi::call_declared(fn, dep::tags_fn, kTags, {data, projection, reason_code.get()}, st.tags_kw.get());
    try {
        return hand_off(fn, self, items.get(), epoch_ns, reason_code.get(), tags.get());
    } catch (const pyapi::py_error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    // except Exception: with the name read now
    if (!pyapi::b_except_matches(fn, pyapi::Builtin::Exception)) throw pyapi::py_error{};
    PyErr_Clear();
    return Ref::borrow(Py_False);
}

const pyapi::Param kInitParams[] = {
    {"self"}, {"runtime", "TelemetryRuntime | None", false, "None"}, {"clock_ns", nullptr, true, "time.time_ns"}};
const pyapi::Param kSelfParams[] = {{"self"}};
const pyapi::Param kRecordMethodParams[] = {
    {"self"},
    {"data", "Mapping[str, Any]", true},
    {"projection", "Mapping[str, Any] | None", true},
    {"mismatches", "tuple[str, ...] | list[str]", true},
    {"epoch_ns", "int | None", true, "None"},
};

constexpr const char* kClass = "SimulationContractSdkTelemetry";
const FunctionDef kInit = {"__init__", kInitParams, "None", init_body, kClass};
const FunctionDef kDroppedCount = {"dropped_count", kSelfParams, "int", runtime_member<&Names::dropped_count, false>,
                                   kClass};
const FunctionDef kRecordMethod = {"record_projection_mismatch", kRecordMethodParams, "bool", record_body, kClass};
const FunctionDef kSnapshot = {"snapshot_anomalies", kSelfParams, "tuple[AnomalyRecord, ...]",
                               runtime_member<&Names::snapshot_anomalies, true>, kClass};
const FunctionDef kDrain = {"drain_anomalies", kSelfParams, "list[AnomalyRecord]",
                            runtime_member<&Names::drain_anomalies, true>, kClass};

// ------------------------------------------------------------- module level

Ref new_default(const FunctionObject& fn, PyObject* runtime) {
    Found cls = read_global(fn, dep::telemetry_class);
    if (runtime) return pyapi::call(cls.get(), {runtime});
    return pyapi::check(PyObject_CallNoArgs(cls.get()));
}

void store_default(const FunctionObject& fn, PyObject* value) {
    pyapi::check_status(PyDict_SetItem(fn.globals, state(fn).names.DEFAULT_TELEMETRY, value));
}

// _DEFAULT_TELEMETRY as the function reads it, as an owned reference: another
// thread may replace the global (and so release the object) at any moment.
Ref current_default(const FunctionObject& fn) {
    PyObject* name = state(fn).names.DEFAULT_TELEMETRY;
    if (Ref value = dict_item(fn.globals, name)) return value;
    if (PyErr_Occurred()) pyapi::raise();
    return pyapi::global(fn, name);  // the builtins, else the host's NameError
}

// `if _DEFAULT_TELEMETRY is None: _DEFAULT_TELEMETRY = created` as one step,
// so that a default configure_parity_watch stored meanwhile (on any thread)
// is never replaced. The globals stay locked from the test to the store, and
// nothing in between runs caller code (the value replaced is None).
void store_default_if_none(const FunctionObject& fn, PyObject* created) {
    PyObject* name = state(fn).names.DEFAULT_TELEMETRY;
    int found, stored = 0;
    {
        ContainerLock lock(fn.globals);
        Ref value = dict_item(fn.globals, name);
        found = value ? 1 : PyErr_Occurred() ? -1 : 0;
        if (value.get() == Py_None) stored = PyDict_SetItem(fn.globals, name, created) == 0 ? 1 : -1;
    }
    if (found < 0 || stored < 0) pyapi::raise();
    // Deleted meanwhile: the name is read as the host reads it (builtins, NameError).
    if (!found && pyapi::global(fn, name).get() == Py_None) store_default(fn, created);
}

Ref default_body(FunctionObject& fn, PyObject* const*) {
    if (current_default(fn).get() == Py_None) {
        // Building the object ran caller code (another thread may have stored
        // a default meanwhile): keep that one, so no record is stranded in a
        // runtime that is thrown away.
        Ref created = new_default(fn, nullptr);
        store_default_if_none(fn, created.get());
    }
    return current_default(fn);
}

Ref configure_body(FunctionObject& fn, PyObject* const* argv) {
    Ref created = new_default(fn, argv[0]);
    store_default(fn, created.get());
    return current_default(fn);
}

Ref module_record_body(FunctionObject& fn, PyObject* const* argv) {
    const State& st = state(fn);
    Ref telemetry = pyapi::call_declared(fn, dep::default_parity_watch_fn, kDefaultParityWatch, {});
    PyObject* args[] = {telemetry.get(), argv[0], argv[1], argv[2], argv[3]};
    return pyapi::check(PyObject_VectorcallMethod(st.names.record_projection_mismatch, args, 1, st.record_kw.get()));
}

const pyapi::Param kConfigureParams[] = {{"runtime", "TelemetryRuntime | None", false, "None"}};
}  // namespace

const FunctionDef kDefaultParityWatch = {"default_parity_watch", {}, "SimulationContractSdkTelemetry", default_body};
const FunctionDef kConfigureParityWatch = {"configure_parity_watch", kConfigureParams, "SimulationContractSdkTelemetry",
                                           configure_body};
const FunctionDef kRecordProjectionMismatch = {"record_projection_mismatch", std::span(kRecordMethodParams).subspan(1),
                                               "bool", module_record_body};

Ref make_telemetry_class(PyObject* module, State& st) {
    const Names& n = st.names;
    Ref bases = pyapi::check(PyTuple_New(0));
    return pyapi::new_class(reinterpret_cast<PyObject*>(&PyType_Type), module, kClass, bases.get(), [&](PyObject* ns) {
        Ref doc = pyapi::new_str("Bounded wheel-local telemetry for SDK/server projection checks.");
        pyapi::ns_set(ns, "__doc__", doc.get());
        // clock_ns defaults to the object time.time_ns holds right now.
        PyObject* globals = PyModule_GetDict(module);
        Ref time = pyapi::load_global(globals, n.time);
        Ref time_ns = pyapi::getattr(time.get(), n.time_ns);
        Ref init = pyapi::make_function(kInit, module, {{"clock_ns", time_ns.get()}});
        pyapi::ns_set(ns, "__init__", init.get());

        Ref getter = pyapi::make_function(kDroppedCount, module);
        Ref property = pyapi::load_global(globals, n.property);
        Ref prop = pyapi::call(property.get(), {getter.get()});
        pyapi::ns_set(ns, "dropped_count", prop.get());

        for (const FunctionDef* def : {&kRecordMethod, &kSnapshot, &kDrain}) {
            Ref method = pyapi::make_function(*def, module);
            pyapi::ns_set(ns, def->name, method.get());
        }
    });
}

}  // namespace parity_watch
