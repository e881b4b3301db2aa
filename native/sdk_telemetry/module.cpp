// vantorel._sdk_telemetry: the SDK's in-process telemetry runtime.
#include <atomic>
#include <utility>

#include "pyapi/classes.hpp"
#include "pyapi/interpreter_compat.hpp"
#include "pyapi/ops.hpp"
#include "telemetry.hpp"

namespace {

using namespace sdk_telemetry;

const char kDoc[] = "In-process telemetry runtime of the vantorel SDK: call sites, bounded anomaly rings.";

constexpr std::pair<const char*, long> kSeverities[] = {
    {"DEBUG", 10}, {"INFO", 20}, {"WARN", 30}, {"ERROR", 40}, {"CRITICAL", 50}};

// `Severity`: an IntEnum made through the host's enum machinery.
Ref make_severity(PyObject* module, State& state) {
    Ref enum_module = pyapi::import_module("enum");
    Ref int_enum = pyapi::getattr(enum_module.get(), state.names.IntEnum);
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get())));
    Ref bases = pyapi::check(PyTuple_Pack(1, int_enum.get()));
    return pyapi::new_class(metaclass.get(), module, "Severity", bases.get(), [](PyObject* ns) {
        Ref doc = pyapi::new_str("Severity of an anomaly record; the values are those of the logging levels.");
        pyapi::ns_set(ns, "__doc__", doc.get());
        for (auto [name, value] : kSeverities) {
            Ref v = pyapi::check(PyLong_FromLong(value));
            pyapi::ns_set(ns, name, v.get());
        }
    });
}

// The methods' parameters are keyword-only but warn's first two; warn's
// `severity` may be left out (the call site's default).
void make_signatures(State& state) {
    const Names& n = state.names;
    state.new_params = pyapi::kwnames({n.component, n.lanes, n.ring_capacity});
    state.register_params = pyapi::kwnames(
        {n.name, n.description, n.message_template, n.value_unit, n.severity_default, n.file, n.line, n.tag_keys});
    state.warn_params = pyapi::kwnames({n.site, n.value, n.epoch_ns, n.reason, n.tags, n.severity});
    const auto method = pyapi::Wording::runtime_method;
    state.new_sig = {.qualname = n.runtime_qualname,
                     .names = state.new_params.get(),
                     .argcount = 0,
                     .kwonlycount = 3,
                     .wording = method};
    state.register_sig = {.qualname = n.register_qualname,
                          .names = state.register_params.get(),
                          .argcount = 0,
                          .kwonlycount = 8,
                          .wording = method};
    state.warn_sig = {.qualname = n.warn_qualname,
                      .names = state.warn_params.get(),
                      .argcount = 2,
                      .kwonlycount = 4,
                      .optional = 1,
                      .wording = method};
    for (const pyapi::Signature* sig : {&state.new_sig, &state.register_sig, &state.warn_sig})
        if (sig->argcount + sig->kwonlycount > pyapi::kMaxParams)
            pyapi::raise(PyExc_SystemError, "too many parameters for the binder");
}

void exec(PyObject* module, State& state) {
    make_signatures(state);
    state.severity = make_severity(module, state);
    // Every record holds its severity, recorded from any thread. Before the
    // class is reachable from the module: no other thread holds a member.
    static std::atomic<bool> taken{false};
    if (pyapi::immortal_for_module(taken))
        for (const auto& severity : kSeverities) {
            Ref member = pyapi::getattr(state.severity.get(), pyapi::intern(severity.first).get());
            pyapi::make_immortal(member.get());
        }
    for (auto [type, layout] :
         {std::pair{&state.call_site_type, &call_site_spec}, std::pair{&state.record_type, &record_spec},
          std::pair{&state.runtime_type, &runtime_spec}})
        *type = pyapi::check(PyType_FromModuleAndSpec(module, layout, nullptr));
    Ref all = pyapi::check(Py_BuildValue("[ssss]", "AnomalyRecord", "CallSite", "Severity", "TelemetryRuntime"));
    for (auto [name, value] : {std::pair{"Severity", &state.severity},
                               {"CallSite", &state.call_site_type},
                               {"AnomalyRecord", &state.record_type},
                               {"TelemetryRuntime", &state.runtime_type},
                               {"__all__", &all}})
        pyapi::check_status(PyModule_AddObjectRef(module, name, value->get()));
}

}  // namespace

PYAPI_MODULE(_sdk_telemetry, "vantorel._sdk_telemetry", kDoc, State, exec)

namespace sdk_telemetry {

PyModuleDef& module_def() noexcept { return pyapi_def__sdk_telemetry; }

State* state_of_type(PyTypeObject* type) noexcept {
    PyObject* module = pyapi::compat::module_by_def(type, &module_def());
    return module ? &pyapi::module_state<State>(module) : nullptr;
}

Ref coerce_severity(State& state, PyObject* value) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == state.severity.get()) return Ref::borrow(value);
    Ref cls = state.severity;  // held: the call runs caller code
    if (!cls) pyapi::raise(PyExc_RuntimeError, "the module of Severity has been cleared");
    return pyapi::call(cls.get(), {value});
}

bool made_by_us(PyObject* o, Ref State::*which) noexcept {
    State* state = state_of_type(Py_TYPE(o));
    if (!state) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == (state->*which).get();
}

}  // namespace sdk_telemetry
