// The general path: each cell evaluated literally through the host's and
// NumPy's Python-level operations, in the order the per-cell evaluation
// performs them. It serves what the native kernels do not cover (other dtypes,
// array-likes, ndarray subclasses, rebound globals, unusual windows) and
// re-evaluates single cells whose native result needs NumPy's own warnings or
// errors.
#include "reference.hpp"

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

Ref g(Call& c, PyObject* name) { return pyapi::global(c.self, name); }
// `np.name` and `math.name`, the module global read first
Ref np_attr(Call& c, PyObject* name) { return pyapi::getattr(g(c, c.n.np).get(), name); }
Ref math_attr(Call& c, PyObject* name) { return pyapi::getattr(g(c, c.n.math).get(), name); }
Ref call1(const Ref& f, PyObject* a) { return check(PyObject_CallOneArg(f.get(), a)); }
Ref np_call(Call& c, PyObject* fn, PyObject* arg) { return call1(np_attr(c, fn), arg); }
bool truth(const Ref& o) { return pyapi::truthy(o.get()); }
Ref compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompare(a, b, op)); }

Ref full_slice() { return check(PySlice_New(nullptr, nullptr, nullptr)); }
Ref pair(PyObject* a, PyObject* b) { return check(PyTuple_Pack(2, a, b)); }

// `out[t, n] = value`
void store(Call& c, PyObject* t, PyObject* n, PyObject* value) {
    pyapi::check_status(PyObject_SetItem(c.out.get(), pair(t, n).get(), value));
}
void store_nan(Call& c, PyObject* t, PyObject* n) { store(c, t, n, math_attr(c, c.n.nan).get()); }

// `math.isnan(current) or math.isinf(current) or current <= 0.0`
bool current_gate_fails(Call& c, PyObject* current) {
    if (truth(call1(math_attr(c, c.n.isnan), current))) return true;
    if (truth(call1(math_attr(c, c.n.isinf), current))) return true;
    return truth(compare(current, c.st.zero.get(), Py_LE));
}

}  // namespace

Ref general_window(Call& c, PyObject* t) {
    Ref maxf = g(c, c.n.max);
    Ref diff = check(PyNumber_Subtract(t, c.W.get()));
    Ref bound = check(PyNumber_Add(diff.get(), c.st.int1.get()));
    Ref start = pyapi::call(maxf.get(), {c.st.int0.get(), bound.get()});
    Ref stop = check(PyNumber_Add(t, c.st.int1.get()));
    Ref rows = check(PySlice_New(start.get(), stop.get(), nullptr));
    return check(PyObject_GetItem(c.data, pair(rows.get(), full_slice().get()).get()));
}

void general_cell(Call& c, PyObject* t, PyObject* n, PyObject* window) {
    Ref col = check(PyObject_GetItem(window, pair(full_slice().get(), n).get()));
    Ref current = check(PyObject_GetItem(c.data, pair(t, n).get()));
    Ref is_nan = np_call(c, c.n.isnan, col.get());
    Ref is_inf = np_call(c, c.n.isinf, col.get());
    Ref either = check(PyNumber_Or(is_nan.get(), is_inf.get()));
    Ref valid = check(PyNumber_Invert(either.get()));

    if (c.kind == Kind::Product) {
        Ref count = pyapi::call_method(valid.get(), c.n.sum);
        if (truth(compare(count.get(), c.st.int1.get(), Py_LT)) || current_gate_fails(c, current.get()))
            return store_nan(c, t, n);
        Ref prod = np_attr(c, c.n.prod);
        Ref values = check(PyObject_GetItem(col.get(), valid.get()));
        return store(c, t, n, call1(prod, values.get()).get());
    }

    Ref valid_col = check(PyObject_GetItem(col.get(), valid.get()));
    Ref nobs = pyapi::getattr(valid_col.get(), c.n.size);
    if (truth(compare(nobs.get(), c.st.int1.get(), Py_LT)) || current_gate_fails(c, current.get()))
        return store_nan(c, t, n);
    Ref any = np_attr(c, c.n.any);
    if (truth(call1(any, compare(valid_col.get(), c.st.zero.get(), Py_EQ).get())))
        return store(c, t, n, c.st.zero.get());
    Ref count_negatives = np_attr(c, c.n.sum);
    Ref neg_c = call1(count_negatives, compare(valid_col.get(), c.st.int0.get(), Py_LT).get());
    Ref parity = check(PyNumber_Remainder(neg_c.get(), c.st.int2.get()));
    PyObject* sign = truth(compare(parity.get(), c.st.int1.get(), Py_EQ)) ? c.st.minus_one.get() : c.st.one.get();
    Ref exp = math_attr(c, c.n.exp);
    Ref sum = np_attr(c, c.n.sum);
    Ref log = np_attr(c, c.n.log);
    Ref logs = call1(log, np_call(c, c.n.abs, valid_col.get()).get());
    Ref total = call1(sum, logs.get());
    Ref mean = check(PyNumber_TrueDivide(total.get(), nobs.get()));
    Ref value = check(PyNumber_Multiply(sign, call1(exp, mean.get()).get()));
    store(c, t, n, value.get());
}

void general_loop(Call& c, Py_ssize_t first_row) {
    Ref rows = call1(g(c, c.n.range), c.T.get());
    Ref it = check(PyObject_GetIter(rows.get()));
    Py_ssize_t row = 0;
    while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
        if (row++ < first_row) continue;
        Ref window = general_window(c, t.get());
        Ref cols = call1(g(c, c.n.range), c.N.get());
        Ref cit = check(PyObject_GetIter(cols.get()));
        while (Ref n = Ref::steal(PyIter_Next(cit.get()))) general_cell(c, t.get(), n.get(), window.get());
        if (PyErr_Occurred()) pyapi::raise();
    }
    if (PyErr_Occurred()) pyapi::raise();
}

}  // namespace logarithmic
