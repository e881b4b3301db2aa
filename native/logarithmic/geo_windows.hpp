// The geometric mean's window passes over one block of a tile: per cell, its
// kind (the gates) and, for value cells, the mean of its window's logarithms.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "geo_classes.hpp"
#include "window_tables.hpp"

namespace logarithmic {
namespace {

// A cell whose window holds more finite values than kNativeSumLimit: summed by NumPy.
struct LongCell {
    Index t, n, off, nobs;  // output row and column; its run of compacted logarithms
    bool negative;
};

// The buffers of a geometric-mean tile: output rows [t0, t0 + rows) of a group
// of `columns` columns, from input rows [lo, lo + in_rows) (the window's
// overlap with the previous tile first), in blocks of kGeoLanes columns.
template <class L>
struct GeoTile {
    Index columns, blocks, span;
    Index t0 = 0, lo = 0, in_rows = 0, rows = 0;
    std::vector<L> mags, logs;           // [block][input row][lane]
    std::vector<unsigned char> classes;  // [block][input row][lane]
    std::vector<L> compacted;            // [column][input row]: a lane's finite logarithms
    std::vector<double> mean;            // [output row][column]
    std::vector<unsigned char> kind;     // [output row][column]
    std::vector<LongCell> longs;         // this tile's cells for NumPy's sum
    std::vector<SumCell> cells;          // one lane's value cells
    // [output row][lane] of one block: finite counts, in 16 bits while windows fit
    std::vector<std::uint16_t> narrow_nobs;
    std::vector<std::uint32_t> wide_nobs;
    BlockTables<L> tables;  // the table pass of a block (geo_table_means.hpp)
    Index max_in_rows;

    GeoTile(Index columns_, Index span_, Index max_rows, Index max_in_rows)
        : columns(columns_), blocks((columns_ + kGeoLanes - 1) / kGeoLanes), span(span_),
          mags(static_cast<size_t>(blocks * max_in_rows * kGeoLanes)), logs(mags.size()), classes(mags.size()),
          compacted(static_cast<size_t>(columns * max_in_rows)), mean(static_cast<size_t>(max_rows * columns)),
          kind(mean.size() + kGeoLanes), cells(static_cast<size_t>(max_rows)), max_in_rows(max_in_rows) {
        (span <= kNarrowCountLimit ? narrow_nobs.resize(static_cast<size_t>(max_rows * kGeoLanes))
                                   : wide_nobs.resize(static_cast<size_t>(max_rows * kGeoLanes)));
    }

    // Output rows [t0_, t1) from input rows [window_first(t0_), t1).
    void start(Index t0_, Index t1) {
        t0 = t0_, lo = window_first(t0, span), in_rows = t1 - lo, rows = t1 - t0;
        // The tile fits the buffers sized for the longest tile of the call.
        PYAPI_ASSERT(0 <= lo && lo <= t0 && t0 < t1 && in_rows <= max_in_rows);
        PYAPI_ASSERT(static_cast<size_t>(rows) <= cells.size() && static_cast<size_t>(rows * columns) <= mean.size());
        longs.clear();
    }
    Index first() const { return t0 - lo; }  // input row of the first output row
    Index block_at(Index b) const {
        PYAPI_ASSERT(0 <= b && b < blocks);
        return b * in_rows * kGeoLanes;
    }
    Index lanes(Index b) const {
        PYAPI_ASSERT(0 <= b && b < blocks);
        return std::min(kGeoLanes, columns - b * kGeoLanes);
    }
    // The finite counts in lanes of C: the width the constructor chose for this span.
    template <class C>
    C* nobs() {
        if constexpr (sizeof(C) == sizeof(std::uint16_t)) {
            PYAPI_ASSERT(span <= kNarrowCountLimit && !narrow_nobs.empty());
            return narrow_nobs.data();
        } else {
            PYAPI_ASSERT(span > kNarrowCountLimit && !wide_nobs.empty());
            return wide_nobs.data();
        }
    }
};

// Whether every value of a block's rows is finite.
template <class L>
LOGARITHMIC_INLINE bool block_finite(const GeoTile<L>& tile, Index b) {
    const unsigned char* cls = tile.classes.data() + tile.block_at(b);
    ByteLanes all = ~ByteLanes{};
    for (Index r = 0; r < tile.in_rows; ++r) {
        ByteLanes cl;
        std::memcpy(&cl, cls + r * kGeoLanes, sizeof cl);
        all &= cl;
    }
    const ByteLanes finite = all & kFinite;
    for (Index j = 0; j < tile.lanes(b); ++j)
        if (!finite[j]) return false;
    return true;
}

// The first k lanes of a block row (a whole row in one fixed-size copy).
template <class T>
LOGARITHMIC_INLINE void store_lanes(T* dst, const void* lanes, Index k) {
    if (k == kGeoLanes) std::memcpy(dst, lanes, sizeof(T) * kGeoLanes);
    else std::memcpy(dst, lanes, sizeof(T) * static_cast<size_t>(k));
}

// Windows of at most kShortSpan rows hold fewer finite values than NumPy has
// accumulators, so NumPy sums them in order from zero; a non-finite value's
// placeholder logarithm log(1) = +0.0 leaves such a running sum unchanged (no
// logarithm is -0.0, so no running sum is either), so the sum runs over the
// raw window, across the lanes of a block at once.
//
// Sums and quotients run on explicit vectors, every lane a cell of the block
// (lanes past the last column hold 0 / 1), so that a flag raised here belongs
// to a cell: left to the compiler, the per-lane float quotient may be
// vectorised into registers half full of unused lanes that divide whatever
// they hold, raising flags for no cell.
template <Index VL, class L>
LOGARITHMIC_INLINE void short_window_block(GeoTile<L>& tile, Index b, bool f32_quotient) {
    constexpr Index B = kGeoLanes, NV = B / VL;
    typedef unsigned char CountBytes LOGARITHMIC_VECTOR(VL);
    typedef L Sums LOGARITHMIC_VECTOR(VL * sizeof(L));
    const unsigned char* cls = tile.classes.data() + tile.block_at(b);
    const L* logs = tile.logs.data() + tile.block_at(b);
    const Index k = tile.lanes(b), first = tile.first(), rows = tile.in_rows, span = tile.span;
    const Index columns = tile.columns;
    double* mean = tile.mean.data() + b * B;
    unsigned char* kind = tile.kind.data() + b * B;
    for (Index r = first; r < rows; ++r) {
        Sums total[NV] = {};
        ByteLanes fin = {}, zeros = {}, neg = {}, bad = {};
        for (Index q = window_first(r, span); q <= r; ++q) {
            for (Index v = 0; v < NV; ++v) {
                Sums x;
                std::memcpy(&x, logs + q * B + v * VL, sizeof x);
                total[v] = total[v] + x;
            }
            ByteLanes cl;
            std::memcpy(&cl, cls + q * B, sizeof cl);
            fin += cl & kFinite;
            zeros |= cl & kZero;
            neg += (cl >> 2) & 1;
            bad |= cl & kBadMagnitude;
        }
        fin += (fin == 0) & 1;  // lanes without values divide by 1: no flag
        double m[B];
        for (Index v = 0; v < NV; ++v) {
            CountBytes nb;
            std::memcpy(&nb, reinterpret_cast<const unsigned char*>(&fin) + v * VL, sizeof nb);
            const Sums t = Sums{} + total[v];  // np.sum adds the sum to its identity
            quotient_lanes(t, nb, f32_quotient, m + v * VL);
        }
        ByteLanes cur;
        std::memcpy(&cur, cls + r * B, sizeof cur);
        const ByteLanes kd = cell_kinds(reinterpret_cast<ByteLanes>((cur & kCurrent) != 0),
                                        reinterpret_cast<ByteLanes>(zeros != 0), reinterpret_cast<ByteLanes>(bad != 0),
                                        ByteLanes{}, neg & 1);
        store_lanes(mean + (r - first) * columns, m, k);
        store_lanes(kind + (r - first) * columns, &kd, k);
    }
}

// The means of the windows of block rows [0, len) from `rows` on, every lane
// at once: NumPy's sum of the raw rows, divided by the lane's count of finite
// values (1 where none), on explicit vectors as in short_window_block. A
// lane's sum is exact when its window holds only finite values (it is then
// its own compacted run) or has fewer rows than NumPy's accumulators
// (summed in order: see short_window_block). Windows longer than one
// pairwise block go lane by lane.
template <Index VL, class C, class L>
LOGARITHMIC_INLINE void raw_window_means(const L* rows, Index len, const C* nobs, bool f32_quotient, double* mean) {
    typedef L Sums LOGARITHMIC_VECTOR(VL * sizeof(L));
    typedef C Counts LOGARITHMIC_VECTOR(VL * sizeof(C));
    for (Index v = 0; v < kGeoLanes; v += VL) {
        Sums total;
        numpy_sum_lanes([rows, v](Index i, Sums& x)
                            LOGARITHMIC_INLINE_LAMBDA { std::memcpy(&x, rows + i * kGeoLanes + v, sizeof x); },
                        len, total);
        Counts n;
        std::memcpy(&n, nobs + v, sizeof n);
        n += (n == 0) & 1;
        quotient_lanes(total, n, f32_quotient, mean + v);
    }
}

// The first half of a block's pass, all lanes at once: the window's counts
// kept rolling in lanes of C (16 bits while windows fit), and for each output
// row the cells' kinds and finite counts (tile.nobs); with Raw (a block of
// finite values only, windows of one pairwise block at most), the means over
// raw rows (raw_window_means). Returns the lanes that hold value cells left to
// lane_window_means.
template <class C, bool Raw, Index VL = kGeoVectorLanes, class L>
LOGARITHMIC_INLINE ByteLanes block_window_counts(GeoTile<L>& tile, Index b, bool f32_quotient) {
    constexpr Index B = kGeoLanes;
    typedef C Counts LOGARITHMIC_VECTOR(B * sizeof(C));
    const unsigned char* cls = tile.classes.data() + tile.block_at(b);
    const Index k = tile.lanes(b), first = tile.first(), span = tile.span, rows = tile.in_rows, lo = tile.lo;
    const Index columns = tile.columns;
    unsigned char* kind = tile.kind.data() + b * B;
    double* mean = tile.mean.data() + b * B;
    const L* logs = tile.logs.data() + tile.block_at(b);
    C* nobs = tile.template nobs<C>();
    Counts fin = {}, zeros = {}, bad = {};
    ByteLanes neg = {}, left = {};  // left: lanes with cells for the lane pass
    for (Index r = 0; r < rows; ++r) {
        ByteLanes cl;
        std::memcpy(&cl, cls + r * B, sizeof cl);
        fin += __builtin_convertvector(cl & 1, Counts);
        zeros += __builtin_convertvector((cl >> 1) & 1, Counts);
        bad += __builtin_convertvector((cl >> 3) & 1, Counts);
        neg ^= (cl >> 2) & 1;
        if (r >= span) {
            ByteLanes gone;
            std::memcpy(&gone, cls + (r - span) * B, sizeof gone);
            fin -= __builtin_convertvector(gone & 1, Counts);
            zeros -= __builtin_convertvector((gone >> 1) & 1, Counts);
            bad -= __builtin_convertvector((gone >> 3) & 1, Counts);
            neg ^= (gone >> 2) & 1;
        }
        if (r < first) continue;
        const ByteLanes kd = cell_kinds(reinterpret_cast<ByteLanes>((cl & kCurrent) != 0),
                                        __builtin_convertvector(zeros != 0, ByteLanes),
                                        __builtin_convertvector(bad != 0, ByteLanes),
                                        __builtin_convertvector(fin > static_cast<C>(kNativeSumLimit), ByteLanes), neg);
        store_lanes(kind + (r - first) * columns, &kd, k);
        std::memcpy(nobs + (r - first) * B, &fin, sizeof fin);
        // value cells (long ones included)
        const ByteLanes values = reinterpret_cast<ByteLanes>((kd == kPositiveCell) | (kd == kNegativeCell)) |
                                 reinterpret_cast<ByteLanes>(kd >= kLongCell);
        if constexpr (Raw) {
            const Index len = std::min(lo + r + 1, span);
            PYAPI_ASSERT(1 <= len && len <= kPairwiseBlock && r - len + 1 >= 0);
            double m[B];
            raw_window_means<VL>(logs + (r - len + 1) * B, len, nobs + (r - first) * B, f32_quotient, m);
            store_lanes(mean + (r - first) * columns, m, k);
        } else {
            left |= values;
        }
    }
    return left;
}

// The second half, one lane at a time: the lane's finite logarithms compacted
// (each window's run of them is what NumPy sums), and the means of its value
// cells; its long cells are collected for NumPy's sum.
template <class C, class L>
LOGARITHMIC_INLINE void lane_window_means(GeoTile<L>& tile, Index b, Index j, bool f32_quotient) {
    constexpr Index B = kGeoLanes;
    // locals, not the tile's members: the stores below could alias them (no strict aliasing)
    const unsigned char* cls = tile.classes.data() + tile.block_at(b) + j;
    const L* logs = tile.logs.data() + tile.block_at(b) + j;
    const Index n = b * B + j, first = tile.first(), at = n * tile.in_rows, rows = tile.in_rows;
    const Index columns = tile.columns, t0 = tile.t0;
    const unsigned char* kind = tile.kind.data() + n;
    const C* nobs = tile.template nobs<C>() + j;
    L* cp = tile.compacted.data() + at;
    SumCell* cells = tile.cells.data();
    // The lane's run of logarithms (one per input row at most) and its value
    // cells (one per output row at most) stay inside the tile's buffers.
    PYAPI_ASSERT(j < tile.lanes(b) && static_cast<size_t>(at + rows) <= tile.compacted.size());
    PYAPI_ASSERT(static_cast<size_t>(rows - first) <= tile.cells.size());
    Index count = 0, kk = 0;
    for (Index r = 0; r < first; ++r) {
        cp[kk] = logs[r * B];
        kk += cls[r * B] & kFinite;
    }
    for (Index r = first; r < rows; ++r) {
        cp[kk] = logs[r * B];
        kk += cls[r * B] & kFinite;
        const Index i = (r - first) * columns;
        const unsigned char k = kind[i];
        const Index nb = nobs[(r - first) * B];
        // without a branch: whether a cell is summed here follows the data
        cells[count] = {i + n, kk - nb, nb};
        count += (k == kPositiveCell) | (k == kNegativeCell);
        if (k >= kLongCell) [[unlikely]]
            tile.longs.push_back({t0 + r - first, n, at + kk - nb, nb, k == kLongNegativeCell});
    }
    // The sums apart from the pass, so that independent cells overlap.
    window_means(cp, cells, count, tile.mean.data(), f32_quotient);
}

}  // namespace
}  // namespace logarithmic
