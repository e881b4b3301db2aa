// Window kernels. Each reproduces NumPy's own operation order for one cell, so
// results are bit-identical to NumPy's:
//  - product: the multiply reduction, left to right over the window's finite
//    values. Non-finite values are stored as 1.0, and x * 1.0 == x for every
//    value (-0.0, infinities and NaN payloads included) without raising a
//    flag, so the product over the raw window with those placeholders equals
//    the product over the compacted finite values, bit for bit and flag for
//    flag. That lets one loop run across a block of columns with SIMD.
//  - sum: the pairwise summation of the add reduction (8 accumulators, blocks
//    of 128, recursive halving at multiples of 8), added to the identity 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cpu_dispatch.hpp"
#include "geometry.hpp"
#include "pyapi/check.hpp"

namespace logarithmic {

template <class A, Index VectorBytes = kVectorBytes>
struct Simd {
    typedef A V LOGARITHMIC_VECTOR(VectorBytes);
    static constexpr Index kLanes = kBlockBytes / sizeof(A);        // lanes of a block row
    static constexpr Index kVectorLanes = VectorBytes / sizeof(A);  // lanes of a vector
    static constexpr int kVecs = kBlockBytes / VectorBytes;         // vectors of a block row
    // Vectors at any element-aligned address, by reference both ways: a vector
    // passed or returned by value has another ABI with AVX than without, which
    // GCC points out (-Wpsabi) even for inlined functions. Loads go through
    // memcpy: clang does not keep a typedef's reduced alignment through a
    // reference, and would load with an aligned instruction.
    typedef A U LOGARITHMIC_VECTOR(VectorBytes) LOGARITHMIC_UNALIGNED(A);
    // (Load into a temporary, not an accumulator: a reference to an array
    // element keeps GCC from holding the array in registers.)
    static LOGARITHMIC_INLINE void load(V& v, const A* p) { std::memcpy(&v, p, sizeof v); }
    static LOGARITHMIC_INLINE void store(A* p, const V& v) { *reinterpret_cast<U*>(p) = v; }
};

// A vector of N lanes of T (GCC takes a vector typedef of a dependent size
// inside a function template only in a class).
template <class T, std::size_t N>
struct VectorOf {
    typedef T type LOGARITHMIC_VECTOR(N * sizeof(T));
};

// First row of the window ending at row t when windows span `span` rows.
inline Index window_first(Index t, Index span) { return std::max<Index>(0, t - span + 1); }

// The products of C windows of `len` block rows each, starting at p, p + B, ..,
// into o, o + stride, ..: every lane of a block at once, C times the vectors of
// a block row in independent multiply chains, each left to right.
template <class A, Index VectorBytes, int C>
LOGARITHMIC_INLINE void window_products(const A* p, Index len, A* o, Index stride) {
    using S = Simd<A, VectorBytes>;
    using V = typename S::V;
    constexpr Index B = S::kLanes;
    constexpr int NV = S::kVecs;
    constexpr Index VL = S::kVectorLanes;
    V a[C][NV];
    for (int k = 0; k < C; ++k)
        for (int v = 0; v < NV; ++v) {
            V x;
            S::load(x, p + k * B + v * VL);
            a[k][v] = x;
        }
    for (Index r = 1; r < len; ++r)
        for (int k = 0; k < C; ++k)
            for (int v = 0; v < NV; ++v) {
                V x;
                S::load(x, p + (r + k) * B + v * VL);
                a[k][v] = a[k][v] * x;
            }
    for (int k = 0; k < C; ++k)
        for (int v = 0; v < NV; ++v) S::store(o + k * stride + v * VL, a[k][v]);
}

// Products of the windows ending at rows [t0, t1), every lane of a column
// block at once. `rows` holds block rows from data row `lo` on (non-finite
// values as 1.0); `res` receives block rows for t0.. on. K rows whose windows
// have the same length run side by side: enough chains to hide the multiply's
// latency (K = 2 for floats; 64-bit integer multiplies take several times longer).
template <class A, Index VectorBytes, int K>
LOGARITHMIC_INLINE void tile_products(const A* rows, Index lo, Index t0, Index t1, Index span, A* res, Index stride) {
    constexpr Index B = Simd<A, VectorBytes>::kLanes;
    // Every window of these rows starts inside the block rows held.
    PYAPI_ASSERT(span >= 1 && 0 <= lo && lo <= window_first(t0, span) && t0 <= t1);
    for (Index t = t0; t < t1;) {
        const Index s = window_first(t, span);
        const A* p = rows + (s - lo) * B;
        A* o = res + (t - t0) * stride;
        if (t + K - 1 < t1 && window_first(t + K - 1, span) == s + K - 1) {
            window_products<A, VectorBytes, K>(p, t - s + 1, o, stride);
            t += K;
        } else {
            window_products<A, VectorBytes, 1>(p, t - s + 1, o, stride);
            t += 1;
        }
    }
}

// One lane's product over block rows [s, t] (for re-evaluating flagged cells).
template <class A>
A lane_product(const A* rows, Index lo, Index s, Index t, Index lane) {
    constexpr Index B = Simd<A>::kLanes;
    PYAPI_ASSERT(lo <= s && s <= t && 0 <= lane && lane < B);
    A acc = rows[(s - lo) * B + lane];
    for (Index r = s + 1; r <= t; ++r) acc = static_cast<A>(acc * rows[(r - lo) * B + lane]);
    return acc;
}

// NumPy's pairwise block for 8 <= n <= 128: eight accumulators, combined as
// ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then the remainder in order.
template <class L>
LOGARITHMIC_INLINE L pairwise_block(const L* a, Index n) {
    // The accumulators as explicit vectors (two of doubles, one of floats):
    // left to itself, clang pairs them into 16-byte registers in an order that
    // costs shuffles, and GCC handles one 64-byte vector poorly.
    using S = Simd<L>;
    constexpr Index W = S::kVectorLanes, P = kPairwiseLanes, NV = P / W;
    static_assert(P == 8, "the combination below is NumPy's for eight accumulators");
    PYAPI_ASSERT(P <= n && n <= kPairwiseBlock);
    typename S::V r[NV];
    for (Index v = 0; v < NV; ++v) {
        typename S::V x;
        S::load(x, a + v * W);
        r[v] = x;
    }
    Index i = P;
    for (; i < n - (n % P); i += P)
        for (Index v = 0; v < NV; ++v) {
            typename S::V x;
            S::load(x, a + i + v * W);
            r[v] = r[v] + x;
        }
    L q[P];
    for (Index v = 0; v < NV; ++v) S::store(q + v * W, r[v]);
    L res = static_cast<L>(static_cast<L>(static_cast<L>(q[0] + q[1]) + static_cast<L>(q[2] + q[3])) +
                           static_cast<L>(static_cast<L>(q[4] + q[5]) + static_cast<L>(q[6] + q[7])));
    for (; i < n; ++i) res = static_cast<L>(res + a[i]);
    return res;
}

// NumPy's pairwise summation of n > 128 values: recursive halving, each
// level entered through the target dispatch (it cannot be inlined).
template <class L>
L pairwise_long(const L* a, Index n);

template <class L>
LOGARITHMIC_INLINE L pairwise_sum(const L* a, Index n) {
    if (n < kPairwiseLanes) {
        L res = 0;
        for (Index i = 0; i < n; ++i) res = static_cast<L>(res + a[i]);
        return res;
    }
    if (n <= kPairwiseBlock) return pairwise_block(a, n);
    return pairwise_long(a, n);
}

template <class L>
L pairwise_long(const L* a, Index n) {
    PYAPI_ASSERT(n > kPairwiseBlock);
    return on_best_target([&]() LOGARITHMIC_INLINE_LAMBDA {
        Index n2 = n / 2;
        n2 -= n2 % kPairwiseLanes;
        return static_cast<L>(pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2));
    });
}

// np.sum of n values of a contiguous array in one pass: identity plus pairwise.
template <class L>
LOGARITHMIC_INLINE L numpy_sum(const L* a, Index n) {
    return static_cast<L>(L(0) + pairwise_sum(a, n));
}

}  // namespace logarithmic
