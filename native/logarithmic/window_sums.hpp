// The means of a lane's value cells: NumPy's sum of each window's compacted
// logarithms, divided by the count. Neighbouring cells of a lane usually hold
// windows of the same length one value apart; four such windows are summed at
// once, lane q of every vector running exactly the operations numpy_sum runs
// for window q, so each sum keeps its bits.
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
    if constexpr (std::is_same_v<L, float>) {
        if (f32_quotient) return static_cast<float>(total / static_cast<float>(n));
        return static_cast<double>(total) / n;
    } else {
        return total / n;
    }
}

// A value cell of a lane pass: where its mean goes, its run of compacted logs.
struct SumCell {
    Index i, a, nobs;
};

// numpy_sum of the windows a[q .. q + n) for q < 4, n <= 128.
template <class L>
LOGARITHMIC_INLINE void numpy_sums4(const L* a, Index n, L out[4]) {
    typedef L V LOGARITHMIC_VECTOR(4 * sizeof(L));
    auto load = [a](Index i) LOGARITHMIC_INLINE_LAMBDA {
        V v;
        std::memcpy(&v, a + i, sizeof v);
        return v;
    };
    V res = {};
    Index i = 0;
    if (n >= 8) {  // pairwise_block, four windows at a time
        V r[8];
        for (int j = 0; j < 8; ++j) r[j] = load(j);
        for (i = 8; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] = r[j] + load(i + j);
        res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    }
    for (; i < n; ++i) res = res + load(i);
    const V sums = V{} + res;  // the reduction's identity, added last as NumPy does
    std::memcpy(out, &sums, sizeof sums);
}

// mean[cell.i] = geo_quotient(numpy_sum(cp + cell.a, cell.nobs)) for each cell.
template <class L>
LOGARITHMIC_INLINE void window_means(const L* cp, const SumCell* cells, Index count, double* mean,
                                     bool f32_quotient) {
    Index q = 0;
    while (q < count) {
        const SumCell& c = cells[q];
        if (q + 4 <= count && c.nobs <= 128 && cells[q + 3].a == c.a + 3 && cells[q + 1].a == c.a + 1 &&
            cells[q + 2].a == c.a + 2 && cells[q + 1].nobs == c.nobs && cells[q + 2].nobs == c.nobs &&
            cells[q + 3].nobs == c.nobs) {
            L s[4];
            numpy_sums4(cp + c.a, c.nobs, s);
            for (int j = 0; j < 4; ++j) mean[cells[q + j].i] = geo_quotient(s[j], c.nobs, f32_quotient);
            q += 4;
            continue;
        }
        mean[c.i] = geo_quotient(numpy_sum(cp + c.a, c.nobs), c.nobs, f32_quotient);
        ++q;
    }
}

}  // namespace
}  // namespace logarithmic
