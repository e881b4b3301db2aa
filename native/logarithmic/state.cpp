#include "state.hpp"

#include <cstring>
#include <utility>

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

// True when `o.__name__` (and `o.__module__`, if given) read as given.
bool named(PyObject* o, const char* name, const char* module = nullptr) {
    auto is = [&](const char* attr, const char* want) {
        Ref v = Ref::steal(PyObject_GetAttrString(o, attr));
        if (!v) PyErr_Clear();
        return v && PyUnicode_Check(v.get()) && PyUnicode_CompareWithASCIIString(v.get(), want) == 0;
    };
    return is("__name__", name) && (!module || is("__module__", module));
}

template <const char* Name>
bool ufunc(PyObject* f) {
    return std::strcmp(Py_TYPE(f)->tp_name, "numpy.ufunc") == 0 && named(f, Name);
}
template <const char* Name>
bool numpy_function(PyObject* f) {
    return named(f, Name, "numpy");
}
// A C function of the module `Module` (its `__self__`), named `Name`.
template <const char* Module, const char* Name>
bool c_function(PyObject* f) {
    if (!PyCFunction_Check(f)) return false;
    PyObject* self = PyCFunction_GET_SELF(f);
    const char* owner = self && PyModule_Check(self) ? PyModule_GetName(self) : nullptr;
    if (!owner) PyErr_Clear();
    return owner && std::strcmp(owner, Module) == 0 && named(f, Name, Module);
}
bool range_type(PyObject* f) { return f == reinterpret_cast<PyObject*>(&PyRange_Type); }

constexpr char kIsnan[] = "isnan", kIsinf[] = "isinf", kLog[] = "log", kAbsolute[] = "absolute", kProd[] = "prod",
               kAny[] = "any", kSum[] = "sum", kExp[] = "exp", kMaxName[] = "max", kMathName[] = "math",
               kBuiltins[] = "builtins";

using pyapi::DepKind;
constexpr DepKind G = DepKind::global, A = DepKind::attribute, B = DepKind::builtin;

}  // namespace

// clang-format off
constexpr pyapi::Dependency kDependencies[dep::end - dep::np] = {
    {dep::np, G, "np"},
    {dep::math, G, "math"},
    {dep::np_full, A, "full", dep::np},
    {dep::np_float64, A, "float64", dep::np},
    {dep::np_isnan, A, "isnan", dep::np, ufunc<kIsnan>},
    {dep::np_isinf, A, "isinf", dep::np, ufunc<kIsinf>},
    {dep::np_prod, A, "prod", dep::np, numpy_function<kProd>},
    {dep::np_any, A, "any", dep::np, numpy_function<kAny>},
    {dep::np_sum, A, "sum", dep::np, numpy_function<kSum>},
    {dep::np_log, A, "log", dep::np, ufunc<kLog>},
    {dep::np_abs, A, "abs", dep::np, ufunc<kAbsolute>},
    {dep::math_nan, A, "nan", dep::math},
    {dep::math_isnan, A, "isnan", dep::math, c_function<kMathName, kIsnan>},
    {dep::math_isinf, A, "isinf", dep::math, c_function<kMathName, kIsinf>},
    {dep::math_exp, A, "exp", dep::math, c_function<kMathName, kExp>},
    {dep::range, B, "range", 0, range_type},
    {dep::max, B, "max", 0, c_function<kBuiltins, kMaxName>},
};
// clang-format on
static_assert(pyapi::well_numbered(kDependencies, dep::np));

void init_constants(State& st) {
    st.dtype_kw = pyapi::kwnames({st.names.dtype});
    const std::pair<Ref*, long> ints[] = {{&st.int0, 0}, {&st.int1, 1}, {&st.int2, 2}};
    for (auto [r, v] : ints) *r = check(PyLong_FromLong(v));
    const std::pair<Ref*, double> floats[] = {{&st.zero, 0.0}, {&st.one, 1.0}, {&st.minus_one, -1.0}};
    for (auto [r, v] : floats) *r = check(PyFloat_FromDouble(v));
}

}  // namespace logarithmic
