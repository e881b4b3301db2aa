// The native path: for an exact ndarray of a numeric dtype, with the module's
// globals untouched and an int or float window, the cell loop runs natively in
// row tiles across blocks of columns (product_tiles.hpp, geo_tiles.hpp): the
// gates from value classes and rolling window counts, O(1) per cell, and only
// the window's product or pairwise sum O(window).
//
// Cells whose native evaluation raised floating-point flags that NumPy's error
// state does not ignore, or whose exponential overflows, are evaluated again
// on the general path in row-major order, so that NumPy and `math` themselves
// warn or raise exactly where the per-cell evaluation would.
//
// The kernels, NumPy's logarithm included (its own inner loop, numpy_log.hpp),
// run without the interpreter lock, taking it back only to run Python code:
// NumPy's error state when a flag is raised, its sum of very long windows, the
// ufunc when its loop is not proven, the signal handlers now and then. The
// pass reads the arrays only through the views taken before it starts
// (ArrayView: data pointer, shape, strides, dtype, and the array itself held),
// since other threads may reassign an array's metadata while the lock is free.
// Each time the lock is taken back the arrays are checked against the views;
// if one was resized, reshaped or retyped meanwhile, the pass stops and every
// cell it had not stored goes to the general path, on the arrays as they now
// are.
#include <atomic>

#include "geo_tiles.hpp"
#include "native_common.hpp"
#include "product_tiles.hpp"

namespace logarithmic {
namespace {

// The kernels of dtype D (an entry of NativeDTypes) over every column.
template <class D>
void run_tiles(Driver& d) {
    using E = typename D::Elem;
    const Index T = d.rows.count, span = d.rows.span;
    if (span == 0) return;  // every window is empty: the output stays NaN
    const Index M = std::min(T, tile_rows(span) + span - 1);
    const Index group = std::max<Index>(1, kTileCells / (M * kWidestBlock)) * kWidestBlock;
    for (Index c0 = 0; c0 < d.N; c0 += group) {
        const Index n = std::min(group, d.N - c0);
        if (d.c.kind == Kind::Product) product_tiles<E>(d, c0, n);
        else if constexpr (D::has_geo_mean) geo_tiles<E, typename D::LogType>(d, c0, n);
        if (d.stopped) return;
    }
}

// Whether the array's dtype has a native kernel for this function.
bool dtype_supported(const ArrayView& a, Kind kind) {
    const PyArray_Descr* dt = a.dtype();
    if (!PyArray_ISNBO(dt->byteorder) || !a.has(NPY_ARRAY_ALIGNED)) return false;
    bool supported = false;
    NativeDTypes::visit(dt, [&](auto dtype) { supported = kind == Kind::Product || decltype(dtype)::has_geo_mean; });
    return supported;
}

// A fact about the loaded NumPy, asked once per process (state.hpp).
bool float32_quotient_stays_float32() {
    static std::atomic<int> cached{-1};
    int known = cached.load(std::memory_order_relaxed);
    if (known < 0) {
        Ref one = check(PyArrayScalar_New(Float));
        PyArrayScalar_VAL(one.get(), Float) = 1.0f;
        Ref three = check(PyLong_FromLong(3));
        Ref q = check(PyNumber_TrueDivide(one.get(), three.get()));
        known = PyArray_IsScalar(q.get(), Float) ? 1 : 0;
        cached.store(known, std::memory_order_relaxed);
    }
    return known == 1;
}

// The cells left to the general path, in row-major order: the flagged ones,
// and when the pass stopped, every cell it had not stored.
void evaluate_special(Driver& d) {
    std::sort(d.special.begin(), d.special.end());
    Index row = -1;
    Ref t_obj, window;
    auto cell = [&](Index t, Index n) {
        if (t != row) {
            row = t;
            t_obj = check(PyLong_FromSsize_t(t));
            Ref start = check(PyLong_FromSsize_t(d.rows.start[t]));
            Ref stop = check(PyLong_FromSsize_t(t + 1));
            Ref rows = check(PySlice_New(start.get(), stop.get(), nullptr));
            Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
            Ref key = check(PyTuple_Pack(2, rows.get(), all.get()));
            window = check(PyObject_GetItem(d.c.data, key.get()));
        }
        Ref n_obj = check(PyLong_FromSsize_t(n));
        general_cell(d.c, t_obj.get(), n_obj.get(), window.get());
    };
    if (!d.stopped) {
        for (auto [t, n] : d.special) cell(t, n);
        return;
    }
    size_t k = 0;
    for (Index t = 0; t < d.rows.count; ++t)
        for (Index n = 0; n < d.N; ++n) {
            bool todo = n >= d.at_c1 || (n >= d.at_c0 && t >= d.at_t0);
            for (; k < d.special.size() && d.special[k] <= std::pair<Index, Index>{t, n}; ++k)
                todo |= d.special[k].first == t && d.special[k].second == n;
            if (todo) cell(t, n);
        }
}

// Takes the interpreter lock back when the native pass ends, however it ends.
struct Relock {
    Driver& d;
    ~Relock() { d.acquire(); }
};

}  // namespace

int Driver::non_ignored_flags() {
    if (raising >= 0) return raising;
    python([&] {
        Ref np = pyapi::global(c.self, c.n.np);
        Ref geterr = pyapi::getattr(np.get(), c.n.geterr);
        Ref modes = check(PyObject_CallNoArgs(geterr.get()));
        static const std::pair<const char*, int> keys[] = {
            {"divide", FE_DIVBYZERO}, {"over", FE_OVERFLOW}, {"under", FE_UNDERFLOW}, {"invalid", FE_INVALID}};
        int r = 0;
        for (auto& [key, flag] : keys) {
            Ref mode = check(PyObject_GetItem(modes.get(), pyapi::intern(key).get()));
            if (!PyUnicode_Check(mode.get()) || PyUnicode_CompareWithASCIIString(mode.get(), "ignore") != 0) r |= flag;
        }
        raising = r;
    });
    return raising;
}

bool native_loop(Call& c) {
    if (!PyArray_CheckExact(c.data) || !PyArray_CheckExact(c.out.get()) || !globals_are_original(c.self)) return false;
    // Both arrays as they are now, read once: every check below and the whole
    // pass go by these views.
    const ArrayView in(reinterpret_cast<PyArrayObject*>(c.data));
    const ArrayView out(reinterpret_cast<PyArrayObject*>(c.out.get()));
    if (in.ndim != 2 || !dtype_supported(in, c.kind)) return false;
    const Index T = in.dims[0], N = in.dims[1];
    if (out.dtype()->type_num != NPY_DOUBLE || !out.has(NPY_ARRAY_C_CONTIGUOUS) || out.ndim != 2 || out.dims[0] != T ||
        out.dims[1] != N || !out.has(NPY_ARRAY_WRITEABLE))
        return false;
    Rows rows;
    if (!window_rows(c.W.get(), T, rows)) return false;
    // `out[t, n] = math.nan` stores what NumPy makes of the object found now
    // (the original one, checked above); only an exact float is taken natively.
    PyObject* const nan_now = c.st.original(dep::math_nan);
    if (!PyFloat_CheckExact(nan_now)) return false;

    double* const cells = reinterpret_cast<double*>(out.ptr);
    Driver d{c, in, out, cells, T, N, N, rows, {}, -1, true, PyFloat_AS_DOUBLE(nan_now)};
    // The module's originals the kernels call (the globals hold them, checked above).
    d.np_log = c.st.original(dep::np_log);
    d.np_sum = c.st.original(dep::np_sum);
    if (c.kind == Kind::GeoMean) {
        d.f32_quotient = float32_quotient_stays_float32();
        NativeDTypes::visit(in.dtype(), [&](auto dtype) {
            using LogType = typename decltype(dtype)::LogType;
            if constexpr (decltype(dtype)::has_geo_mean) d.log = numpy_log(d.np_log, std::is_same_v<LogType, double>);
        });
    }
    // The first use of NumPy's division and log above runs NumPy, which may let
    // other threads in: the pass starts only on arrays still as checked, and
    // otherwise (no cell stored yet) leaves the whole loop to the general path.
    if (!in.holds() || !out.holds()) return false;
    if (rows.count > 0 && N > 0) {
        Relock relock{d};
        d.release();
        fill_output(c);  // the array is this call's alone: no lock needed
        NativeDTypes::visit(in.dtype(), [&](auto dtype) { run_tiles<decltype(dtype)>(d); });
    }
    std::feclearexcept(FE_ALL_EXCEPT);
    fill_output(c);
    evaluate_special(d);
    if (rows.fails_after) general_loop(c, rows.count);
    return true;
}

}  // namespace logarithmic
