// The geometric mean over row tiles and column blocks.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "exp_batch.hpp"
#include "native_common.hpp"
#include "window_sums.hpp"

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

// Logarithms by NumPy's `log`, so that each equals what np.log gives inside the
// per-cell evaluation: `logs[i] = log(mags[i])`. Its own inner loop without the
// lock when proven (numpy_log.hpp), else the ufunc itself.
template <class L>
void numpy_logs(Driver& d, const L* mags, L* logs, Index len) {
    if (len == 0) return;
    npy_intp n = static_cast<npy_intp>(len);
    if (d.log) return d.log.run(mags, logs, n, sizeof(L));
    d.python([&] {
        constexpr int type = std::is_same_v<L, double> ? NPY_DOUBLE : NPY_FLOAT;
        Ref src = check(PyArray_SimpleNewFromData(1, &n, type, const_cast<L*>(mags)));
        Ref dst = check(PyArray_SimpleNewFromData(1, &n, type, logs));
        Ref r = check(PyObject_CallFunctionObjArgs(d.c.st.originals.np.log.get(), src.get(), dst.get(), nullptr));
        if (r.get() != dst.get()) pyapi::raise(PyExc_SystemError, "unexpected result of numpy.log");
    });
}

// np.sum of a long run of values, by NumPy itself (its chunking of long
// reductions depends on the installed version).
template <class L>
L numpy_long_sum(Driver& d, const L* a, Index len) {
    const fexcept_t held = save_flags();
    npy_intp n = static_cast<npy_intp>(len);
    constexpr int type = std::is_same_v<L, double> ? NPY_DOUBLE : NPY_FLOAT;
    Ref arr = check(PyArray_SimpleNew(1, &n, type));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), a, sizeof(L) * static_cast<size_t>(len));
    Ref s = check(PyObject_CallOneArg(d.c.st.originals.np.sum.get(), arr.get()));
    L total;
    if constexpr (std::is_same_v<L, double>) total = PyArrayScalar_VAL(s.get(), Double);
    else total = PyArrayScalar_VAL(s.get(), Float);
    restore_flags(held);
    return total;
}

// Columns of a geometric-mean tile block.
constexpr Index kGeoLanes = 16;

// Value classes of an input value, for the gates of the geometric mean.
enum : unsigned char { kFinite = 1, kZero = 2, kNegative = 4, kBad = 8, kCurrent = 16 };

// The classes of v and the magnitude whose logarithm the value step takes
// (1, whose logarithm is 0, for values that never reach it). Branch-free, so
// that a row converts with SIMD.
template <class E, class L>
LOGARITHMIC_INLINE unsigned char classify(E v, L& mag) {
    if constexpr (std::is_floating_point_v<E>) {
        using FB = FloatBits<E>;
        const auto bits = std::bit_cast<typename FB::U>(v);
        const auto m = bits & ~FB::kSign;
        const bool fin = m < FB::kInf, zero = m == 0, neg = (bits & FB::kSign) != 0;
        mag = static_cast<L>(std::bit_cast<E>((fin & !zero) ? m : FB::kOne));
        return static_cast<unsigned char>(fin | (fin & zero) << 1 | (fin & !zero & neg) << 2 |
                                          (fin & !zero & !neg) << 4);
    } else {
        const bool zero = v == 0, neg = v < 0;
        bool bad = false;
        if constexpr (std::is_signed_v<E>) {
            bad = v == std::numeric_limits<E>::min();  // np.abs wraps: the general path decides
            const E a = bad || zero ? E(1) : neg ? static_cast<E>(-v) : v;
            mag = static_cast<L>(a);
        } else {
            mag = zero ? L(1) : static_cast<L>(v);
        }
        return static_cast<unsigned char>(kFinite | zero << 1 | neg << 2 | bad << 3 | (!zero & !neg) << 4);
    }
}

// What a tile cell of the geometric mean holds after its lane pass.
enum : unsigned char { kNanCell = 0, kZeroCell, kSpecialCell, kPositiveCell, kNegativeCell, kLongCell, kLongNegativeCell };

// A cell whose window holds more finite values than kNativeSumLimit: summed by NumPy.
struct LongCell {
    Index t, n, off, nobs;
    bool negative;
};

// classify() for 16 contiguous doubles, four lanes per vector operation.
LOGARITHMIC_INLINE void classify_block16(const double* x, double* mag, unsigned char* cls) {
    typedef std::uint64_t U4 LOGARITHMIC_VECTOR(32);
    typedef std::int64_t I4 LOGARITHMIC_VECTOR(32);
    typedef unsigned char C4 LOGARITHMIC_VECTOR(4);
    using FB = FloatBits<double>;
    for (int v = 0; v < 16; v += 4) {
        U4 bits;
        std::memcpy(&bits, x + v, sizeof bits);
        const U4 m = bits & ~FB::kSign;
        // comparison results are 0 or all ones; the magnitudes are below 2^63
        const U4 fin = reinterpret_cast<U4>(reinterpret_cast<I4>(m) < static_cast<std::int64_t>(FB::kInf));
        const U4 zero = reinterpret_cast<U4>(m == 0);
        const U4 neg = reinterpret_cast<U4>(reinterpret_cast<I4>(bits) < 0);
        const U4 value = fin & ~zero;
        const U4 mg = (m & value) | (FB::kOne & ~value);
        std::memcpy(mag + v, &mg, sizeof mg);
        const U4 cl = (fin & std::uint64_t(kFinite)) | (fin & zero & std::uint64_t(kZero)) |
                      (value & neg & std::uint64_t(kNegative)) | (value & ~neg & std::uint64_t(kCurrent));
        const C4 c = __builtin_convertvector(cl, C4);
        std::memcpy(cls + v, &c, sizeof c);
    }
}

// Converts input row t into the block rows of a geometric-mean tile: value
// classes and the magnitudes whose logarithms are taken.
template <class E, class L>
LOGARITHMIC_INLINE void geo_row(const Input<E>& in, Index t, Index N, L* mags, unsigned char* cls,
                                Index block_stride) {
    constexpr Index B = kGeoLanes;
    for (Index n0 = 0, b = 0; n0 < N; n0 += B, ++b) {
        const Index k = std::min(B, N - n0);
        L* m = mags + b * block_stride;
        unsigned char* c = cls + b * block_stride;
        if constexpr (std::is_same_v<E, double> && std::is_same_v<L, double>) {
            if (k == B && in.contiguous()) {
                classify_block16(reinterpret_cast<const double*>(in.at(t, n0)), m, c);
                continue;
            }
        }
        in.row(t, n0, k, [&](Index j, E v) { c[j] = classify<E, L>(v, m[j]); });
        for (Index j = k; j < B; ++j) {
            m[j] = L(1);
            c[j] = 0;
        }
    }
}

// The window counts of a lane pass in full words: finite values, zeros,
// negatives and bad magnitudes (windows longer than 65535 rows; shorter ones
// are counted in 16-bit lanes, geo_block_counts).
struct WindowCounts {
    Index f = 0, z = 0, ng = 0, bd = 0;
    LOGARITHMIC_INLINE void enter(unsigned char cl) {
        f += cl & kFinite;
        z += (cl >> 1) & 1;
        ng += (cl >> 2) & 1;
        bd += (cl >> 3) & 1;
    }
    LOGARITHMIC_INLINE void leave(unsigned char cl) {
        f -= cl & kFinite;
        z -= (cl >> 1) & 1;
        ng -= (cl >> 2) & 1;
        bd -= (cl >> 3) & 1;
    }
    LOGARITHMIC_INLINE Index finite() const { return f; }
    LOGARITHMIC_INLINE bool zeros() const { return z > 0; }
    LOGARITHMIC_INLINE bool odd_negatives() const { return ng & 1; }
    LOGARITHMIC_INLINE bool bad() const { return bd > 0; }
};

// One column of a tile in one pass over its M rows (stride kGeoLanes in `c`
// and `lg`): the finite values' logarithms compacted into `cp`, the counts of
// the window ending at each row kept rolling (rows enter at the bottom and
// leave `span` rows later), and for each output row (from `first` on) the
// cell's kind and mean, `stride` apart.
template <class L>
LOGARITHMIC_INLINE void geo_lane(const unsigned char* c, const L* lg, Index M, Index span, Index first, L* cp,
                                 double* mean, unsigned char* kind, Index stride, bool f32_quotient,
                                 std::vector<LongCell>& longs, Index t0, Index n, Index cp_off, SumCell* cells) {
    constexpr Index B = kGeoLanes;
    Index count = 0, kk = 0;
    WindowCounts w;
    // first = min(t0, span - 1): no row leaves before the first output row
    for (Index r = 0; r < first; ++r) {
        const unsigned char cl = c[r * B];
        cp[kk] = lg[r * B];
        kk += cl & kFinite;
        w.enter(cl);
    }
    for (Index r = first; r < M; ++r) {
        const unsigned char cl = c[r * B];
        cp[kk] = lg[r * B];
        kk += cl & kFinite;
        w.enter(cl);
        if (r >= span) w.leave(c[(r - span) * B]);
        const Index i = (r - first) * stride;
        // the current-value gate (a non-empty window holds row t)
        unsigned char k = kNanCell;
        if (cl & kCurrent) {
            if (w.zeros()) {
                k = kZeroCell;
            } else if (w.bad()) {
                k = kSpecialCell;
            } else {
                const Index nobs = w.finite(), a = kk - nobs;
                const bool negative = w.odd_negatives();
                if (nobs > kNativeSumLimit) {
                    k = negative ? kLongNegativeCell : kLongCell;
                    longs.push_back({t0 + r - first, n, cp_off + a, nobs, negative});
                } else {
                    k = negative ? kNegativeCell : kPositiveCell;
                    cells[count++] = {i, a, nobs};
                }
            }
        }
        kind[i] = k;
    }
    // The sums apart from the pass, so that independent cells overlap.
    window_means(cp, cells, count, mean, f32_quotient);
}

// The first half of a lane pass for the 16 lanes of a block at once, when no
// window is longer than 65535 rows: the window counts kept rolling in 16-bit
// lanes, and for each output row (from `first` on) the cells' kinds (`stride`
// apart) and finite counts (`nobs`, 16 per row).
LOGARITHMIC_INLINE void geo_block_counts(const unsigned char* c, Index M, Index span, Index first,
                                         unsigned char* kind, Index stride, Index k, std::uint16_t* nobs) {
    constexpr Index B = kGeoLanes;
    typedef unsigned char C16 LOGARITHMIC_VECTOR(16);
    typedef std::uint16_t H16 LOGARITHMIC_VECTOR(32);
    constexpr unsigned char nan_cell = kNanCell, zero_cell = kZeroCell, special_cell = kSpecialCell,
                            positive_cell = kPositiveCell, long_cell = kLongCell;
    H16 fin = {}, zer = {}, bad = {};
    C16 neg = {};
    for (Index r = 0; r < M; ++r) {
        C16 cl;
        std::memcpy(&cl, c + r * B, sizeof cl);
        fin += __builtin_convertvector(cl & 1, H16);
        zer += __builtin_convertvector((cl >> 1) & 1, H16);
        bad += __builtin_convertvector((cl >> 3) & 1, H16);
        neg ^= (cl >> 2) & 1;
        if (r >= span) {
            C16 gone;
            std::memcpy(&gone, c + (r - span) * B, sizeof gone);
            fin -= __builtin_convertvector(gone & 1, H16);
            zer -= __builtin_convertvector((gone >> 1) & 1, H16);
            bad -= __builtin_convertvector((gone >> 3) & 1, H16);
            neg ^= (gone >> 2) & 1;
        }
        if (r < first) continue;
        // NaN unless the current value passes; then zero, bad, long, sign
        const C16 is_zero = __builtin_convertvector(zer != 0, C16);
        const C16 is_bad = __builtin_convertvector(bad != 0, C16);
        const C16 is_long = __builtin_convertvector(fin > static_cast<std::uint16_t>(kNativeSumLimit), C16);
        const C16 is_cur = reinterpret_cast<C16>((cl & static_cast<unsigned char>(kCurrent)) != 0);
        C16 kd = positive_cell + neg;
        kd = (is_long & static_cast<C16>(long_cell + neg)) | (~is_long & kd);
        kd = (is_bad & special_cell) | (~is_bad & kd);
        kd = (is_zero & zero_cell) | (~is_zero & kd);
        kd = (is_cur & kd) | (~is_cur & nan_cell);
        unsigned char* ko = kind + (r - first) * stride;
        if (k == B) std::memcpy(ko, &kd, sizeof kd);
        else
            for (Index j = 0; j < k; ++j) ko[j] = kd[j];
        std::memcpy(nobs + (r - first) * B, &fin, sizeof fin);
    }
}

// The second half of a lane pass, for one lane: the finite values'
// logarithms compacted into `cp`, and the sums of the value cells' windows.
template <class L>
LOGARITHMIC_INLINE void geo_lane_sums(const unsigned char* c, const L* lg, Index M, Index first, L* cp,
                                      double* mean, const unsigned char* kind, Index stride,
                                      const std::uint16_t* nobs, bool f32_quotient, std::vector<LongCell>& longs,
                                      Index t0, Index n, Index cp_off, SumCell* cells) {
    constexpr Index B = kGeoLanes;
    Index count = 0, kk = 0;
    for (Index r = 0; r < first; ++r) {
        cp[kk] = lg[r * B];
        kk += c[r * B] & kFinite;
    }
    for (Index r = first; r < M; ++r) {
        cp[kk] = lg[r * B];
        kk += c[r * B] & kFinite;
        const Index i = (r - first) * stride;
        const unsigned char k = kind[i];
        if (k == kPositiveCell || k == kNegativeCell) {
            const Index nb = nobs[(r - first) * B];
            cells[count++] = {i, kk - nb, nb};
        } else if (k >= kLongCell) {
            const Index nb = nobs[(r - first) * B];
            longs.push_back({t0 + r - first, n, cp_off + kk - nb, nb, k == kLongNegativeCell});
        }
    }
    // The sums apart from the pass, so that independent cells overlap.
    window_means(cp, cells, count, mean, f32_quotient);
}

// Windows of at most 7 rows hold fewer than 8 finite values, which NumPy sums
// in order from zero; a non-finite value's placeholder logarithm log(1) = +0.0
// leaves such a running sum unchanged (no logarithm is -0.0, so no running sum
// is either), so the sum runs over the raw window, across the lanes of a block
// at once.
constexpr Index kShortSpan = 7;

// Sums and quotients run on explicit vectors of four lanes, every lane a cell
// of the block (lanes past the last column hold 0 / 1), so that a flag raised
// here belongs to a cell: left to the compiler, the per-lane float quotient
// may be vectorised into registers half full of unused lanes that divide
// whatever they hold, raising flags for no cell.
template <class L>
LOGARITHMIC_INLINE void geo_short_block(const unsigned char* c, const L* lg, Index M, Index span, Index first,
                                        double* mean, unsigned char* kind, Index stride, Index k,
                                        bool f32_quotient) {
    constexpr Index B = kGeoLanes;
    typedef unsigned char C16 LOGARITHMIC_VECTOR(16);
    typedef int I4 LOGARITHMIC_VECTOR(16);
    typedef L L4 LOGARITHMIC_VECTOR(4 * sizeof(L));
    typedef double D4 LOGARITHMIC_VECTOR(32);
    // the enumerators as plain bytes, for vector arithmetic
    constexpr unsigned char fin_bit = kFinite, zero_bit = kZero, bad_bit = kBad, cur_bit = kCurrent;
    constexpr unsigned char nan_cell = kNanCell, zero_cell = kZeroCell, special_cell = kSpecialCell,
                            positive_cell = kPositiveCell;
    auto load4 = [](const L* p) LOGARITHMIC_INLINE_LAMBDA {
        L4 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    for (Index r = first; r < M; ++r) {
        const Index s = std::max<Index>(0, r - span + 1);
        L4 tot[4] = {};
        C16 fin = {}, zer = {}, neg = {}, bad = {};
        for (Index q = s; q <= r; ++q) {
            for (int v = 0; v < 4; ++v) tot[v] = tot[v] + load4(lg + q * B + 4 * v);
            C16 cl;
            std::memcpy(&cl, c + q * B, sizeof cl);
            fin += cl & fin_bit;
            zer |= cl & zero_bit;
            neg += (cl >> 2) & 1;
            bad |= cl & bad_bit;
        }
        // lanes without values divide by 1: no flag
        fin += (fin == 0) & 1;
        const I4 n[4] = {__builtin_convertvector(__builtin_shufflevector(fin, fin, 0, 1, 2, 3), I4),
                         __builtin_convertvector(__builtin_shufflevector(fin, fin, 4, 5, 6, 7), I4),
                         __builtin_convertvector(__builtin_shufflevector(fin, fin, 8, 9, 10, 11), I4),
                         __builtin_convertvector(__builtin_shufflevector(fin, fin, 12, 13, 14, 15), I4)};
        double m[B];
        for (int v = 0; v < 4; ++v) {
            const L4 t = L4{} + tot[v];  // np.sum adds the sum to its identity
            D4 q;  // geo_quotient, four lanes at once
            if (std::is_same_v<L, float> && f32_quotient)
                q = __builtin_convertvector(t / __builtin_convertvector(n[v], L4), D4);
            else
                q = __builtin_convertvector(t, D4) / __builtin_convertvector(n[v], D4);
            std::memcpy(m + 4 * v, &q, sizeof q);
        }
        C16 cur;
        std::memcpy(&cur, c + r * B, sizeof cur);
        // kinds: NaN unless the current value passes; then zero, bad, sign
        const C16 is_bad = reinterpret_cast<C16>(bad != 0), is_zero = reinterpret_cast<C16>(zer != 0);
        const C16 is_cur = reinterpret_cast<C16>((cur & cur_bit) != 0);
        C16 kd = positive_cell + (neg & 1);
        kd = (is_bad & special_cell) | (~is_bad & kd);
        kd = (is_zero & zero_cell) | (~is_zero & kd);
        kd = (is_cur & kd) | (~is_cur & nan_cell);
        double* mo = mean + (r - first) * stride;
        unsigned char* ko = kind + (r - first) * stride;
        if (k == B) {
            std::memcpy(mo, m, sizeof m);
            std::memcpy(ko, &kd, sizeof kd);
        } else {
            for (Index j = 0; j < k; ++j) {
                mo[j] = m[j];
                ko[j] = kd[j];
            }
        }
    }
}

// Columns [c0, c0 + N) of the geometric mean.
template <class E, class L>
LOGARITHMIC_INLINE void geo_tiles_body(Driver& d, Index c0, Index N) {
    constexpr Index B = kGeoLanes;
    const Index T = d.rows.count, span = d.rows.span;
    Input<E> in(d.data, c0, N);
    const Index R = std::min(T, tile_rows(span));
    const Index Mmax = std::min(T, R + span - 1);
    const Index blocks = (N + B - 1) / B;
    std::vector<L> mags(static_cast<size_t>(blocks * Mmax * B)), logs(mags.size());  // [block][row][lane]
    std::vector<unsigned char> cls(mags.size());
    std::vector<L> comp(static_cast<size_t>(N * Mmax));     // [column][compacted]
    std::vector<double> mean(static_cast<size_t>(R * N));   // [row][column]
    std::vector<unsigned char> kind(mean.size());           // [row][column]
    std::vector<LongCell> longs;
    std::vector<SumCell> cells(static_cast<size_t>(R));
    std::vector<std::uint16_t> nobs(static_cast<size_t>(R * B));
    std::vector<double> expm(static_cast<size_t>(N));  // one row's exponentials
    for (Index t0 = 0; t0 < T; t0 += R) {
        if (!d.at(c0, c0 + N, t0)) return;
        const Index t1 = std::min(T, t0 + R), lo = window_first(t0, span), M = t1 - lo;
        in.load(lo, t1);
        for (Index t = lo; t < t1; ++t)
            geo_row<E, L>(in, t, N, mags.data() + (t - lo) * B, cls.data() + (t - lo) * B, M * B);
        numpy_logs(d, mags.data(), logs.data(), blocks * M * B);
        if (d.stopped) return;
        longs.clear();
        std::feclearexcept(FE_ALL_EXCEPT);
        if (span <= kShortSpan) {
            for (Index b = 0; b < blocks; ++b) {
                const Index at = b * M * B, n0 = b * B;
                geo_short_block(cls.data() + at, logs.data() + at, M, span, t0 - lo, mean.data() + n0,
                                kind.data() + n0, N, std::min(B, N - n0), d.f32_quotient);
            }
        } else if (span <= 0xFFFF) {
            for (Index b = 0; b < blocks; ++b) {
                const Index at = b * M * B, n0 = b * B, k = std::min(B, N - n0);
                geo_block_counts(cls.data() + at, M, span, t0 - lo, kind.data() + n0, N, k, nobs.data());
                for (Index j = 0; j < k; ++j)
                    if (d.poll()) geo_lane_sums(cls.data() + at + j, logs.data() + at + j, M, t0 - lo, comp.data() + (n0 + j) * M,
                                  mean.data() + n0 + j, kind.data() + n0 + j, N, nobs.data() + j, d.f32_quotient,
                                  longs, t0, n0 + j, (n0 + j) * M, cells.data());
                if (d.stopped) return;
            }
        } else {
            for (Index n = 0; n < N; ++n) {
                if (!d.poll()) return;
                const Index at = (n / B) * M * B + n % B;
                geo_lane<L>(cls.data() + at, logs.data() + at, M, span, t0 - lo, comp.data() + n * M,
                                   mean.data() + n, kind.data() + n, N, d.f32_quotient, longs, t0, n, n * M,
                                   cells.data());
            }
        }
        // Sums and quotients are watched for flags as one batch (sums of finite
        // logarithms raise none); the exponentials' flags do not count.
        const bool flagged = std::fetestexcept(kWatchedFlags) && d.non_ignored_flags();
        if (d.stopped) return;
        if (!longs.empty()) {
            d.python([&] {  // the tile's long sums under one taking of the lock
                for (const LongCell& lc : longs) {
                    const Index i = (lc.t - t0) * N + lc.n;
                    mean[i] = geo_quotient(numpy_long_sum(d, comp.data() + lc.off, lc.nobs), lc.nobs, d.f32_quotient);
                    kind[i] = lc.negative ? kNegativeCell : kPositiveCell;
                }
            });
            if (d.stopped) return;
        }
        for (Index t = t0; t < t1; ++t) {
            double* o = d.out + t * d.out_row + c0;
            const unsigned char* k = kind.data() + (t - t0) * N;
            const double* m = mean.data() + (t - t0) * N;
            if (!flagged) exp_batch(m, expm.data(), N);
            for (Index n = 0; n < N; ++n) {
                switch (k[n]) {
                    case kZeroCell:
                        o[n] = 0.0;
                        break;
                    case kSpecialCell:
                        d.special.push_back({t, c0 + n});
                        break;
                    case kPositiveCell:
                    case kNegativeCell: {
                        if (flagged) {  // not expected; let NumPy judge every value cell
                            d.special.push_back({t, c0 + n});
                            break;
                        }
                        const double e = expm[n];
                        if (std::isinf(e)) {  // math.exp raises OverflowError here
                            d.special.push_back({t, c0 + n});
                            break;
                        }
                        o[n] = k[n] == kNegativeCell ? -e : e;
                        break;
                    }
                    default:
                        break;
                }
            }
        }
    }
}

template <class E, class L>
void geo_tiles(Driver& d, Index c0, Index N) {
    on_best_target([&]() LOGARITHMIC_INLINE_LAMBDA { geo_tiles_body<E, L>(d, c0, N); });
}

}  // namespace
}  // namespace logarithmic
