// The product over row tiles and column blocks.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "native_common.hpp"

namespace logarithmic {
namespace {

// The block rows of a product: the value, or 1.0 for a non-finite value
// (exact placeholders, see kernels.hpp); and the current-value gate.
template <class E, class A>
LOGARITHMIC_INLINE A product_factor(E v, unsigned char& ok) {
    if constexpr (std::is_floating_point_v<E>) {
        using FB = FloatBits<E>;
        const auto bits = std::bit_cast<typename FB::U>(v);
        const auto mag = bits & ~FB::kSign;
        const bool fin = mag < FB::kInf;
        ok = fin & (mag != 0) & !(bits & FB::kSign);
        return std::bit_cast<E>(fin ? bits : FB::kOne);
    } else {
        ok = v > 0;
        return static_cast<A>(v);
    }
}

// Converts input row t into the block rows of a product tile (block b's row
// at dst + b * block_stride) and its current-value gates.
template <class E, class A>
LOGARITHMIC_INLINE void product_row(const Input<E>& in, Index t, Index N, A* dst, Index block_stride,
                                    unsigned char* ok) {
    constexpr Index B = Simd<A>::kLanes;
    for (Index n0 = 0, b = 0; n0 < N; n0 += B, ++b) {
        const Index k = std::min(B, N - n0);
        A* r = dst + b * block_stride;
        unsigned char* g = ok + n0;
        in.row(t, n0, k, [&](Index j, E v) { r[j] = product_factor<E, A>(v, g[j]); });
        for (Index j = k; j < B; ++j) r[j] = A(1);
    }
}

// out[n] = ok[n] ? the product : NaN, for one output row.
template <class E, class A>
LOGARITHMIC_INLINE void gated_row(double* out, const A* res, const unsigned char* ok, Index N, double nan) {
    const std::uint64_t nan_bits = std::bit_cast<std::uint64_t>(nan);
    for (Index n = 0; n < N; ++n) {
        const std::uint64_t keep = std::uint64_t(0) - ok[n];
        const std::uint64_t v = std::bit_cast<std::uint64_t>(Elem<E>::to_out(res[n]));
        out[n] = std::bit_cast<double>((v & keep) | (nan_bits & ~keep));
    }
}

// Columns [c0, c0 + N) of the product.
template <class E, Index VectorBytes>
LOGARITHMIC_INLINE void product_tiles_body(Driver& d, Index c0, Index N) {
    using T_ = Elem<E>;
    using A = typename T_::Acc;
    constexpr Index B = Simd<A>::kLanes;
    const Index T = d.rows.count, span = d.rows.span;
    // Columns [c0, c0 + N) and rows [0, T) lie inside both arrays.
    PYAPI_ASSERT(0 <= c0 && 1 <= N && c0 + N <= d.N && 1 <= T && T <= d.T && 1 <= span && span <= d.T);
    Input<E> in(d.in, c0, N);
    const Index R = std::min(T, tile_rows(span));
    const Index Mmax = std::min(T, R + span - 1);
    const Index blocks = (N + B - 1) / B, Npad = blocks * B;
    std::vector<A> rows(static_cast<size_t>(blocks * Mmax * B), A(1));  // [block][row][lane]
    std::vector<A> res(static_cast<size_t>(R * Npad));                  // [row][column]
    std::vector<unsigned char> ok(static_cast<size_t>(R * Npad));       // [row][column]
    for (Index t0 = 0; t0 < T; t0 += R) {
        if (!d.at(c0, c0 + N, t0)) return;
        const Index t1 = std::min(T, t0 + R), lo = window_first(t0, span), M = t1 - lo;
        // The tile's input rows fit the block rows sized for the longest tile.
        PYAPI_ASSERT(0 <= lo && lo <= t0 && t0 < t1 && M <= Mmax);
        in.load(lo, t1);
        for (Index t = lo; t < t1; ++t)
            product_row<E, A>(in, t, N, rows.data() + (t - lo) * B, M * B,
                              ok.data() + std::max<Index>(0, t - t0) * Npad);
        for (Index b = 0; b < blocks; ++b) {
            if (!d.poll()) return;
            const Index n0 = b * B, k = std::min(B, N - n0);
            const A* rb = rows.data() + b * M * B;
            if constexpr (T_::is_float) std::feclearexcept(FE_ALL_EXCEPT);
            // in row chunks of a few million products, so that signals are seen during long windows
            const Index chunk = std::max<Index>(2, kProductsPerPoll / (span * B));
            for (Index ta = t0; ta < t1; ta += chunk) {
                if (ta > t0 && !d.poll()) return;
                tile_products<A, VectorBytes, (Elem<E>::is_float ? 2 : 4)>(rb, lo, ta, std::min(t1, ta + chunk), span,
                                                                           res.data() + (ta - t0) * Npad + n0, Npad);
            }
            if constexpr (T_::is_float) {
                if (std::fetestexcept(kWatchedFlags) && d.non_ignored_flags()) {
                    // Find the cells that raised a flag NumPy acts on.
                    for (Index t = t0; t < t1; ++t)
                        for (Index j = 0; j < k; ++j) {
                            if (!ok[(t - t0) * Npad + n0 + j]) continue;
                            PYAPI_ASSERT(d.raising >= 0);  // asked by non_ignored_flags() above
                            std::feclearexcept(FE_ALL_EXCEPT);
                            volatile A p = lane_product(rb, lo, window_first(t, span), t, j);
                            (void)p;
                            if (std::fetestexcept(kWatchedFlags) & d.raising) d.special.push_back({t, c0 + n0 + j});
                        }
                }
                if (d.stopped) return;
            }
        }
        PYAPI_ASSERT(t1 <= d.T && c0 + N <= d.out_row);  // the output rows written below
        for (Index t = t0; t < t1; ++t)
            gated_row<E, A>(d.out + t * d.out_row + c0, res.data() + (t - t0) * Npad, ok.data() + (t - t0) * Npad, N,
                            d.nan);
    }
}

template <class E>
void product_tiles(Driver& d, Index c0, Index N) {
#if PYAPI_X86_VARIANTS
    if constexpr (!Elem<E>::is_float) {
        auto wide = [&]() LOGARITHMIC_INLINE_LAMBDA { product_tiles_body<E, kWideVectorBytes>(d, c0, N); };
        if (cpu_has_avx512dq()) return run_avx512dq(wide);
    }
#endif
    on_best_target([&]() LOGARITHMIC_INLINE_LAMBDA { product_tiles_body<E, kVectorBytes>(d, c0, N); });
}

}  // namespace
}  // namespace logarithmic
