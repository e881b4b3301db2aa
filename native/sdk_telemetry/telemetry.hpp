// vantorel._sdk_telemetry: the module state and the declarations its
// translation units share.
#pragma once

#include <cstdint>

#include "pyapi/binding.hpp"
#include "pyapi/module.hpp"
#include "pyapi/names.hpp"

namespace sdk_telemetry {

using pyapi::Ref;

#define TELEMETRY_NAMES(X)                                                                      \
    X(component) X(lanes) X(ring_capacity) X(name) X(description) X(message_template)           \
    X(value_unit) X(severity_default) X(file) X(line) X(tag_keys) X(site) X(value) X(epoch_ns)  \
    X(reason) X(tags) X(severity) X(IntEnum) X(runtime_qualname, "TelemetryRuntime")            \
    X(register_qualname, "TelemetryRuntime.register_call_site")                                 \
    X(warn_qualname, "TelemetryRuntime.warn")
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
    std::uint64_t next_serial = 1;

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        f(severity);
        f(call_site_type);
        f(record_type);
        f(runtime_type);
        f(new_params);
        f(register_params);
        f(warn_params);
    }
};

// This module's definition, by which slots find their module (pyapi/compat.hpp).
PyModuleDef& module_def() noexcept;

// The state of the module whose class `cls` is (a method's defining class).
inline State& state_of_class(PyTypeObject* cls) noexcept {
    return pyapi::module_state<State>(PyType_GetModule(cls));
}

// The state of the module that made `type` or one of its bases: nullptr with
// TypeError set when no module of ours did.
State* state_of_type(PyTypeObject* type) noexcept;

// True when `o` is an instance of the type `which` of any module object of
// ours, this one or an earlier import; no error set.
bool made_by_us(PyObject* o, Ref State::*which) noexcept;

// Module body pieces.
Ref make_severity(PyObject* module, State& state);
Ref make_call_site_type(PyObject* module);
Ref make_record_type(PyObject* module);
Ref make_runtime_type(PyObject* module);

// A member of Severity for `value`: a member itself, or anything Severity(value)
// accepts (30 gives Severity.WARN); the host's ValueError otherwise.
Ref coerce_severity(State& state, PyObject* value);

}  // namespace sdk_telemetry
