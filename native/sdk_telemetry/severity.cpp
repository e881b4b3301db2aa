// `Severity`: an IntEnum made through the host's enum machinery by the module body.
#include "pyapi/classes.hpp"
#include "pyapi/ops.hpp"
#include "telemetry.hpp"

namespace sdk_telemetry {
namespace {

const char kSeverityDoc[] =
    "Severity of an anomaly record; the values are those of the logging levels.";

struct Member {
    const char* name;
    long value;
};
constexpr Member kMembers[] = {
    {"DEBUG", 10}, {"INFO", 20}, {"WARN", 30}, {"ERROR", 40}, {"CRITICAL", 50},
};

}  // namespace

Ref make_severity(PyObject* module, State& state) {
    Ref enum_module = pyapi::import_module("enum");
    Ref int_enum = pyapi::getattr(enum_module.get(), state.names.IntEnum);
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get())));
    Ref bases = pyapi::check(PyTuple_Pack(1, int_enum.get()));
    return pyapi::new_class(metaclass.get(), module, "Severity", bases.get(), [](PyObject* ns) {
        Ref doc = pyapi::new_str(kSeverityDoc);
        pyapi::ns_set(ns, "__doc__", doc.get());
        for (const Member& m : kMembers) {
            Ref v = pyapi::check(PyLong_FromLong(m.value));
            pyapi::ns_set(ns, m.name, v.get());
        }
    });
}

Ref coerce_severity(State& state, PyObject* value) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == state.severity.get())
        return Ref::borrow(value);
    Ref cls = state.severity;  // held: the call runs caller code
    if (!cls) pyapi::raise(PyExc_RuntimeError, "the module of Severity has been cleared");
    return pyapi::call(cls.get(), {value});
}

}  // namespace sdk_telemetry
