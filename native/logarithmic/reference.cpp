// Setup shared by both functions, in the order the per-cell evaluation runs it:
// `T, N = data.shape`, the NaN-filled float64 output, then `instance.window`
// (read even when there are no rows); then the cell loop.
#include "reference.hpp"

#include <algorithm>
#include <utility>

#include "numpy_api.hpp"

namespace logarithmic {

using pyapi::check;
using pyapi::Ref;

namespace {

// np.full((T, N), math.nan, dtype=np.float64) while np, np.full, np.float64,
// math and math.nan are the module's originals: NumPy's own empty array, to be
// filled with that NaN (c.fill, see fill_output), without running np.full's
// Python-level body, where the thread may hand the interpreter lock to a
// thread waiting for it and then wait a switch interval to get it back. Empty
// when another road must serve (np.full then raises its own errors).
Ref native_full(Call& c) {
    using pyapi::dep_bit;
    constexpr pyapi::DepMask needed = dep_bit(dep::np) | dep_bit(dep::np_full) | dep_bit(dep::np_float64) |
                                      dep_bit(dep::math) | dep_bit(dep::math_nan);
    // A profile or trace function sees np.full's own frames (and the array it
    // returns): under one, the host's call runs.
    const PyThreadState* const ts = PyThreadState_Get();
    if (ts->c_profilefunc || ts->c_tracefunc) return {};
    PyObject* const nan = c.st.original(dep::math_nan);
    if (!PyLong_CheckExact(c.T.get()) || !PyLong_CheckExact(c.N.get()) || !c.self.guards->hold_all(needed) ||
        !PyFloat_CheckExact(nan))
        return {};
    npy_intp dims[2];
    for (int i = 0; i < 2; ++i) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(i ? c.N.get() : c.T.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) pyapi::raise();
        if (overflow || v < 0 || v > NPY_MAX_INTP) return {};
        dims[i] = static_cast<npy_intp>(v);
    }
    PyObject* out = PyArray_EMPTY(2, dims, NPY_DOUBLE, 0);
    if (!out) {
        PyErr_Clear();  // too large, say: np.full's own call raises what it raises
        return {};
    }
    c.unfilled = true;
    c.fill = PyFloat_AS_DOUBLE(nan);
    return Ref::steal(out);
}

}  // namespace

void fill_output(Call& c) noexcept {
    if (!std::exchange(c.unfilled, false)) return;
    auto* out = reinterpret_cast<PyArrayObject*>(c.out.get());
    double* cells = static_cast<double*>(PyArray_DATA(out));
    std::fill(cells, cells + PyArray_SIZE(out), c.fill);
}

Ref run_reference(const pyapi::FunctionObject& self, Kind kind, PyObject* instance, PyObject* data) {
    const State& st = state(self);
    const Names& n = st.names;
    Call c{self, st, n, kind, data, {}, {}, {}, {}};
    pyapi::unpack_two(pyapi::getattr(data, n.shape).get(), c.T, c.N);
    c.out = native_full(c);
    if (!c.out) {
        Ref full = pyapi::getattr(pyapi::global(self, n.np).get(), n.full);
        Ref dims = check(PyTuple_Pack(2, c.T.get(), c.N.get()));
        Ref nan = pyapi::getattr(pyapi::global(self, n.math).get(), n.nan);
        Ref f64 = pyapi::getattr(pyapi::global(self, n.np).get(), n.float64);
        c.out = pyapi::call(full.get(), {dims.get(), nan.get(), f64.get()}, st.dtype_kw.get());
    }
    c.W = pyapi::getattr(instance, n.window);
    if (!native_loop(c)) {
        fill_output(c);
        general_loop(c);
    }
    fill_output(c);  // a loop with no cell to store
    return c.out;
}

}  // namespace logarithmic
