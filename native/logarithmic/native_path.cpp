// The native path: for an exact ndarray of a numeric dtype, with the module's
// globals untouched and an int or float window, the cell loop runs on
// precomputed per-column data (finite mask as prefix counts, compacted finite
// values, their magnitudes' logarithms from NumPy's own `log`), so that the
// gates are O(1) per cell and only the window's product or pairwise sum is
// O(window).
//
// Cells whose native evaluation raised floating-point flags that NumPy's error
// state does not ignore, or whose exponential overflows, are evaluated again
// on the general path in row-major order, so that NumPy and `math` themselves
// warn or raise exactly where the per-cell evaluation would.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels.hpp"
#include "numpy_api.hpp"
#include "reference.hpp"

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;
using Index = std::ptrdiff_t;

// Windows longer than this are summed by NumPy itself: its reduction may split
// long inputs into buffer-sized chunks depending on the installed version.
constexpr Index kNativeSumLimit = 8192;

constexpr int kWatchedFlags = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

inline fexcept_t save_flags() {
    fexcept_t f;
    std::fegetexceptflag(&f, FE_ALL_EXCEPT);
    return f;
}
inline void restore_flags(const fexcept_t& f) { std::fesetexceptflag(&f, FE_ALL_EXCEPT); }

// ---------------------------------------------------------------- windows

struct Rows {
    std::vector<Index> start;  // start bound of each computed row
    Index count = 0;           // rows computed natively
    bool fails_after = false;  // row `count` fails to slice (non-integer bound)
};

// The start bounds `max(0, t - W + 1)` for an exact int (or bool) or float
// window, evaluated as the host's number protocol would; false for any other
// window object.
bool window_rows(PyObject* W, Index T, Rows& rows) {
    rows.start.resize(static_cast<size_t>(T));
    if (PyLong_CheckExact(W) || PyBool_Check(W)) {
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(W, &overflow);
        if (w == -1 && PyErr_Occurred()) pyapi::raise();
        for (Index t = 0; t < T; ++t) {
            __int128 s = overflow > 0 ? 0 : overflow < 0 ? static_cast<__int128>(t) + 1
                                                         : static_cast<__int128>(t) - w + 1;
            if (s < 0) s = 0;
            if (s > t + 1) s = t + 1;  // an empty window
            rows.start[static_cast<size_t>(t)] = static_cast<Index>(s);
        }
        rows.count = T;
        return true;
    }
    if (PyFloat_CheckExact(W)) {
        const double w = PyFloat_AS_DOUBLE(W);
        Index t = 0;
        // A positive float bound is refused by the slice; until then max() keeps the int 0.
        for (; t < T; ++t) {
            if ((static_cast<double>(t) - w) + 1.0 > 0) break;
            rows.start[static_cast<size_t>(t)] = 0;
        }
        rows.count = t;
        rows.fails_after = t < T;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- dtypes

enum class Geo { None, F64, F32 };  // the dtype NumPy's log computes in, if native

template <class E>
struct Elem {
    static constexpr bool is_float = std::is_floating_point_v<E>;
    // np.prod's accumulator: the float itself; 64-bit wrapping integers otherwise
    using Acc = std::conditional_t<is_float, E, std::uint64_t>;
    static constexpr Geo geo = std::is_same_v<E, double> ? Geo::F64
                               : std::is_same_v<E, float> ? Geo::F32
                               : sizeof(E) == 1 ? Geo::None
                               : sizeof(E) == 2 ? Geo::F32
                                                : Geo::F64;
    static bool finite(E x) {
        if constexpr (is_float) return std::isfinite(x);
        else return true;
    }
    // the current-value gate passes: finite and strictly positive
    static bool current_ok(E x) {
        if constexpr (is_float) return std::isfinite(x) && x > 0;
        else return x > 0;
    }
    static Acc acc(E x) {
        if constexpr (is_float) return x;
        else if constexpr (std::is_signed_v<E>) return static_cast<std::uint64_t>(static_cast<std::int64_t>(x));
        else return static_cast<std::uint64_t>(x);
    }
    static double to_out(Acc p) {
        if constexpr (is_float) return static_cast<double>(p);
        else if constexpr (std::is_signed_v<E>)
            return static_cast<double>(static_cast<std::int64_t>(p));
        else return static_cast<double>(p);
    }
    // np.abs in the array's dtype then the cast to the log's dtype; false when
    // the magnitude wraps to a negative value (the minimum of a signed type).
    template <class L>
    static bool magnitude(E x, L& m) {
        if constexpr (is_float) {
            m = static_cast<L>(std::fabs(x));
            return true;
        } else if constexpr (std::is_signed_v<E>) {
            if (x == std::numeric_limits<E>::min()) return false;
            m = static_cast<L>(x < 0 ? -x : x);
            return true;
        } else {
            m = static_cast<L>(x);
            return true;
        }
    }
};

// ---------------------------------------------------------------- per call

struct Driver {
    Call& c;
    PyArrayObject* data;
    double* out;
    Index T, N, out_row;
    const Rows& rows;
    std::vector<std::pair<Index, Index>> special;  // cells for the general path
    int raising = -1;                              // watched flags NumPy does not ignore
    bool f32_quotient = true;                      // np.float32 / int stays float32
    double nan = 0.0;                              // what `out[t, n] = math.nan` stores

    // Flags whose error mode is not "ignore" in NumPy's current error state.
    int non_ignored_flags() {
        if (raising >= 0) return raising;
        Ref np = pyapi::global(c.self, names().np);
        Ref geterr = pyapi::getattr(np.get(), names().geterr);
        Ref modes = check(PyObject_CallNoArgs(geterr.get()));
        static const std::pair<const char*, int> keys[] = {
            {"divide", FE_DIVBYZERO}, {"over", FE_OVERFLOW}, {"under", FE_UNDERFLOW}, {"invalid", FE_INVALID}};
        raising = 0;
        for (auto& [key, flag] : keys) {
            Ref mode = check(PyObject_GetItem(modes.get(), pyapi::intern(key)));
            int eq = PyUnicode_Check(mode.get()) ? PyUnicode_CompareWithASCIIString(mode.get(), "ignore") : 1;
            if (eq != 0) raising |= flag;
        }
        return raising;
    }
};

template <class E>
struct Column {
    using T_ = Elem<E>;
    using Acc = typename T_::Acc;
    std::vector<E> x;
    std::vector<Index> fin;  // fin[t]: finite values in rows [0, t)
    std::vector<Acc> values;
    std::vector<Job> jobs;
    std::vector<Acc> res;
    std::vector<double> result;  // the column's cells, scattered into `out` by row

    void gather_finite(Index count) {
        fin.resize(static_cast<size_t>(count) + 1);
        values.resize(static_cast<size_t>(count));
        Index k = 0;
        fin[0] = 0;
        for (Index t = 0; t < count; ++t) {
            const E v = x[t];
            values[k] = T_::acc(v);
            k += T_::finite(v);
            fin[t + 1] = k;
        }
    }
};

template <class E>
void product_column(Driver& d, Column<E>& col, Index n) {
    using T_ = Elem<E>;
    const Index count = d.rows.count;
    col.gather_finite(count);
    // Rows in chunks, so that the chunk's jobs and results stay in cache.
    constexpr Index kChunk = 1024;
    bool flagged = false;
    if constexpr (T_::is_float) std::feclearexcept(FE_ALL_EXCEPT);
    for (Index t0 = 0; t0 < count; t0 += kChunk) {
        const Index t1 = std::min(count, t0 + kChunk);
        col.jobs.resize(static_cast<size_t>(t1 - t0));
        size_t nj = 0;
        for (Index t = t0; t < t1; ++t) {
            const Index a = col.fin[d.rows.start[t]], b = col.fin[t + 1];
            col.jobs[nj] = {t, a, b};
            nj += b - a >= 1 && T_::current_ok(col.x[t]);
        }
        col.jobs.resize(nj);
        col.res.resize(col.jobs.size());
        window_products(col.values.data(), col.jobs.data(), col.jobs.size(), col.res.data());
        for (size_t i = 0; i < col.jobs.size(); ++i)
            col.result[col.jobs[i].t] = T_::to_out(col.res[i]);
        if constexpr (T_::is_float) {
            if (std::fetestexcept(kWatchedFlags)) {
                flagged = true;
                std::feclearexcept(FE_ALL_EXCEPT);
            }
        }
    }
    if (flagged && d.non_ignored_flags()) {
        // Find the cells that raised a flag NumPy acts on.
        for (Index t = 0; t < count; ++t) {
            const Index a = col.fin[d.rows.start[t]], b = col.fin[t + 1];
            if (b - a < 1 || !T_::current_ok(col.x[t])) continue;
            std::feclearexcept(FE_ALL_EXCEPT);
            volatile auto p = window_product(col.values.data(), a, b);
            (void)p;
            if (std::fetestexcept(kWatchedFlags) & d.raising) d.special.push_back({t, n});
        }
    }
}

// Logarithms of the compacted magnitudes through NumPy's `log` ufunc, so that
// each equals what np.log gives inside the per-cell evaluation.
template <class L>
Ref numpy_logs(std::vector<L>& mags) {
    npy_intp len = static_cast<npy_intp>(mags.size());
    constexpr int type = std::is_same_v<L, double> ? NPY_DOUBLE : NPY_FLOAT;
    Ref arr = check(PyArray_SimpleNew(1, &len, type));
    if (len) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), mags.data(),
                         sizeof(L) * mags.size());
    Ref logs = check(PyObject_CallOneArg(originals().np_attr[7], arr.get()));
    if (!PyArray_CheckExact(logs.get()) ||
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(logs.get())) != PyArray_TYPE(reinterpret_cast<PyArrayObject*>(arr.get())) ||
        !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(logs.get())))
        pyapi::raise(PyExc_SystemError, "unexpected result of numpy.log");
    return logs;
}

template <class E, class L>
struct GeoColumn {
    std::vector<Index> zeros, negs, bad;  // prefix counts over the compacted values
    std::vector<L> mags;
    struct Cell {
        Index t;
        bool negative;
        double mean;
    };
    std::vector<Cell> cells;
};

template <class E, class L>
void geo_column(Driver& d, Column<E>& col, GeoColumn<E, L>& g, Index n) {
    using T_ = Elem<E>;
    const Index count = d.rows.count;
    col.fin.resize(static_cast<size_t>(count) + 1);
    col.fin[0] = 0;
    g.zeros.resize(static_cast<size_t>(count) + 1);
    g.negs.resize(static_cast<size_t>(count) + 1);
    g.bad.resize(static_cast<size_t>(count) + 1);
    g.mags.resize(static_cast<size_t>(count));
    g.zeros[0] = g.negs[0] = g.bad[0] = 0;
    Index k = 0;
    for (Index t = 0; t < count; ++t) {
        const E v = col.x[t];
        if (T_::finite(v)) {
            L m;
            const bool is_zero = v == 0;
            bool ok = T_::magnitude(v, m);
            // zeros never reach the logarithm (the zero gate comes first)
            if (is_zero || !ok) m = L(1);
            g.mags[k] = m;
            g.zeros[k + 1] = g.zeros[k] + is_zero;
            g.negs[k + 1] = g.negs[k] + (v < 0);
            g.bad[k + 1] = g.bad[k] + !ok;
            ++k;
        }
        col.fin[t + 1] = k;
    }
    g.mags.resize(static_cast<size_t>(k));
    Ref logs_arr = numpy_logs(g.mags);
    const L* logs = static_cast<const L*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(logs_arr.get())));

    // Sums and quotients first, watched for flags as one batch (sums of finite
    // logarithms raise none); then the exponentials, whose flags do not count.
    g.cells.clear();
    std::feclearexcept(FE_ALL_EXCEPT);
    for (Index t = 0; t < count; ++t) {
        const Index a = col.fin[d.rows.start[t]], b = col.fin[t + 1];
        const Index nobs = b - a;
        if (nobs < 1 || !T_::current_ok(col.x[t])) continue;
        if (g.zeros[b] - g.zeros[a] > 0) {
            col.result[t] = 0.0;
            continue;
        }
        if (g.bad[b] - g.bad[a] > 0) {
            d.special.push_back({t, n});
            continue;
        }
        const bool negative = (g.negs[b] - g.negs[a]) % 2 == 1;
        L total;
        if (nobs <= kNativeSumLimit) {
            total = numpy_sum(logs + a, nobs);
        } else {
            const fexcept_t held = save_flags();
            Ref view = check(PySequence_GetSlice(logs_arr.get(), a, b));
            Ref s = check(PyObject_CallOneArg(originals().np_attr[6], view.get()));
            if constexpr (std::is_same_v<L, double>) total = PyArrayScalar_VAL(s.get(), Double);
            else total = PyArrayScalar_VAL(s.get(), Float);
            restore_flags(held);
        }
        double mean;
        if constexpr (std::is_same_v<L, float>) {
            if (d.f32_quotient) mean = static_cast<float>(total / static_cast<float>(static_cast<double>(nobs)));
            else mean = static_cast<double>(total) / static_cast<double>(nobs);
        } else {
            mean = total / static_cast<double>(nobs);
        }
        g.cells.push_back({t, negative, mean});
    }
    if (std::fetestexcept(kWatchedFlags) && d.non_ignored_flags()) {
        // Not expected; let NumPy judge every value cell of the column.
        for (const auto& cell : g.cells) d.special.push_back({cell.t, n});
        return;
    }
    for (const auto& cell : g.cells) {
        const double e = std::exp(cell.mean);
        if (std::isinf(e)) {  // math.exp raises OverflowError here
            d.special.push_back({cell.t, n});
            continue;
        }
        col.result[cell.t] = cell.negative ? -e : e;
    }
}

// Copies columns [n0, n0 + k) of the computed rows into per-column buffers.
template <class E>
void gather_block(const Driver& d, std::vector<Column<E>>& cols, Index n0, Index k) {
    const char* base = static_cast<const char*>(PyArray_DATA(d.data));
    const npy_intp s0 = PyArray_STRIDES(d.data)[0], s1 = PyArray_STRIDES(d.data)[1];
    E* xs[8];
    for (Index j = 0; j < k; ++j) {
        cols[j].x.resize(static_cast<size_t>(d.rows.count));
        cols[j].result.assign(static_cast<size_t>(d.rows.count), d.nan);
        xs[j] = cols[j].x.data();
    }
    if (k == 8) {
        for (Index t = 0; t < d.rows.count; ++t) {
            const char* row = base + t * s0 + n0 * s1;
            for (Index j = 0; j < 8; ++j) std::memcpy(xs[j] + t, row + j * s1, sizeof(E));
        }
        return;
    }
    for (Index t = 0; t < d.rows.count; ++t) {
        const char* row = base + t * s0 + n0 * s1;
        for (Index j = 0; j < k; ++j) std::memcpy(xs[j] + t, row + j * s1, sizeof(E));
    }
}

template <class E>
void run_columns(Driver& d) {
    constexpr Index kBlock = 8;
    std::vector<Column<E>> cols(kBlock);
    constexpr Geo geo = Elem<E>::geo;
    using L = std::conditional_t<geo == Geo::F32, float, double>;
    GeoColumn<E, L> g;
    for (Index n0 = 0; n0 < d.N; n0 += kBlock) {
        const Index k = std::min(kBlock, d.N - n0);
        gather_block(d, cols, n0, k);
        for (Index j = 0; j < k; ++j) {
            if (d.c.kind == Kind::Product) product_column(d, cols[j], n0 + j);
            else if constexpr (geo != Geo::None) geo_column(d, cols[j], g, n0 + j);
        }
        const double* rs[kBlock];
        for (Index j = 0; j < k; ++j) rs[j] = cols[j].result.data();
        if (k == kBlock) {
            for (Index t = 0; t < d.rows.count; ++t) {
                double* row = d.out + t * d.out_row + n0;
                for (Index j = 0; j < kBlock; ++j) row[j] = rs[j][t];
            }
        } else {
            for (Index t = 0; t < d.rows.count; ++t) {
                double* row = d.out + t * d.out_row + n0;
                for (Index j = 0; j < k; ++j) row[j] = rs[j][t];
            }
        }
    }
}

// Whether the dtype has a native kernel for this function.
bool dtype_supported(PyArrayObject* a, Kind kind) {
    PyArray_Descr* dt = PyArray_DESCR(a);
    if (!PyArray_ISNBO(dt->byteorder) || !PyArray_ISALIGNED(a)) return false;
    const int elsize = static_cast<int>(PyDataType_ELSIZE(dt));
    switch (dt->kind) {
        case 'f': return elsize == 8 || elsize == 4;
        case 'i':
        case 'u': return kind == Kind::Product || elsize >= 2;
        case 'b': return kind == Kind::Product;
        default: return false;
    }
}

template <class F>
void dispatch(PyArrayObject* a, F&& f) {
    PyArray_Descr* dt = PyArray_DESCR(a);
    const int elsize = static_cast<int>(PyDataType_ELSIZE(dt));
    switch (dt->kind) {
        case 'f': return elsize == 8 ? f(double{}) : f(float{});
        case 'b': return f(std::uint8_t{});  // a product of 0s and 1s, as np.prod's int64 gives
        case 'i':
            return elsize == 1 ? f(std::int8_t{}) : elsize == 2 ? f(std::int16_t{})
                 : elsize == 4 ? f(std::int32_t{}) : f(std::int64_t{});
        default:
            return elsize == 1 ? f(std::uint8_t{}) : elsize == 2 ? f(std::uint16_t{})
                 : elsize == 4 ? f(std::uint32_t{}) : f(std::uint64_t{});
    }
}

bool float32_quotient_stays_float32() {
    static int cached = -1;
    if (cached < 0) {
        Ref one = check(PyArrayScalar_New(Float));
        PyArrayScalar_VAL(one.get(), Float) = 1.0f;
        Ref three = check(PyLong_FromLong(3));
        Ref q = check(PyNumber_TrueDivide(one.get(), three.get()));
        cached = PyArray_IsScalar(q.get(), Float) ? 1 : 0;
    }
    return cached == 1;
}

// The cells left to the general path, in row-major order.
void evaluate_special(Driver& d) {
    std::sort(d.special.begin(), d.special.end());
    Index row = -1;
    Ref t_obj, window;
    for (auto [t, n] : d.special) {
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
    }
}

}  // namespace

bool native_loop(Call& c) {
    if (!PyArray_CheckExact(c.data) || !globals_are_original(c.self.globals)) return false;
    auto* data = reinterpret_cast<PyArrayObject*>(c.data);
    if (PyArray_NDIM(data) != 2 || !dtype_supported(data, c.kind)) return false;
    if (!PyArray_CheckExact(c.out.get())) return false;
    auto* out = reinterpret_cast<PyArrayObject*>(c.out.get());
    const Index T = PyArray_DIM(data, 0), N = PyArray_DIM(data, 1);
    if (PyArray_TYPE(out) != NPY_DOUBLE || !PyArray_IS_C_CONTIGUOUS(out) || PyArray_NDIM(out) != 2 ||
        PyArray_DIM(out, 0) != T || PyArray_DIM(out, 1) != N || !PyArray_ISWRITEABLE(out))
        return false;
    Rows rows;
    if (!window_rows(c.W.get(), T, rows)) return false;

    Driver d{c, data, static_cast<double*>(PyArray_DATA(out)), T, N, N, rows, {}, -1, true,
             PyFloat_AS_DOUBLE(originals().math_attr[0])};
    if (c.kind == Kind::GeoMean) d.f32_quotient = float32_quotient_stays_float32();
    if (rows.count > 0 && N > 0) dispatch(data, [&](auto tag) { run_columns<decltype(tag)>(d); });
    std::feclearexcept(FE_ALL_EXCEPT);
    evaluate_special(d);
    if (rows.fails_after) general_loop(c, rows.count);
    return true;
}

}  // namespace logarithmic
