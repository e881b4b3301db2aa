#include "args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "pyapi/ops.hpp"

namespace sdk_telemetry {
namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                 sig.qualname, sig.npositional, sig.npositional == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
    pyapi::raise();
}

PyObject* const* interned_names(const Signature& sig) {
    if (!sig.keys[0]) {
        for (std::size_t i = 0; i < sig.names.size() && i < kMaxParams; ++i) {
            if (!sig.keys[i]) sig.keys[i] = pyapi::intern(sig.names[i]);  // kept for the process
        }
    }
    return sig.keys.data();
}

// Index of the parameter called `key`, or -1.
int find(const Signature& sig, PyObject* key) {
    const int n = static_cast<int>(sig.names.size());
    PyObject* const* keys = interned_names(sig);
    for (int i = 0; i < n && i < static_cast<int>(kMaxParams); ++i) {
        if (keys[i] == key) return i;
    }
    for (int i = 0; i < n; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) pyapi::raise(PyExc_TypeError, "keywords must be strings");
    const int i = find(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname,
                     key);
        pyapi::raise();
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                     sig.names[i]);
        pyapi::raise();
    }
    out[i] = value;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the host lists missing names.
std::string name_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

void check_missing(const Signature& sig, PyObject** out) {
    std::vector<const char*> positional, kwonly;
    for (int i = 0; i < sig.nrequired; ++i) {
        if (!out[i]) (i < sig.npositional ? positional : kwonly).push_back(sig.names[i]);
    }
    // The host reports missing positional parameters first.
    const auto& missing = positional.empty() ? kwonly : positional;
    if (missing.empty()) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %sargument%s: %s", sig.qualname,
                 missing.size(), positional.empty() ? "keyword-only " : "positional ",
                 missing.size() == 1 ? "" : "s", name_list(missing).c_str());
    pyapi::raise();
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    for (size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
    if (nargs > sig.npositional) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        const std::size_t n = std::min(sig.names.size(), kMaxParams);
        PyObject* const* keys = interned_names(sig);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t i = 0;
            while (i < n && keys[i] != key) ++i;
            if (i < n && !out[i]) {
                out[i] = args[nargs + k];
            } else {  // another spelling of a name, or a fault to report
                place_keyword(sig, key, args[nargs + k], out);
            }
        }
    }
    for (int i = 0; i < sig.nrequired; ++i) {
        if (!out[i]) return check_missing(sig, out);
    }
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.npositional) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
    }
    check_missing(sig, out);
}

}  // namespace sdk_telemetry
