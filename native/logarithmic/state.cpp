#include "state.hpp"

#include <cstring>
#include <utility>

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

// A borrowed item of a dict, or nullptr (no error left set).
PyObject* dict_item(PyObject* dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v) PyErr_Clear();
    return v;
}

// A borrowed item of a module's namespace, or nullptr (no error left set).
PyObject* module_item(PyObject* module, PyObject* name) {
    return module && PyModule_CheckExact(module) ? dict_item(PyModule_GetDict(module), name) : nullptr;
}

// True when `o.__name__` (and `o.__module__`, if given) read as given.
bool named(PyObject* o, const char* name, const char* module = nullptr) {
    auto is = [&](const char* attr, const char* want) {
        Ref v = Ref::steal(PyObject_GetAttrString(o, attr));
        if (!v) PyErr_Clear();
        return v && PyUnicode_Check(v.get()) && PyUnicode_CompareWithASCIIString(v.get(), want) == 0;
    };
    return is("__name__", name) && (!module || is("__module__", module));
}

// True when each original the kernels stand in for is the library's own
// object of that name, as they assume (a name replaced before the first
// import is bound as the original, and the general path then calls it).
bool genuine(const Originals& o) {
    auto ufunc = [](const Ref& f, const char* name) {
        return f && std::strcmp(Py_TYPE(f.get())->tp_name, "numpy.ufunc") == 0 && named(f.get(), name);
    };
    auto numpy_function = [](const Ref& f, const char* name) { return f && named(f.get(), name, "numpy"); };
    auto math_function = [&](const Ref& f, const char* name) {
        return f && PyCFunction_Check(f.get()) && PyCFunction_GET_SELF(f.get()) == o.math_module.get() &&
               named(f.get(), name, "math");
    };
    return ufunc(o.np.isnan, "isnan") && ufunc(o.np.isinf, "isinf") && ufunc(o.np.log, "log") &&
           ufunc(o.np.abs, "absolute") && numpy_function(o.np.prod, "prod") && numpy_function(o.np.any, "any") &&
           numpy_function(o.np.sum, "sum") && math_function(o.math.isnan, "isnan") &&
           math_function(o.math.isinf, "isinf") && math_function(o.math.exp, "exp") &&
           o.range.get() == reinterpret_cast<PyObject*>(&PyRange_Type) && o.max && PyCFunction_Check(o.max.get()) &&
           named(o.max.get(), "max", "builtins");
}

}  // namespace

void remember_originals(PyObject* module, State& st) {
    const Names& n = st.names;
    Originals& o = st.originals;
    PyObject* g = PyModule_GetDict(module);
    o.numpy = Ref::borrow(PyDict_GetItemWithError(g, n.np));
    o.math_module = Ref::borrow(PyDict_GetItemWithError(g, n.math));
    if (PyErr_Occurred()) pyapi::raise();
#define LOGARITHMIC_KEEP_NP_(id) o.np.id = Ref::borrow(module_item(o.numpy.get(), n.id));
#define LOGARITHMIC_KEEP_MATH_(id) o.math.id = Ref::borrow(module_item(o.math_module.get(), n.id));
    LOGARITHMIC_NUMPY_ATTRS(LOGARITHMIC_KEEP_NP_)
    LOGARITHMIC_MATH_ATTRS(LOGARITHMIC_KEEP_MATH_)
#undef LOGARITHMIC_KEEP_NP_
#undef LOGARITHMIC_KEEP_MATH_
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) pyapi::raise(PyExc_RuntimeError, "no builtins");
    o.range = Ref::borrow(PyDict_GetItemWithError(builtins, n.range));
    o.max = Ref::borrow(PyDict_GetItemWithError(builtins, n.max));
    if (PyErr_Occurred()) pyapi::raise();
    o.genuine = genuine(o);

    st.dtype_kw = pyapi::kwnames({n.dtype});
    const std::pair<Ref*, long> ints[] = {{&st.int0, 0}, {&st.int1, 1}, {&st.int2, 2}};
    for (auto [r, v] : ints) *r = check(PyLong_FromLong(v));
    const std::pair<Ref*, double> floats[] = {{&st.zero, 0.0}, {&st.one, 1.0}, {&st.minus_one, -1.0}};
    for (auto [r, v] : floats) *r = check(PyFloat_FromDouble(v));
}

bool globals_are_original(const pyapi::FunctionObject& self) {
    const State& st = state(self);
    const Names& n = st.names;
    const Originals& o = st.originals;
    PyObject* g = self.globals;
    if (!o.genuine || dict_item(g, n.np) != o.numpy.get() || dict_item(g, n.math) != o.math_module.get()) return false;
#define LOGARITHMIC_SAME_NP_(id) \
    if (!o.np.id || module_item(o.numpy.get(), n.id) != o.np.id.get()) return false;
#define LOGARITHMIC_SAME_MATH_(id) \
    if (!o.math.id || module_item(o.math_module.get(), n.id) != o.math.id.get()) return false;
    LOGARITHMIC_NUMPY_ATTRS(LOGARITHMIC_SAME_NP_)
    LOGARITHMIC_MATH_ATTRS(LOGARITHMIC_SAME_MATH_)
#undef LOGARITHMIC_SAME_NP_
#undef LOGARITHMIC_SAME_MATH_
    if (dict_item(g, n.range) || dict_item(g, n.max)) return false;
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return false;
    return dict_item(builtins, n.range) == o.range.get() && dict_item(builtins, n.max) == o.max.get();
}

}  // namespace logarithmic
