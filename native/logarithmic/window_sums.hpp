// The means of a lane's value cells: NumPy's sum of each window's compacted
// logarithms, divided by the count. Neighbouring cells of a lane usually hold
// windows of the same length one value apart; kGeoVectorLanes such windows
// are summed at once, lane q of every vector running exactly the operations
// numpy_sum runs for window q, so each sum keeps its bits.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "kernels.hpp"

namespace logarithmic {
namespace {

// `total / nobs` as the per-cell evaluation divides: np.float64 by an int, or
// np.float32 by an int under the installed NumPy's promotion rules.
template <class L>
LOGARITHMIC_INLINE double geo_quotient(L total, Index nobs, bool f32_quotient) {
    const double n = static_cast<double>(nobs);
    if constexpr (std::is_same_v<L, float>)
        if (f32_quotient) return static_cast<float>(total / static_cast<float>(n));
    return static_cast<double>(total) / n;
}

// A value cell of a lane pass: where its mean goes, its run of compacted logs.
struct SumCell {
    Index i, a, nobs;
};

// numpy_sum of n <= kPairwiseBlock values, for every lane of V at once:
// at(i, x) loads value i of all lanes into x (by reference: see Simd::load).
// Each lane runs exactly numpy_sum's operations.
template <class V, class At>
LOGARITHMIC_INLINE void numpy_sum_lanes(At&& at, Index n, V& total) {
    constexpr Index P = kPairwiseLanes;
    static_assert(P == 8, "the combination below is NumPy's for eight accumulators");
    PYAPI_ASSERT(0 <= n && n <= kPairwiseBlock);
    V res = {};
    Index i = 0;
    if (n >= P) {  // pairwise_block
        V r[P];
        for (Index j = 0; j < P; ++j) {
            V x;  // loaded into a temporary, so that the accumulators stay in registers
            at(j, x);
            r[j] = x;
        }
        for (i = P; i < n - (n % P); i += P)
            for (Index j = 0; j < P; ++j) {
                V x;
                at(i + j, x);
                r[j] = r[j] + x;
            }
        res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    }
    for (; i < n; ++i) {
        V x;
        at(i, x);
        res = res + x;
    }
    total = V{} + res;  // the reduction's identity, added last as NumPy does
}

// geo_quotient for a vector of lanes: out[j] = total[j] / n[j] (vectors by
// reference: see Simd::load).
template <class Sums, class Counts>
LOGARITHMIC_INLINE void quotient_lanes(const Sums& total, const Counts& n, bool f32_quotient, double* out) {
    constexpr size_t lanes = sizeof(Sums) / sizeof(total[0]);
    typedef double Means LOGARITHMIC_VECTOR(lanes * sizeof(double));
    // Counts of bytes or 16-bit lanes through 32-bit ones: converted straight
    // to floating point, they go a lane at a time.
    using Ints = typename VectorOf<std::int32_t, lanes>::type;
    const Ints ni = __builtin_convertvector(n, Ints);
    Means q;
    if (sizeof(total[0]) == sizeof(float) && f32_quotient)
        q = __builtin_convertvector(total / __builtin_convertvector(ni, Sums), Means);
    else q = __builtin_convertvector(total, Means) / __builtin_convertvector(ni, Means);
    std::memcpy(out, &q, sizeof q);
}

// numpy_sum of the windows a[q .. q + n) for q < kGeoVectorLanes, n <= kPairwiseBlock.
template <class L>
LOGARITHMIC_INLINE void numpy_sums_side_by_side(const L* a, Index n, L out[kGeoVectorLanes]) {
    typedef L V LOGARITHMIC_VECTOR(kGeoVectorLanes * sizeof(L));
    V sums;
    numpy_sum_lanes([a](Index i, V& x) LOGARITHMIC_INLINE_LAMBDA { std::memcpy(&x, a + i, sizeof x); }, n, sums);
    std::memcpy(out, &sums, sizeof sums);
}

// mean[cell.i] = geo_quotient(numpy_sum(cp + cell.a, cell.nobs)) for each cell.
template <class L>
LOGARITHMIC_INLINE void window_means(const L* cp, const SumCell* cells, Index count, double* mean, bool f32_quotient) {
    constexpr Index K = kGeoVectorLanes;
    Index q = 0;
    while (q < count) {
        const SumCell& c = cells[q];
        PYAPI_ASSERT(c.a >= 0 && c.nobs >= 1 && c.i >= 0);
        bool side_by_side = q + K <= count && c.nobs <= kPairwiseBlock;
        for (Index j = K - 1; j > 0 && side_by_side; --j)
            side_by_side = cells[q + j].a == c.a + j && cells[q + j].nobs == c.nobs;
        if (side_by_side) {
            L s[K];
            numpy_sums_side_by_side(cp + c.a, c.nobs, s);
            for (Index j = 0; j < K; ++j) mean[cells[q + j].i] = geo_quotient(s[j], c.nobs, f32_quotient);
            q += K;
            continue;
        }
        mean[c.i] = geo_quotient(numpy_sum(cp + c.a, c.nobs), c.nobs, f32_quotient);
        ++q;
    }
}

}  // namespace
}  // namespace logarithmic
