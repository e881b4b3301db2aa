#include "state.hpp"

namespace logarithmic {
namespace {

Originals g_orig;

const char* const kNumpyAttrs[9] = {"full", "float64", "isnan", "isinf", "prod",
                                    "any",  "sum",     "log",   "abs"};
const char* const kMathAttrs[4] = {"nan", "isnan", "isinf", "exp"};

// A borrowed item of a module's namespace, or nullptr (no error left set).
PyObject* module_item(PyObject* module, const char* name) {
    if (!PyModule_CheckExact(module)) return nullptr;
    PyObject* d = PyModule_GetDict(module);
    PyObject* v = PyDict_GetItemWithError(d, pyapi::intern(name));
    if (!v) PyErr_Clear();
    return v;
}

void keep(PyObject*& slot, PyObject* v) {
    Py_XINCREF(v);
    Py_XSETREF(slot, v);
}

}  // namespace

const Names& names() {
    using pyapi::intern;
    static const Names n{intern("np"),    intern("math"),   intern("shape"),  intern("full"),
                         intern("nan"),   intern("float64"), intern("window"), intern("range"),
                         intern("max"),   intern("isnan"),  intern("isinf"),  intern("sum"),
                         intern("prod"),  intern("any"),    intern("log"),    intern("abs"),
                         intern("exp"),   intern("size"),   intern("dtype"),  intern("geterr")};
    return n;
}

void remember_originals(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    keep(g_orig.numpy, PyDict_GetItemWithError(g, names().np));
    keep(g_orig.math, PyDict_GetItemWithError(g, names().math));
    if (PyErr_Occurred()) pyapi::raise();
    for (int i = 0; i < 9; ++i) keep(g_orig.np_attr[i], module_item(g_orig.numpy, kNumpyAttrs[i]));
    for (int i = 0; i < 4; ++i) keep(g_orig.math_attr[i], module_item(g_orig.math, kMathAttrs[i]));
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) pyapi::raise(PyExc_RuntimeError, "no builtins");
    keep(g_orig.range, PyDict_GetItemWithError(builtins, names().range));
    keep(g_orig.max, PyDict_GetItemWithError(builtins, names().max));
    if (PyErr_Occurred()) pyapi::raise();
}

const Originals& originals() { return g_orig; }

bool globals_are_original(PyObject* globals) {
    const Originals& o = g_orig;
    auto item = [&](PyObject* name) {
        PyObject* v = PyDict_GetItemWithError(globals, name);
        if (!v) PyErr_Clear();
        return v;
    };
    if (!o.numpy || item(names().np) != o.numpy || item(names().math) != o.math) return false;
    for (int i = 0; i < 9; ++i)
        if (!o.np_attr[i] || module_item(o.numpy, kNumpyAttrs[i]) != o.np_attr[i]) return false;
    for (int i = 0; i < 4; ++i)
        if (!o.math_attr[i] || module_item(o.math, kMathAttrs[i]) != o.math_attr[i]) return false;
    if (item(names().range) || item(names().max)) return false;
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return false;
    PyObject* r = PyDict_GetItemWithError(builtins, names().range);
    PyObject* m = r ? PyDict_GetItemWithError(builtins, names().max) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();
    return r == o.range && m == o.max;
}

}  // namespace logarithmic
