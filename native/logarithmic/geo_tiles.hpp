// The geometric mean over row tiles and column blocks: value classes, NumPy's
// logarithms, the window passes (geo_windows.hpp), then the exponentials and
// the output.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "exp_batch.hpp"
#include "geo_table_means.hpp"
#include "geo_windows.hpp"

namespace logarithmic {
namespace {

template <class L>
constexpr int kNumpyType = std::is_same_v<L, double> ? NPY_DOUBLE : NPY_FLOAT;

// Logarithms by NumPy's `log`, so that each equals what np.log gives inside the
// per-cell evaluation: `logs[i] = log(mags[i])`. Its own inner loop without the
// lock when proven (numpy_log.hpp), else the ufunc itself.
template <class L>
void numpy_logs(Driver& d, const L* mags, L* logs, Index len) {
    if (len == 0) return;
    npy_intp n = static_cast<npy_intp>(len);
    if (d.log) return d.log.run(mags, logs, n, sizeof(L));
    PYAPI_ASSERT(d.np_log != nullptr);  // the module's original np.log, read before the pass
    d.python([&] {
        Ref src = check(PyArray_SimpleNewFromData(1, &n, kNumpyType<L>, const_cast<L*>(mags)));
        Ref dst = check(PyArray_SimpleNewFromData(1, &n, kNumpyType<L>, logs));
        Ref r = check(PyObject_CallFunctionObjArgs(d.np_log, src.get(), dst.get(), nullptr));
        if (r.get() != dst.get()) pyapi::raise(PyExc_SystemError, "unexpected result of numpy.log");
    });
}

// np.sum of a long run of values, by NumPy itself (its chunking of long
// reductions depends on the installed version). Needs the lock.
template <class L>
L numpy_long_sum(const Driver& d, const L* a, Index len) {
    PYAPI_ASSERT(d.np_sum != nullptr && len > kNativeSumLimit);
    const fexcept_t held = save_flags();
    npy_intp n = static_cast<npy_intp>(len);
    Ref arr = check(PyArray_SimpleNew(1, &n, kNumpyType<L>));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), a, sizeof(L) * static_cast<size_t>(len));
    Ref s = check(PyObject_CallOneArg(d.np_sum, arr.get()));
    L total;
    if constexpr (std::is_same_v<L, double>) total = PyArrayScalar_VAL(s.get(), Double);
    else total = PyArrayScalar_VAL(s.get(), Float);
    restore_flags(held);
    return total;
}

// Output row t of a tile's columns [c0, c0 + N): zeros, signed exponentials of
// the value cells' means (expm, unless flagged), and the cells left to the general path. `flagged`:
// the tile's sums or quotients raised a flag NumPy acts on, and every value
// cell is left to NumPy.
LOGARITHMIC_INLINE void geo_output_row(Driver& d, Index t, Index c0, Index N, const unsigned char* kind,
                                       const double* expm, bool flagged) {
    PYAPI_ASSERT(0 <= t && t < d.T && 0 <= c0 && c0 + N <= d.out_row);
    double* o = d.out + t * d.out_row + c0;
    Index from = 0;  // the cells the loop below goes through
    if (!flagged) {
        // A vector at a time: value cells take their signed exponential, zero
        // cells 0.0, the others the output's NaN; the loop below takes
        // the tail, and the whole row only if a cell is left to the general path.
        constexpr Index VL = kGeoVectorLanes;
        typedef std::int64_t Bits LOGARITHMIC_VECTOR(kVectorBytes);
        typedef unsigned char Kinds LOGARITHMIC_VECTOR(VL);
        constexpr std::int64_t kSign = std::int64_t(1) << 63, kInf = 0x7ff0000000000000;
        // the output's NaN, as np.full stored it (written again rather than read)
        const Bits nan = Bits{} + std::bit_cast<std::int64_t>(d.nan);
        Bits left = {};
        Index n = 0;
        for (; n + VL <= N; n += VL) {
            Kinds kb;
            std::memcpy(&kb, kind + n, sizeof kb);
            const Bits k = __builtin_convertvector(kb, Bits);
            Bits e;
            std::memcpy(&e, expm + n, sizeof e);
            const Bits value = (k == kPositiveCell) | (k == kNegativeCell), keep = ~value & (k != kZeroCell);
            const Bits out = (value & (e ^ ((k == kNegativeCell) & kSign))) | (keep & nan);
            std::memcpy(o + n, &out, sizeof out);
            left |= (k == kSpecialCell) | (value & ((e & ~kSign) == kInf));
        }
        bool any_left = false;
        for (Index j = 0; j < VL; ++j) any_left |= left[j] != 0;
        if (!any_left) from = n;
    }
    for (Index n = from; n < N; ++n) {
        const unsigned char k = kind[n];
        const bool value = k == kPositiveCell || k == kNegativeCell;
        // math.exp raises OverflowError where the exponential is infinite
        if (k == kSpecialCell || (value && (flagged || std::isinf(expm[n])))) d.special.push_back({t, c0 + n});
        else if (value) o[n] = k == kNegativeCell ? -expm[n] : expm[n];
        else if (k == kZeroCell) o[n] = 0.0;
    }
}

// Lanes of the geometric mean's vectors of sums, quotients and classes: the
// AVX-512 variant's are twice as wide.
template <bool Wide>
inline constexpr Index kSumLanes = Wide ? kWideGeoVectorLanes : kGeoVectorLanes;

// A block's windows longer than kShortSpan rows, counted in lanes of C.
template <class C, bool Wide, class L>
LOGARITHMIC_INLINE void window_block(Driver& d, GeoTile<L>& tile, Index b) {
    // A block of finite values only sums over its raw rows, every lane at once.
    if (tile.span <= kPairwiseBlock && block_finite(tile, b)) {
        block_window_counts<C, true, kSumLanes<Wide>>(tile, b, d.f32_quotient);
        return;
    }
    const ByteLanes left = block_window_counts<C, false>(tile, b, d.f32_quotient);
#if PYAPI_X86_VARIANTS
    if constexpr (Wide && std::is_same_v<L, double>)
        if (tile.span <= kPairwiseBlock) {
            if (d.poll()) table_window_means(tile, b);
            return;
        }
#endif
    for (Index j = 0; j < tile.lanes(b); ++j)
        if (left[j] && d.poll()) lane_window_means<C>(tile, b, j, d.f32_quotient);
}

// Columns [c0, c0 + N) of the geometric mean.
template <class E, class L, bool Wide>
LOGARITHMIC_INLINE void geo_tiles_body(Driver& d, Index c0, Index N) {
    const Index T = d.rows.count, span = d.rows.span;
    // Columns [c0, c0 + N) and rows [0, T) lie inside both arrays.
    PYAPI_ASSERT(0 <= c0 && 1 <= N && c0 + N <= d.N && 1 <= T && T <= d.T && 1 <= span && span <= d.T);
    Input<E> in(d.in, c0, N);
    const Index R = std::min(T, tile_rows(span));
    GeoTile<L> tile(N, span, R, std::min(T, R + span - 1));
    std::vector<double> expm(static_cast<size_t>(R * N));  // a tile's exponentials
    for (Index t0 = 0; t0 < T; t0 += R) {
        if (!d.at(c0, c0 + N, t0)) return;
        const Index t1 = std::min(T, t0 + R);
        tile.start(t0, t1);
        const Index M = tile.in_rows, lo = tile.lo;
        PYAPI_ASSERT(t1 <= T && static_cast<size_t>((t1 - t0) * N) <= expm.size());
        in.load(lo, t1);
        for (Index t = lo; t < t1; ++t)
            classify_row<E, L, kSumLanes<Wide>>(in, t, N, tile.mags.data() + (t - lo) * kGeoLanes,
                                                tile.classes.data() + (t - lo) * kGeoLanes, M * kGeoLanes);
        numpy_logs(d, tile.mags.data(), tile.logs.data(), tile.blocks * M * kGeoLanes);
        if (d.stopped) return;
        std::feclearexcept(FE_ALL_EXCEPT);
        for (Index b = 0; b < tile.blocks; ++b) {
            if (span <= kShortSpan) short_window_block<kSumLanes<Wide>>(tile, b, d.f32_quotient);
            else if (span <= kNarrowCountLimit) window_block<std::uint16_t, Wide>(d, tile, b);
            else window_block<std::uint32_t, Wide>(d, tile, b);
            if (d.stopped) return;
        }
        // Sums and quotients are watched for flags as one batch (sums of finite
        // logarithms raise none); the exponentials' flags do not count.
        const bool flagged = std::fetestexcept(kWatchedFlags) && d.non_ignored_flags();
        if (d.stopped) return;
        if (!tile.longs.empty()) {
            d.python([&] {  // the tile's long sums under one taking of the lock
                for (const LongCell& lc : tile.longs) {
                    const Index i = (lc.t - t0) * N + lc.n;
                    const L total = numpy_long_sum(d, tile.compacted.data() + lc.off, lc.nobs);
                    tile.mean[i] = geo_quotient(total, lc.nobs, d.f32_quotient);
                    tile.kind[i] = lc.negative ? kNegativeCell : kPositiveCell;
                }
            });
            if (d.stopped) return;
        }
        if (!flagged) exp_batch(tile.mean.data(), expm.data(), (t1 - t0) * N);
        for (Index t = t0; t < t1; ++t)
            geo_output_row(d, t, c0, N, tile.kind.data() + (t - t0) * N, expm.data() + (t - t0) * N, flagged);
    }
}

template <class E, class L>
void geo_tiles(Driver& d, Index c0, Index N) {
#if PYAPI_X86_VARIANTS
    auto wide = [&]() LOGARITHMIC_INLINE_LAMBDA { geo_tiles_body<E, L, true>(d, c0, N); };
    if (cpu_has_avx512dq()) return run_avx512dq(wide);
#endif
    on_best_target([&]() LOGARITHMIC_INLINE_LAMBDA { geo_tiles_body<E, L, false>(d, c0, N); });
}

}  // namespace
}  // namespace logarithmic
