#include "severity.hpp"

#include "pyapi/classes.hpp"
#include "pyapi/ops.hpp"

namespace sdk_telemetry {
namespace {

// Strong reference, kept for the process (replaced when the module loads again).
PyObject* g_severity = nullptr;

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

pyapi::Ref make_severity(PyObject* module) {
    pyapi::Ref enum_module = pyapi::import_module("enum");
    pyapi::Ref int_enum = pyapi::getattr(enum_module.get(), pyapi::intern("IntEnum"));
    pyapi::Ref metaclass = pyapi::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get())));
    pyapi::Ref bases = pyapi::check(PyTuple_Pack(1, int_enum.get()));
    pyapi::Ref cls = pyapi::new_class(metaclass.get(), module, "Severity", bases.get(),
                                      [](PyObject* ns) {
                                          pyapi::Ref doc = pyapi::new_str(kSeverityDoc);
                                          pyapi::ns_set(ns, "__doc__", doc.get());
                                          for (const Member& m : kMembers) {
                                              pyapi::Ref v = pyapi::check(PyLong_FromLong(m.value));
                                              pyapi::ns_set(ns, m.name, v.get());
                                          }
                                      });
    PyObject* old = g_severity;
    g_severity = pyapi::Ref(cls).release();
    Py_XDECREF(old);
    return cls;
}

pyapi::Ref coerce_severity(PyObject* value) {
    if (!g_severity) pyapi::raise(PyExc_RuntimeError, "Severity is not initialised");
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == g_severity) return pyapi::Ref::borrow(value);
    pyapi::Ref cls = pyapi::Ref::borrow(g_severity);  // the call may reload the module
    return pyapi::call(cls.get(), {value});
}

}  // namespace sdk_telemetry
