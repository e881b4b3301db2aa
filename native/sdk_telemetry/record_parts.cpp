// The parts of a record that warn derives from its arguments.
#include <cstdint>

#include "pyapi/ops.hpp"
#include "telemetry.hpp"

namespace sdk_telemetry {
namespace {

[[noreturn]] void wrong_tag(const char* what, PyObject* o) {
    pyapi::raise_format(PyExc_TypeError, "tags %s must be str, not %.200s", what, Py_TYPE(o)->tp_name);
}

}  // namespace

pyapi::Ref copy_tags(PyObject* tags) {
    if (!PyDict_Check(tags))
        pyapi::raise_format(PyExc_TypeError, "tags must be a dict, not %.200s", Py_TYPE(tags)->tp_name);
    // Copy first: the checks below then walk a dict that no one else can change.
    pyapi::Ref copy = pyapi::check(PyDict_Copy(tags));
    bool all_exact = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(copy.get(), &pos, &k, &v)) {
        if (PyUnicode_CheckExact(k) && PyUnicode_CheckExact(v)) continue;  // the usual entry
        if (!PyUnicode_Check(k)) wrong_tag("keys", k);
        if (!PyUnicode_Check(v)) wrong_tag("values", v);
        all_exact = false;
    }
    if (all_exact) return copy;
    // str subclasses become plain str (their text, without calling __str__), so
    // a record holds nothing the caller can still change.
    pyapi::Ref plain = pyapi::check(PyDict_New());
    pos = 0;
    while (PyDict_Next(copy.get(), &pos, &k, &v)) {
        pyapi::Ref pk = pyapi::check(PyUnicode_FromObject(k));
        pyapi::Ref pv = pyapi::check(PyUnicode_FromObject(v));
        pyapi::check_status(PyDict_SetItem(plain.get(), pk.get(), pv.get()));
    }
    return plain;
}

std::uint64_t stable_name_hash(PyObject* name) {
    pyapi::ensure_ready(name);
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    std::uint64_t h = 14695981039346656037ull;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        for (int b = 0; b < 4; ++b) {
            h ^= (c >> (8 * b)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
    return h;
}

}  // namespace sdk_telemetry
