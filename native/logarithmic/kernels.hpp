// Window kernels over compacted finite values. Each reproduces NumPy's own
// operation order for one cell, so results are bit-identical to NumPy's:
//  - product: the multiply reduction, left to right from the first value;
//  - sum: the pairwise summation of the add reduction (8 accumulators, blocks
//    of 128, recursive halving at multiples of 8), added to the identity 0.
// Cells are independent, so several are computed side by side to hide latency.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LOGARITHMIC_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LOGARITHMIC_CLONES
#endif

namespace logarithmic {

// One cell's window as a range [a, b) of the compacted values.
struct Job {
    std::ptrdiff_t t, a, b;
};

template <class A>
inline A window_product(const A* v, std::ptrdiff_t a, std::ptrdiff_t b) {
    A acc = v[a];
    for (std::ptrdiff_t i = a + 1; i < b; ++i) acc = static_cast<A>(acc * v[i]);
    return acc;
}

// Eight cells whose windows start at consecutive positions and have the same
// length: the k-th factors of the eight cells are adjacent in memory.
template <class A>
LOGARITHMIC_CLONES void products_sliding8(const A* p, std::ptrdiff_t len, A* res) {
    A acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = p[j];
    for (std::ptrdiff_t k = 1; k < len; ++k)
        for (int j = 0; j < 8; ++j) acc[j] = static_cast<A>(acc[j] * p[k + j]);
    for (int j = 0; j < 8; ++j) res[j] = acc[j];
}

// res[i] = product of the i-th job's window.
template <class A>
void window_products(const A* v, const Job* jobs, std::size_t n, A* res) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Job* J = jobs + i;
        const std::ptrdiff_t len = J[0].b - J[0].a;
        bool sliding = true;
        for (int j = 1; j < 8; ++j)
            sliding = sliding && J[j].a == J[0].a + j && J[j].b - J[j].a == len;
        if (sliding) {
            products_sliding8(v + J[0].a, len, res + i);
            continue;
        }
        std::ptrdiff_t m = len;
        for (int j = 1; j < 8; ++j) m = std::min(m, J[j].b - J[j].a);
        A acc[8];
        for (int j = 0; j < 8; ++j) acc[j] = v[J[j].a];
        for (std::ptrdiff_t k = 1; k < m; ++k)
            for (int j = 0; j < 8; ++j) acc[j] = static_cast<A>(acc[j] * v[J[j].a + k]);
        for (int j = 0; j < 8; ++j) {
            for (std::ptrdiff_t k = J[j].a + std::max<std::ptrdiff_t>(m, 1); k < J[j].b; ++k)
                acc[j] = static_cast<A>(acc[j] * v[k]);
            res[i + j] = acc[j];
        }
    }
    for (; i < n; ++i) res[i] = window_product(v, jobs[i].a, jobs[i].b);
}

// NumPy's pairwise summation of n values (its result before the identity is added).
template <class L>
L pairwise_sum(const L* a, std::ptrdiff_t n) {
    if (n < 8) {
        L res = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res = static_cast<L>(res + a[i]);
        return res;
    }
    if (n <= 128) {
        L r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] = static_cast<L>(r[j] + a[i + j]);
        L res = static_cast<L>(static_cast<L>(static_cast<L>(r[0] + r[1]) + static_cast<L>(r[2] + r[3])) +
                               static_cast<L>(static_cast<L>(r[4] + r[5]) + static_cast<L>(r[6] + r[7])));
        for (; i < n; ++i) res = static_cast<L>(res + a[i]);
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return static_cast<L>(pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2));
}

// np.sum of n values of a contiguous array in one pass: identity plus pairwise.
template <class L>
inline L numpy_sum(const L* a, std::ptrdiff_t n) {
    return static_cast<L>(L(0) + pairwise_sum(a, n));
}

}  // namespace logarithmic
