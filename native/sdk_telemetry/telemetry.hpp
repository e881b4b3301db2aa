// vantorel._sdk_telemetry: the module state and the declarations its
// translation units share.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "message_template.hpp"
#include "pyapi/binding.hpp"
#include "pyapi/check.hpp"
#include "pyapi/module.hpp"
#include "pyapi/names.hpp"

namespace sdk_telemetry {

using pyapi::Ref;

// `CallSite`: the immutable handle that register_call_site returns.
struct CallSiteObject {
    PyObject_HEAD
    PyObject* name;              // exact str
    PyObject* description;       // exact str
    PyObject* message_template;  // exact str
    PyObject* value_unit;        // exact str
    PyObject* severity_default;  // Severity member
    PyObject* file;              // exact str
    PyObject* tag_keys;          // tuple of exact str
    Py_ssize_t line;
    std::uint64_t owner;       // serial number of the runtime that registered it
    Py_ssize_t lane;           // the owner's lane for this call-site name
    MessageTemplate* message;  // message_template, split once (owned)
};

// `AnomalyRecord`: one immutable record of a `warn` call.
struct AnomalyRecordObject {
    PyObject_HEAD
    PyObject* component;  // exact str: the runtime's component
    PyObject* call_site;  // exact str: the call site's name
    PyObject* severity;   // Severity member
    double value;
    long long epoch_ns;
    PyObject* reason;        // exact str
    PyObject* message;       // exact str: the template filled from the tags
    PyObject* tags;          // dict of exact str to exact str, never handed out itself
    std::uint64_t sequence;  // the runtime's insertion number; set before the record is shared
};

struct RecordFields {
    Ref component, call_site, severity;
    double value;
    long long epoch_ns;
    Ref reason, message, tags;
};

// The name list, laid out by hand.
// clang-format off
#define TELEMETRY_NAMES(X) \
    X(component) X(lanes) X(ring_capacity) X(name) X(description) X(message_template) X(value_unit) \
    X(severity_default) X(file) X(line) X(tag_keys) X(site) X(value) X(epoch_ns) X(reason) X(tags) \
    X(severity) X(IntEnum) X(runtime_qualname, "TelemetryRuntime") \
    X(register_qualname, "TelemetryRuntime.register_call_site") \
    X(warn_qualname, "TelemetryRuntime.warn")
// clang-format on
PYAPI_NAMES(Names, TELEMETRY_NAMES)

struct State : pyapi::ModuleState {
    Names names;
    Ref severity;  // the Severity class
    Ref call_site_type, record_type, runtime_type;
    // The parameter names of TelemetryRuntime(), register_call_site and warn,
    // and the binder's views of those signatures.
    Ref new_params, register_params, warn_params;
    pyapi::Signature new_sig{}, register_sig{}, warn_sig{};
    // Serial numbers tell a handle's runtime apart without the handle keeping
    // the runtime alive (and without mistaking a new runtime at a reused
    // address); a handle of another module object is refused by its type.
    // Runtimes may be made on any number of threads at once.
    std::atomic<std::uint64_t> next_serial{1};

    // Its functions use only the layer's builtins (pyapi/builtins.hpp).
    static std::span<const pyapi::Dependency> dependencies() { return {}; }

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        for (Ref* r :
             {&severity, &call_site_type, &record_type, &runtime_type, &new_params, &register_params, &warn_params})
            f(*r);
    }
};

// This module's definition, by which slots find their module
// (pyapi::compat::module_by_def).
PyModuleDef& module_def() noexcept;

// The state of the module whose class `cls` is (a method's defining class:
// one of the heap types the module body made, which holds its module).
inline State& state_of_class(PyTypeObject* cls) noexcept {
    PyObject* module = PyType_GetModule(cls);
    PYAPI_ASSERT(module != nullptr && PyModule_GetState(module) != nullptr);
    return pyapi::module_state<State>(module);
}

// The state of the module that made `type` or one of its bases: nullptr with
// TypeError set when no module of ours did.
State* state_of_type(PyTypeObject* type) noexcept;

// True when `o` is an instance of the type `which` of any module object of
// ours, this one or an earlier import; no error set.
bool made_by_us(PyObject* o, Ref State::*which) noexcept;

// The types' slot tables (PyType_Spec), made into types by the module body.
extern PyType_Spec call_site_spec, record_spec, runtime_spec;

// A new handle of `state`'s module; takes every reference given.
Ref new_call_site(State& state, Ref name, Ref description, Ref message_template, Ref value_unit, Ref severity_default,
                  Ref file, Py_ssize_t line, Ref tag_keys, std::uint64_t owner, Py_ssize_t lane,
                  std::unique_ptr<MessageTemplate> message);

// A new record (sequence 0) of `state`'s module, taking the references in `f`.
AnomalyRecordObject* new_anomaly_record(State& state, RecordFields&& f);

// A member of Severity for `value`: a member itself, or anything Severity(value)
// accepts (30 gives Severity.WARN); the host's ValueError otherwise.
Ref coerce_severity(State& state, PyObject* value);

// A private copy of `tags` (a dict or dict subclass) with exact str keys and
// values; TypeError for anything else.
Ref copy_tags(PyObject* tags);

// FNV-1a (64-bit) over the code points of `name`: the same lane in every
// process, unlike the host's salted str hash.
std::uint64_t stable_name_hash(PyObject* name);

}  // namespace sdk_telemetry
