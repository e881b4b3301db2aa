// The native path's shared pieces: window bounds, the per-call driver and tile input.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include <algorithm>
#include <bit>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "dtypes.hpp"
#include "kernels.hpp"
#include "numpy_api.hpp"
#include "numpy_log.hpp"
#include "pyapi/check.hpp"
#include "reference.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Still exported (for _multiprocessing); its declaration is internal since 3.13.
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

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
    Index span = 0;            // window rows: row t's window is [max(0, t - span + 1), t]; 0: empty
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
        // t - w + 1 clamped to [0, t + 1] (t + 1: an empty window), without overflow
        for (Index t = 0; t < T; ++t)
            rows.start[static_cast<size_t>(t)] = overflow > 0             ? 0
                                                 : overflow < 0 || w <= 0 ? t + 1
                                                                          : std::max<Index>(0, t - w + 1);
        rows.count = T;
        rows.span = overflow > 0 ? T : overflow < 0 || w <= 0 ? 0 : static_cast<Index>(std::min<long long>(w, T));
        return true;
    }
    if (PyFloat_CheckExact(W)) {
        const double w = PyFloat_AS_DOUBLE(W);
        Index t = 0;
        // A positive float bound is refused by the slice; until then (for ever
        // with a NaN window) max() keeps the int 0.
        for (; t < T && !((static_cast<double>(t) - w) + 1.0 > 0); ++t) rows.start[static_cast<size_t>(t)] = 0;
        rows.count = t;
        rows.span = T;
        rows.fails_after = t < T;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- per call

// One reading of an array's metadata, taken with the lock held: where its
// elements are, how they are laid out and of which dtype, with references to
// the array (which keeps its buffer, or the buffer's owner as its base, alive)
// and to the dtype (so that another dtype object can never take its address).
// The native pass reads the input only through its view, never the array's
// own fields, which other threads may reassign whenever the lock is released,
// freeing the old shape and strides.
//
// Reassigning keeps the buffer: NumPy refuses a shape that would need a copy
// and strides that leave the buffer's memory, and allows a dtype of another
// itemsize only over a contiguous last axis, whose length it rescales so that
// the bytes stay the same. A view therefore stays inside the buffer for as long
// as it holds the array, whatever the array's metadata says meanwhile. (A resize
// with refcheck=False frees the buffer under NumPy's own loops as well, and is
// not guarded against.) Python code that runs during a call (NumPy's own
// Python-level functions, warnings, signal handlers, profile hooks, other
// threads) may change the metadata: where the lock is taken back, holds()
// tells, and the pass then stops reading the array.
struct ArrayView {
    Ref array, descr;
    char* ptr = nullptr;
    npy_intp dims[2] = {-1, -1}, strides[2] = {0, 0};
    int ndim = 0, flags = 0;

    explicit ArrayView(PyArrayObject* a)
        : array(Ref::borrow(reinterpret_cast<PyObject*>(a))),
          descr(Ref::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))), ptr(static_cast<char*>(PyArray_DATA(a))),
          ndim(PyArray_NDIM(a)), flags(watched_flags(a)) {
        for (int i = 0; i < 2 && i < ndim; ++i) {
            dims[i] = PyArray_DIM(a, i);
            strides[i] = PyArray_STRIDE(a, i);
        }
    }
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;

    PyArrayObject* object() const { return reinterpret_cast<PyArrayObject*>(array.get()); }
    // Immutable while the view holds it: read without the lock.
    const PyArray_Descr* dtype() const { return reinterpret_cast<const PyArray_Descr*>(descr.get()); }
    bool has(int flag) const { return (flags & flag) != 0; }

    // Whether the array still reads as this view (needs the lock).
    bool holds() const {
        PyArrayObject* a = object();
        if (PyArray_DATA(a) != ptr || reinterpret_cast<PyObject*>(PyArray_DESCR(a)) != descr.get() ||
            PyArray_NDIM(a) != ndim || watched_flags(a) != flags)
            return false;
        for (int i = 0; i < 2 && i < ndim; ++i)
            if (PyArray_DIM(a, i) != dims[i] || PyArray_STRIDE(a, i) != strides[i]) return false;
        return true;
    }

private:
    static int watched_flags(PyArrayObject* a) {
        return PyArray_FLAGS(a) & (NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE | NPY_ARRAY_C_CONTIGUOUS);
    }
};

using Clock = std::chrono::steady_clock;
// How often a pass without the lock looks for pending signals (SIGINT). Each
// look takes the lock back, which beside a thread running Python code means
// waiting up to a switch interval (5 ms): a look costs at most 5% of the pass.
constexpr Clock::duration kSignalPoll = std::chrono::milliseconds(100);

// Whether the calling thread runs the signal handlers: the main thread of the
// main interpreter (needs the lock). Elsewhere PyErr_CheckSignals runs no
// handler, so a pass there never takes the lock back to look.
inline bool handles_signals() { return _PyOS_IsMainThread() != 0; }

struct Driver {
    Call& c;
    const ArrayView& in;    // the input as the checks found it; the kernels read nothing else of it
    const ArrayView& outv;  // and the output
    double* out;
    Index T, N, out_row;
    const Rows& rows;
    std::vector<std::pair<Index, Index>> special;  // cells for the general path
    int raising = -1;                              // watched flags NumPy does not ignore
    bool f32_quotient = true;                      // np.float32 / int stays float32
    double nan = 0.0;                              // what `out[t, n] = math.nan` stores
    NumpyLog log{};                                // np.log's own loop, when proven
    PyObject* np_log = nullptr;                    // the module's original np.log (borrowed)
    PyObject* np_sum = nullptr;                    // and np.sum

    // ---- the pass runs without the interpreter lock, taking it back for Python code
    PyThreadState* unlocked = nullptr;  // saved while the lock is released
    bool signals = false;               // this thread runs the signal handlers: poll() looks for them
    Clock::time_point next_poll{};
    // Where the pass is: rows from `at_t0` on of columns [at_c0, at_c1), and every
    // later column, are still to do (as are the cells in `special`).
    Index at_c0 = 0, at_c1 = 0, at_t0 = 0;
    bool stopped = false;  // an array changed under Python code: the rest is the general path's

    // The pass releases the lock once, and takes it back at its end, for Python
    // code (rare: flags NumPy acts on, windows NumPy sums, an unproven log) and,
    // on the thread that runs them, for the signal handlers.
    void release() {
        signals = handles_signals();
        next_poll = Clock::now() + kSignalPoll;
        unlocked = PyEval_SaveThread();
    }
    void acquire() {
        if (unlocked) PyEval_RestoreThread(std::exchange(unlocked, nullptr));
    }

    // Runs f with the lock held (f may run Python code, and throw with the lock
    // held), then checks that both arrays are as the pass found them: other
    // threads ran while the lock was free, and f's Python code ran.
    template <class F>
    void python(F&& f) {
        const bool was_unlocked = unlocked != nullptr;
        acquire();
        f();
        if (!in.holds() || !outv.holds()) stopped = true;
        if (was_unlocked) unlocked = PyEval_SaveThread();
    }

    // Now and then, the signal handlers (KeyboardInterrupt on SIGINT). False
    // when the pass must stop.
    bool poll() {
        if (stopped) return false;
        if (!signals || Clock::now() < next_poll) return true;
        const fexcept_t held = save_flags();
        python([] {
            if (PyErr_CheckSignals() < 0) pyapi::raise();
        });
        restore_flags(held);
        next_poll = Clock::now() + kSignalPoll;
        return !stopped;
    }
    // The pass is about to compute rows [t0, ...) of columns [c0, c1).
    bool at(Index c0, Index c1, Index t0) {
        if (stopped) return false;
        at_c0 = c0;
        at_c1 = c1;
        at_t0 = t0;
        return poll();
    }

    // Flags whose error mode is not "ignore" in NumPy's current error state
    // (asked once per call, with the lock).
    int non_ignored_flags();
};

// ---------------------------------------------------------------- tiles
//
// The cell loop runs in row tiles across blocks of columns, so that what a
// tile touches stays in the core's caches: output rows [t0, t1) of a block
// need input rows [lo, t1), read once per tile (the window's overlap rows are
// read again by the next tile) and written into a block buffer of B lanes per
// row; each output row segment is written once.

// Output rows per tile: at least the window, so that re-read overlap rows cost
// at most as much as the tile's own rows.
inline Index tile_rows(Index span) { return std::max<Index>(kTileRows, span); }

// Reads the input rows of a tile, a row at a time, handing each block of B
// columns to the caller. Rows are contiguous in C order; when the array runs
// denser down its columns than along its rows (Fortran order, transposed
// views), each tile is first copied into a row-major buffer, a column at a
// time along the column's own direction, so that the tile's rows are read from
// contiguous memory and the input from near-contiguous memory.
template <class E>
class Input {
public:
    // columns [c0, c0 + N) of the array as its view saw it
    Input(const ArrayView& a, Index c0, Index N)
        : data_(a.ptr + c0 * a.strides[1]), s0_(a.strides[0]), s1_(a.strides[1]), N_(N),
          staged_(N > 1 && std::abs(s0_) < std::abs(s1_)) {
        base_ = data_, row_step_ = s0_, col_step_ = s1_;
    }

    // Makes rows [lo, hi) readable (once per tile, before its rows are read).
    void load(Index lo, Index hi) {
        PYAPI_ASSERT(0 <= lo && lo < hi);
        if (!staged_) return;
        const Index M = hi - lo;
        stage_.resize(static_cast<size_t>(M * N_));
        for (Index n0 = 0; n0 < N_; n0 += kStageColumns) {  // each row of a pass writes a cache line
            const Index k = std::min(kStageColumns, N_ - n0);
            const char* src = data_ + lo * s0_ + n0 * s1_;
            E* dst = stage_.data() + n0;
            for (Index t = 0; t < M; ++t, src += s0_, dst += N_)
                for (Index j = 0; j < k; ++j) std::memcpy(dst + j, src + j * s1_, sizeof(E));
        }
        base_ = reinterpret_cast<const char*>(stage_.data());
        origin_ = lo;
        row_step_ = static_cast<npy_intp>(N_ * sizeof(E));
        col_step_ = sizeof(E);
    }

    // Whether row t's columns lie next to each other.
    LOGARITHMIC_INLINE bool contiguous() const { return col_step_ == static_cast<npy_intp>(sizeof(E)); }
    // Where row t's column n0 lies.
    LOGARITHMIC_INLINE const char* at(Index t, Index n0) const {
        // A staged tile is read only over the rows load() copied.
        PYAPI_ASSERT(0 <= n0 && n0 < N_);
        PYAPI_ASSERT(!staged_ || (base_ == reinterpret_cast<const char*>(stage_.data()) && origin_ <= t &&
                                  static_cast<size_t>((t - origin_ + 1) * N_) <= stage_.size()));
        return base_ + (t - origin_) * row_step_ + n0 * col_step_;
    }

    // f(j, value) for each column j < k of row t from column n0 on, with a
    // constant stride when the row is contiguous so that the compiler can
    // vectorise.
    template <class F>
    LOGARITHMIC_INLINE void row(Index t, Index n0, Index k, F&& f) const {
        PYAPI_ASSERT(1 <= k && n0 + k <= N_);
        const char* p = at(t, n0);
        if (contiguous()) {
            const E* q = reinterpret_cast<const E*>(p);
            for (Index j = 0; j < k; ++j) f(j, q[j]);
        } else {
            for (Index j = 0; j < k; ++j) {
                E v;
                std::memcpy(&v, p + j * col_step_, sizeof v);
                f(j, v);
            }
        }
    }

private:
    const char* data_;
    npy_intp s0_, s1_;
    Index N_;
    bool staged_;
    std::vector<E> stage_;  // rows [origin_, origin_ + M) of a staged tile, row-major
    const char* base_;
    Index origin_ = 0;
    npy_intp row_step_, col_step_;
};

// Bit-level tests of a float (no comparison, so no flag and no branch).
template <class E>
struct FloatBits {
    using U = std::conditional_t<sizeof(E) == 8, std::uint64_t, std::uint32_t>;
    static constexpr U kSign = U(1) << (8 * sizeof(E) - 1);
    static constexpr U kInf = std::bit_cast<U>(std::numeric_limits<E>::infinity());
    static constexpr U kOne = std::bit_cast<U>(E(1));
};

}  // namespace
}  // namespace logarithmic
