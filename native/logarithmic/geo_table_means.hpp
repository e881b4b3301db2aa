// The geometric mean's windows with non-finite values under AVX-512: all the
// lanes of a block at once, their finite logarithms compacted side by side,
// the tables of the counts most value windows hold (window_tables.hpp), then
// each window's sum by a gather and its mean. Elsewhere the lane-by-lane pass
// of geo_windows.hpp sums them.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "geo_windows.hpp"

#if PYAPI_X86_VARIANTS
#include <immintrin.h>

#include <array>

namespace logarithmic {
namespace {

// Lanes of a block row: 32-bit counts in one register, doubles in two halves.
// Arithmetic on vector types rather than intrinsics, whose GCC 12 forms read
// an undefined register and trip -Wmaybe-uninitialized once inlined.
typedef std::int32_t Lanes32 LOGARITHMIC_VECTOR(64);
typedef std::int32_t Half32 LOGARITHMIC_VECTOR(32);
typedef double HalfDoubles LOGARITHMIC_VECTOR(64);
static_assert(kGeoLanes == 16, "a block row is one vector of 32-bit counts");

// The same bits as another vector type of the size (an intrinsic's operand).
template <class To, class From>
PYAPI_TARGET_AVX512 LOGARITHMIC_INLINE To bits(const From& x) {
    static_assert(sizeof(To) == sizeof(From));
    To r;
    std::memcpy(&r, &x, sizeof r);
    return r;
}

// Lanes 8h .. 8h + 7 of x, as an intrinsic's index operand.
PYAPI_TARGET_AVX512 LOGARITHMIC_INLINE __m256i half(const Lanes32& x, int h) {
    __m256i r;
    std::memcpy(&r, reinterpret_cast<const char*>(&x) + 32 * h, sizeof r);
    return r;
}

// A row's windows from the counts before their first row and after their
// last: each lane's run start a and count n; returns the value cells' lanes.
PYAPI_TARGET_AVX512 LOGARITHMIC_INLINE __mmask16 row_windows(const std::int32_t* before, const std::int32_t* after,
                                                             const unsigned char* kind, __mmask16 lanes, Lanes32& a,
                                                             Lanes32& n) {
    Lanes32 e;
    std::memcpy(&a, before, sizeof a);
    std::memcpy(&e, after, sizeof e);
    n = e - a;
    // (the kinds' buffer reaches a vector past its last row)
    const __m128i kd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kind));
    const __m128i value = _mm_or_si128(_mm_cmpeq_epi8(kd, _mm_set1_epi8(kPositiveCell)),
                                       _mm_cmpeq_epi8(kd, _mm_set1_epi8(kNegativeCell)));
    return static_cast<__mmask16>(_mm_movemask_epi8(value) & lanes);
}

// RN(1 / n) for the counts of windows of up to kPairwiseBlock rows.
inline constexpr auto kReciprocals = [] {
    std::array<double, kPairwiseBlock + 1> r{};
    for (Index n = 1; n <= kPairwiseBlock; ++n) r[static_cast<size_t>(n)] = 1.0 / static_cast<double>(n);
    return r;
}();

// The means' quotients a / n (1 <= n <= kPairwiseBlock) without a division,
// which costs two cycles a lane at any vector width; rounded to nearest as
// the division is. With y = RN(1 / n), q0 = RN(a * y) lies within two ulps of
// a / n, so r = a - n * q0 is a multiple of q0's ulp below 2^10 of them, and a
// fused multiply-add computes it exactly; q0 + r * y then lies within 2^-52
// ulp of a / n, since n * y = 1 + e with |e| <= 2^-53. And a / n lies at least
// ulp / 254 from every rounding boundary: with n = 2^s * m, m odd, it is
// (a / 2^s) / m, exact if m = 1, and otherwise a midpoint only if a / 2^s, a
// multiple of its own ulp, were an odd multiple of half the quotient's ulp.
// So the second fused multiply-add rounds to RN(a / n), for every finite a
// (sums of logarithms never come near the subnormals).
PYAPI_TARGET_AVX512 LOGARITHMIC_INLINE __m512d quotients(__m512d a, __m256i n) {
    const __m512d y = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, n, kReciprocals.data(), 8);
    const __m512d q0 = _mm512_mul_pd(a, y);
    const __m512d r = _mm512_fnmadd_pd(q0, bits<__m512d>(__builtin_convertvector(bits<Half32>(n), HalfDoubles)), a);
    return _mm512_fmadd_pd(r, y, q0);
}

// The means of block b's windows (of at most kPairwiseBlock rows, logarithms
// of doubles). A function of its own: code of a wider target cannot be
// inlined into the tile driver's template, which every target compiles.
PYAPI_TARGET_AVX512 void table_window_means(GeoTile<double>& tile, Index b) {
    constexpr Index B = kGeoLanes, D = BlockTables<double>::kTopLevels;
    BlockTables<double>& tab = tile.tables;
    if (tab.c.empty()) tab.allocate(tile.max_in_rows);
    const Index first = tile.first(), rows = tile.in_rows, lo = tile.lo, span = tile.span, columns = tile.columns;
    const Index top = span / kPairwiseLanes;
    // Windows of one pairwise block at most (slot_of and the reciprocals have
    // an entry per count), over runs the buffers allocated for the call hold.
    PYAPI_ASSERT(1 <= span && span <= kPairwiseBlock);
    PYAPI_ASSERT(tab.c.size() >= static_cast<size_t>((rows + BlockTables<double>::kPad) * B) &&
                 tab.kk.size() >= static_cast<size_t>((rows + 1) * B));
    const __mmask16 lanes = static_cast<__mmask16>((1u << tile.lanes(b)) - 1);
    Lanes32 iota;
    for (Index j = 0; j < B; ++j) iota[j] = static_cast<std::int32_t>(j);
    // The runs: each lane's logarithms scattered to the lane's count of
    // finite values so far (a non-finite value's is overwritten by the next).
    const double* logs = tile.logs.data() + tile.block_at(b);
    const unsigned char* cls = tile.classes.data() + tile.block_at(b);
    std::int32_t* kk = tab.kk.data();
    Lanes32 at = {};
    for (Index r = 0; r < rows; ++r) {
        std::memcpy(kk + r * B, &at, sizeof at);
        const Lanes32 to = at * B + iota;
        for (int h = 0; h < 2; ++h)
            _mm512_i32scatter_pd(tab.c.data(), half(to, h), _mm512_loadu_pd(logs + r * B + 8 * h), 8);
        ByteLanes cl;
        std::memcpy(&cl, cls + r * B, sizeof cl);
        at += __builtin_convertvector(cl & kFinite, Lanes32);
    }
    std::memcpy(kk + rows * B, &at, sizeof at);
    Index longest = 0;
    for (Index j = 0; j < B; ++j) longest = std::max<Index>(longest, at[j]);
    tab.extent = (longest + kPairwiseLanes - 1) / kPairwiseLanes * kPairwiseLanes;
    const unsigned char* kind = tile.kind.data() + b * B;
    // The value windows of the top levels: which counts, how many.
    Lanes32 used[D] = {};
    Index many[D] = {};
    for (Index r = first; r < rows; ++r) {
        const Index len = std::min(lo + r + 1, span);
        Lanes32 a, n;
        const __mmask16 value =
            row_windows(kk + (r + 1 - len) * B, kk + (r + 1) * B, kind + (r - first) * columns, lanes, a, n);
        const Lanes32 level = n >> 3, bit = (Lanes32{} + 1) << (n & 7);
        for (Index d = 0; d < D; ++d) {
            const __mmask16 here =
                _mm512_mask_cmpeq_epi32_mask(value, bits<__m512i>(level), _mm512_set1_epi32(static_cast<int>(top - d)));
            many[d] += std::popcount(static_cast<unsigned>(here));
            used[d] = bits<Lanes32>(
                _mm512_mask_or_epi32(bits<__m512i>(used[d]), here, bits<__m512i>(used[d]), bits<__m512i>(bit)));
        }
    }
    // A level's tables cost a pass over the runs per table; its windows,
    // summed one by one, about their length plus a call each.
    unsigned levels[D] = {};
    for (Index d = 0; d < D && d <= top; ++d) {
        for (Index j = 0; j < B; ++j) levels[d] |= static_cast<unsigned>(used[d][j]);
        const Index passes = 4 + std::bit_width(levels[d]);
        if (many[d] * ((top - d) * kPairwiseLanes + 40) < 6 * passes * tab.extent) levels[d] = 0;
    }
    tab.build(top, levels);
    const std::int32_t stride = static_cast<std::int32_t>(tab.stride());
    double* mean = tile.mean.data() + b * B;
    for (Index r = first; r < rows; ++r) {
        const Index len = std::min(lo + r + 1, span);
        Lanes32 a, n;
        const __mmask16 value =
            row_windows(kk + (r + 1 - len) * B, kk + (r + 1) * B, kind + (r - first) * columns, lanes, a, n);
        const Lanes32 slot = bits<Lanes32>(
            _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, bits<__m512i>(n), tab.slot_of, 4));
        const __mmask16 ok = _mm512_mask_cmpge_epi32_mask(value, bits<__m512i>(slot), _mm512_setzero_si512());
        const Lanes32 entry = slot * stride + a * B + iota;
        alignas(64) double t[B];
        for (int h = 0; h < 2; ++h)
            _mm512_store_pd(t + 8 * h,
                            _mm512_mask_i32gather_pd(_mm512_setzero_pd(), static_cast<__mmask8>(ok >> (8 * h)),
                                                     half(entry, h), tab.u.data(), 8));
        if (const unsigned rest = value & ~ok) [[unlikely]]  // windows of levels without tables
            for (Index j = 0; j < B; ++j)
                if (rest >> j & 1) t[j] = tab.sum(j, a[j], n[j]);
        // np.sum adds the sum to its identity; lanes without values divide by 1: no flag
        const Lanes32 count = n + ((n == 0) & 1);
        double* row = mean + (r - first) * columns;
        for (int h = 0; h < 2; ++h) {
            HalfDoubles sum;
            std::memcpy(&sum, t + 8 * h, sizeof sum);
            const __m512d m = quotients(bits<__m512d>(HalfDoubles{} + sum), half(count, h));
            // Cells without a value take 1: their exponential, never used,
            // then stays on exp's vector path (a zero is recomputed on its own).
            const auto mask = static_cast<__mmask8>(value >> (8 * h));
            _mm512_mask_storeu_pd(row + 8 * h, static_cast<__mmask8>(lanes >> (8 * h)),
                                  _mm512_mask_blend_pd(mask, _mm512_set1_pd(1.0), m));
        }
    }
}

}  // namespace
}  // namespace logarithmic
#endif
