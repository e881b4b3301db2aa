// The geometric mean's classes: what each input value is to the gates (value
// classes), and what each output cell becomes (cell kinds).
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "native_common.hpp"

namespace logarithmic {
namespace {

// One byte per lane of a block row.
typedef unsigned char ByteLanes LOGARITHMIC_VECTOR(kGeoLanes);

// Value classes of an input value, as bits (plain bytes, so that they combine
// with vectors of bytes).
constexpr unsigned char kFinite = 1, kZero = 2, kNegative = 4, kBadMagnitude = 8, kCurrent = 16;

// What an output cell holds after its tile's window pass.
constexpr unsigned char kNanCell = 0,  // the current-value gate fails: the output keeps NaN
    kZeroCell = 1,                     // a zero in the window: 0.0
    kSpecialCell = 2,                  // left to the general path (a magnitude np.abs wraps)
    kPositiveCell = 3,                 // exp(mean)
    kNegativeCell = 4,                 // -exp(mean): an odd number of negatives
    kLongCell = 5,                     // the window's sum is NumPy's own (kNativeSumLimit), then positive
    kLongNegativeCell = 6;             // or negative

// The kinds of a block row's cells from their windows' state: masks (0 or all
// ones per lane) of a passing current value, of zeros, of bad magnitudes and
// of sums left to NumPy, and the parity of the negatives (0 or 1 per lane).
LOGARITHMIC_INLINE ByteLanes cell_kinds(ByteLanes current, ByteLanes zeros, ByteLanes bad, ByteLanes long_sum,
                                        ByteLanes odd_negatives) {
    auto pick = [](ByteLanes mask, ByteLanes yes, ByteLanes no)
                    LOGARITHMIC_INLINE_LAMBDA { return (mask & yes) | (~mask & no); };
    const ByteLanes none = {};
    ByteLanes kind = pick(long_sum, odd_negatives + kLongCell, odd_negatives + kPositiveCell);
    kind = pick(bad, none + kSpecialCell, kind);
    kind = pick(zeros, none + kZeroCell, kind);
    return pick(current, kind, none + kNanCell);
}

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

// classify() for a block row of contiguous doubles, VL lanes at a time.
template <Index VL>
LOGARITHMIC_INLINE void classify_doubles(const double* x, double* mag, unsigned char* cls) {
    using Bits = typename VectorOf<std::uint64_t, VL>::type;
    using SignedBits = typename VectorOf<std::int64_t, VL>::type;
    using Bytes = typename VectorOf<unsigned char, VL>::type;
    using FB = FloatBits<double>;
    for (Index v = 0; v < kGeoLanes; v += VL) {
        Bits bits;
        std::memcpy(&bits, x + v, sizeof bits);
        const Bits m = bits & ~FB::kSign;
        // comparison results are 0 or all ones; the magnitudes are below 2^63
        const Bits fin = reinterpret_cast<Bits>(reinterpret_cast<SignedBits>(m) < static_cast<std::int64_t>(FB::kInf));
        const Bits zero = reinterpret_cast<Bits>(m == 0);
        const Bits neg = reinterpret_cast<Bits>(reinterpret_cast<SignedBits>(bits) < 0);
        const Bits value = fin & ~zero;
        const Bits mg = (m & value) | (FB::kOne & ~value);
        std::memcpy(mag + v, &mg, sizeof mg);
        const Bits cl = (fin & std::uint64_t(kFinite)) | (fin & zero & std::uint64_t(kZero)) |
                        (value & neg & std::uint64_t(kNegative)) | (value & ~neg & std::uint64_t(kCurrent));
        const Bytes c = __builtin_convertvector(cl, Bytes);
        std::memcpy(cls + v, &c, sizeof c);
    }
}

// Converts input row t into the block rows of a geometric-mean tile (block b's
// row at b * block_stride): value classes, and the magnitudes whose
// logarithms are taken. Lanes past the last column hold class 0, magnitude 1.
template <class E, class L, Index VL = kGeoVectorLanes>
LOGARITHMIC_INLINE void classify_row(const Input<E>& in, Index t, Index N, L* mags, unsigned char* cls,
                                     Index block_stride) {
    constexpr Index B = kGeoLanes;
    for (Index n0 = 0, b = 0; n0 < N; n0 += B, ++b) {
        const Index k = std::min(B, N - n0);
        L* m = mags + b * block_stride;
        unsigned char* c = cls + b * block_stride;
        if constexpr (std::is_same_v<E, double> && std::is_same_v<L, double>) {
            if (k == B && in.contiguous()) {
                classify_doubles<VL>(reinterpret_cast<const double*>(in.at(t, n0)), m, c);
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

}  // namespace
}  // namespace logarithmic
