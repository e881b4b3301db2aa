#include "exp_batch.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

#include "cpu_dispatch.hpp"
#include "exp_replica.hpp"

#if PYAPI_X86_VARIANTS
#include <immintrin.h>
#endif

namespace logarithmic {
namespace {

using Index = std::ptrdiff_t;
using ExpFn = double (*)(double);

// On glibc, `exp` is an errno-setting wrapper around the computation that the
// library also exports, privately, as `__exp_finite` (no public entry point
// skips the wrapper). The native path detects overflow itself, so calling the
// computation directly saves a third; choose() uses it only once it has
// agreed with `exp` bit for bit on a probe set. Null where there is none.
ExpFn errno_free_exp() {
#if defined(__GLIBC__)
    if (void* sym = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15")) {
        ExpFn f;
        std::memcpy(&f, &sym, sizeof f);
        return f;
    }
#endif
    return nullptr;
}

template <bool Fused, bool RoundToInt = false>
void replica_batch(const double* x, double* e, Index n) {
    for (Index i = 0; i < n; ++i) e[i] = exp_replica::exp<Fused, RoundToInt>(x[i]);
}

double plain_exp(double x) { return std::exp(x); }
ExpFn library_exp = plain_exp;  // the errno-free entry point once proven (choose())

void library_batch(const double* x, double* e, Index n) {
    for (Index i = 0; i < n; ++i) e[i] = library_exp(x[i]);
}

#if PYAPI_X86_VARIANTS
// The fused replica four lanes at a time; a lane outside the main range
// (|x| < 2^-54 or >= 512, inf, NaN) is computed again on its own.
PYAPI_TARGET_AVX2_FMA void avx2_batch(const double* x, double* e, Index n) {
    using namespace exp_replica;
    const __m256d inv_ln2n = _mm256_set1_pd(kInvLn2N), shift = _mm256_set1_pd(kShift);
    const __m256d hi = _mm256_set1_pd(kNegLn2HiN), lo = _mm256_set1_pd(kNegLn2LoN);
    const __m256d c2 = _mm256_set1_pd(kC2), c3 = _mm256_set1_pd(kC3), c4 = _mm256_set1_pd(kC4),
                  c5 = _mm256_set1_pd(kC5);
    const __m256i top_mask = _mm256_set1_epi64x(0x7ff), top_low = _mm256_set1_epi64x(kTopLow),
                  top_span = _mm256_set1_epi64x(kTopSpan), idx_mask = _mm256_set1_epi64x(127);
    const auto* table = reinterpret_cast<const long long*>(kTable);
    Index i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256i top =
            _mm256_sub_epi64(_mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(v), 52), top_mask), top_low);
        // unsigned top - low < span  <=>  0 <= top - low < span (both small)
        const __m256i in_range =
            _mm256_and_si256(_mm256_cmpgt_epi64(top_span, top), _mm256_cmpgt_epi64(top, _mm256_set1_epi64x(-1)));
        const int in_range_lanes = _mm256_movemask_pd(_mm256_castsi256_pd(in_range));
        __m256d kd = _mm256_fmadd_pd(v, inv_ln2n, shift);
        const __m256i ki = _mm256_castpd_si256(kd);
        kd = _mm256_sub_pd(kd, shift);
        const __m256d r = _mm256_fmadd_pd(kd, lo, _mm256_fmadd_pd(kd, hi, v));
        // Table entries by gathers: faster here than eight scalar loads and
        // inserts (slower on some cores: AMD before Zen 3, Intel under the
        // Gather Data Sampling mitigation; the bits are the same either way).
        const __m256i idx = _mm256_slli_epi64(_mm256_and_si256(ki, idx_mask), 1);  // entry 2k
        const __m256d tail = _mm256_castsi256_pd(_mm256_i64gather_epi64(table, idx, 8));
        const __m256i sbits = _mm256_add_epi64(_mm256_i64gather_epi64(table + 1, idx, 8), _mm256_slli_epi64(ki, 45));
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), _mm256_fmadd_pd(r, c5, c4),
                                            _mm256_fmadd_pd(_mm256_fmadd_pd(r, c3, c2), r2, _mm256_add_pd(r, tail)));
        const __m256d scale = _mm256_castsi256_pd(sbits);
        _mm256_storeu_pd(e + i, _mm256_fmadd_pd(scale, tmp, scale));
        if (in_range_lanes != 0xF)
            for (Index j = 0; j < 4; ++j)
                if (!(in_range_lanes >> j & 1)) e[i + j] = exp_replica::exp<true>(x[i + j]);
    }
    for (; i < n; ++i) e[i] = exp_replica::exp<true>(x[i]);
}

// The fused replica on eight lanes, operation for operation as avx2_batch;
// `in_range` gets the lanes inside the main range. Integer steps are written
// with the vector operators on unsigned lanes: GCC 12's shift and gather
// intrinsics start from an undefined register that -Wmaybe-uninitialized
// reports.
PYAPI_TARGET_AVX512 LOGARITHMIC_INLINE __m512d avx512_lanes(__m512d v, __mmask8& in_range) {
    using namespace exp_replica;
    typedef std::uint64_t U64x8 LOGARITHMIC_VECTOR(64);
    const auto* table = reinterpret_cast<const long long*>(kTable);
    // 2^-54 <= |x| < 512: the bits of |x| less those of 2^-54 below the span,
    // unsigned (inf and NaN lie above it, smaller values wrap round)
    const U64x8 above = ((U64x8)_mm512_castpd_si512(v) & INT64_MAX) - (std::uint64_t{kTopLow} << 52);
    in_range = _mm512_cmplt_epu64_mask((__m512i)above, _mm512_set1_epi64(std::int64_t{kTopSpan} << 52));
    const __m512d shift = _mm512_set1_pd(kShift);
    __m512d kd = _mm512_fmadd_pd(v, _mm512_set1_pd(kInvLn2N), shift);
    const U64x8 ki = (U64x8)_mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, shift);
    const __m512d r =
        _mm512_fmadd_pd(kd, _mm512_set1_pd(kNegLn2LoN), _mm512_fmadd_pd(kd, _mm512_set1_pd(kNegLn2HiN), v));
    // Table entries by gathers: on this CPU about 0.7 ns a value against 1.2
    // looking the 256 entries up in registers (16 two-register permutes and
    // 14 blends) and 0.9 loading each entry pair from a scalar index
    const __m512i idx = (__m512i)((ki & 127) << 1), zero = _mm512_setzero_si512();  // entry 2k
    const __m512d tail = _mm512_castsi512_pd(_mm512_mask_i64gather_epi64(zero, 0xFF, idx, table, 8));
    const U64x8 sbits = (U64x8)_mm512_mask_i64gather_epi64(zero, 0xFF, idx, table + 1, 8) + (ki << 45);
    const __m512d scale = _mm512_castsi512_pd((__m512i)sbits);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d tmp = _mm512_fmadd_pd(
        _mm512_mul_pd(r2, r2), _mm512_fmadd_pd(r, _mm512_set1_pd(kC5), _mm512_set1_pd(kC4)),
        _mm512_fmadd_pd(_mm512_fmadd_pd(r, _mm512_set1_pd(kC3), _mm512_set1_pd(kC2)), r2, _mm512_add_pd(r, tail)));
    return _mm512_fmadd_pd(scale, tmp, scale);
}

// The lanes set in `out`, computed again on their own (with the fused
// multiply-adds inlined).
PYAPI_TARGET_AVX512 void recompute(const double* x, double* e, unsigned out) {
    for (; out; out &= out - 1) {
        const int j = __builtin_ctz(out);
        e[j] = exp_replica::exp<true>(x[j]);
    }
}

PYAPI_TARGET_AVX512 void avx512_batch(const double* x, double* e, Index n) {
    __mmask8 in_range;
    Index i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm512_storeu_pd(e + i, avx512_lanes(_mm512_loadu_pd(x + i), in_range));
        if (in_range != 0xFF) recompute(x + i, e + i, static_cast<unsigned char>(~in_range));
    }
    if (i < n) {  // the last n % 8, loaded and stored under a mask (0.0 in the others)
        const __mmask8 live = static_cast<__mmask8>((1u << (n - i)) - 1);
        _mm512_mask_storeu_pd(e + i, live, avx512_lanes(_mm512_maskz_loadu_pd(live, x + i), in_range));
        recompute(x + i, e + i, live & ~in_range);
    }
}
#endif

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The proof's inputs: a dense sweep of exp's whole range, random values of
// moderate size, the overflow, underflow and subnormal edges, the special
// values, and the inputs that tell the library's two kinds of build apart.
std::vector<double> make_probe_inputs() {
    std::vector<double> xs;
    xs.reserve(150000);
    for (double x = -760.0; x <= 720.0; x += 0.0137) xs.push_back(x);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        xs.push_back((static_cast<double>(state >> 11) * 0x1p-53 - 0.5) * 8.0);
    }
    const double edges[] = {0.0,
                            -0.0,
                            709.782712893384,
                            709.7827128933841,
                            -708.3964185322641,
                            -708.3964185322642,
                            -745.1332191019411,
                            -745.1332191019412,
                            -744.44007192138126,
                            -740.0,
                            -720.5,
                            512.0,
                            -512.0,
                            511.99999999999994,
                            1024.0,
                            -1024.0,
                            0x1p-54,
                            -0x1p-54,
                            0x1p-55,
                            1e-300,
                            -1e-300,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            -std::numeric_limits<double>::max()};
    for (double x : edges) xs.push_back(x);
    // Products x * 128/ln2 within an ulp of a half, where the shift trick and
    // round-half-away pick different table entries and the results differ:
    // they tell the library's two kinds of fused build apart (found by
    // scanning every third half-way point of the main range with both).
    static constexpr double kHalfway[] = {
        -0x1.d3e8d7fda5cbbp+8, -0x1.cac3647d61bd3p+8, -0x1.be8be996f1eb4p+8, -0x1.b5a900dfaacb7p+8,
        -0x1.b0658679a8ea3p+8, -0x1.ad8db8835a77ap+8, -0x1.9e8ae9ac4b9ffp+8, -0x1.9dece00ef2e91p+8,
        -0x1.9ace5ea317b8fp+8, -0x1.94e0609a0db41p+8, -0x1.8f9ce6340bd2dp+8, -0x1.8eea1137e4116p+8,
        -0x1.8b5f6e456ddd6p+8, -0x1.688ac91108ee6p+8, -0x1.639a7c2643378p+8, -0x1.3f9e8f15fbe56p+8,
        -0x1.dc4333e87b371p+7, -0x1.9eda9fed0ff33p+7, -0x1.9acae7689fe1dp+7, -0x1.8c0aa35a8df8dp+7,
        -0x1.83eb3251add61p+7, -0x1.30b565bc63dfp+7,  -0x1.19a3c88eb4204p+7, -0x1.050a51d6673cfp+7,
        -0x1.f21a20bfa977cp+6, -0x1.f0699aa53d685p+6, -0x1.c71567d0252a6p+6, -0x1.ba164c8ebe8c7p+6,
        -0x1.b8eadc064c5a6p+6, -0x1.d4ad011e24c0ap+5, -0x1.951f742892cbap+5, -0x1.df7c0c43e5306p+2,
        -0x1.82f30cc42946bp+2, -0x1.8ff228058fe4ap+0, 0x1.532a636fdd36ep+4,  0x1.20a17d4c719e6p+5,
        0x1.825d547ff02dap+5,  0x1.8a6c22d69114bp+5,  0x1.c5d1033c541edp+5,  0x1.d94fac1e6e0bcp+5,
        0x1.df6b6991a5f4bp+5,  0x1.31046a8b103a7p+6,  0x1.8d8d6a0acc242p+6,  0x1.b82e52ccd50b7p+6,
        0x1.d41f9a330b457p+6,  0x1.18544cd963979p+7,  0x1.821ef263830dep+7,  0x1.a0caeb081912p+7,
        0x1.a6de5722315d2p+7,  0x1.bf23b63172ebcp+7,  0x1.db46e5ae66d8cp+7,  0x1.dc7aa78ff8a8ap+7,
        0x1.fa675132b77e9p+7,  0x1.0ad4f624aae3p+8,   0x1.1b6f570ac6f0ap+8,  0x1.2e32d997997e4p+8,
        0x1.2fdf370575becp+8,  0x1.38fc592c9a2f7p+8,  0x1.46636d480c025p+8,  0x1.4695555ec9b55p+8,
        0x1.6ccb06c806c32p+8,  0x1.7836b8a6effa1p+8,  0x1.986dc954e3c75p+8,  0x1.a76c6f7f62d02p+8,
        0x1.ab35748e4623ep+8,  0x1.b785e38014cf5p+8,  0x1.c43a229f5ee0cp+8,  0x1.c8f8877366e4ap+8,
        0x1.e969d1913802cp+8};
    for (double x : kHalfway) xs.push_back(x);
    // Each side of the subnormal and overflow boundaries, one ulp apart.
    for (double x0 : {-708.39641853226408, -709.08956571282405, -744.0, 709.0, 709.78})
        for (double x = x0, k = 0; k < 64; ++k, x = std::nextafter(x, -1e9)) xs.push_back(x);
    return xs;
}

// A batch function agrees with the library's exp bit for bit on every probe input.
template <class Batch>
bool agrees_with_library(Batch&& batch, const std::vector<double>& xs) {
    std::vector<double> got(xs.size());
    batch(xs.data(), got.data(), static_cast<Index>(xs.size()));
    for (size_t i = 0; i < xs.size(); ++i)
        if (!same_bits(got[i], std::exp(xs[i]))) return false;
    return true;
}

using Batch = void (*)(const double*, double*, Index);

// The first candidate that passes the proof. The fused replica is tried only
// where the CPU fuses in hardware: elsewhere std::fma is a slow library call,
// and the library is built unfused there anyway.
Batch choose() {
    const std::vector<double> xs = make_probe_inputs();
    // library_exp is read only once choose() has returned
    if (const ExpFn errno_free = errno_free_exp()) {
        library_exp = errno_free;
        if (!agrees_with_library(library_batch, xs)) library_exp = plain_exp;
    }
    if (const char* v = std::getenv("VANTOREL_EXP"); v && std::strcmp(v, "library") == 0) return library_batch;
    bool fused = cpu_has_fma();
#if PYAPI_X86_VARIANTS
    if (cpu_has_avx2() && fused) {
        if (cpu_has_avx512dq() && agrees_with_library(avx512_batch, xs)) return avx512_batch;
        if (agrees_with_library(avx2_batch, xs)) return avx2_batch;
        fused = false;  // the lane-by-lane fused replica computes the same
    }
#endif
    if (fused && agrees_with_library(replica_batch<true>, xs)) return replica_batch<true>;
    if (fused && agrees_with_library(replica_batch<true, true>, xs)) return replica_batch<true, true>;
    if (agrees_with_library(replica_batch<false>, xs)) return replica_batch<false>;
    return library_batch;
}

}  // namespace

void exp_batch(const double* x, double* e, Index n) {
    static const Batch batch = choose();  // a fact about this process's CPU and C library
    batch(x, e, n);
}

}  // namespace logarithmic
