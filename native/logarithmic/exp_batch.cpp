#include "exp_batch.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "c_exp.hpp"
#include "exp_replica.hpp"

#if defined(__x86_64__) && !defined(VANTOREL_PORTABLE_PATHS)
#include <immintrin.h>
#define LOGARITHMIC_EXP_AVX2 1
#endif

namespace logarithmic {
namespace {

using Index = std::ptrdiff_t;

template <bool Fused>
void replica_batch(const double* x, double* e, Index n) {
    for (Index i = 0; i < n; ++i) e[i] = exp_replica::exp<Fused>(x[i]);
}

void library_batch(const double* x, double* e, Index n) {
    const ExpFn f = c_exp();
    for (Index i = 0; i < n; ++i) e[i] = f(x[i]);
}

#if LOGARITHMIC_EXP_AVX2
// The fused replica four lanes at a time; a group with any lane outside the
// main range (|x| < 2^-54 or >= 512, inf, NaN) goes lane by lane instead.
__attribute__((target("avx2,fma"))) void avx2_batch(const double* x, double* e, Index n) {
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
        const __m256i top = _mm256_sub_epi64(
            _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(v), 52), top_mask), top_low);
        // unsigned top - low < span  <=>  0 <= top - low < span (both small)
        const __m256i in_range = _mm256_and_si256(_mm256_cmpgt_epi64(top_span, top),
                                                  _mm256_cmpgt_epi64(top, _mm256_set1_epi64x(-1)));
        if (_mm256_movemask_pd(_mm256_castsi256_pd(in_range)) != 0xF) {
            for (Index j = i; j < i + 4; ++j) e[j] = exp_replica::exp<true>(x[j]);
            continue;
        }
        __m256d kd = _mm256_fmadd_pd(v, inv_ln2n, shift);
        const __m256i ki = _mm256_castpd_si256(kd);
        kd = _mm256_sub_pd(kd, shift);
        const __m256d r = _mm256_fmadd_pd(kd, lo, _mm256_fmadd_pd(kd, hi, v));
        // Table entries by scalar loads: gathers are slower on many x86 cores.
        alignas(32) std::uint64_t k[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(k), _mm256_and_si256(ki, idx_mask));
        const __m256d tail = _mm256_castsi256_pd(_mm256_set_epi64x(table[2 * k[3]], table[2 * k[2]],
                                                                   table[2 * k[1]], table[2 * k[0]]));
        const __m256i sbits = _mm256_add_epi64(_mm256_set_epi64x(table[2 * k[3] + 1], table[2 * k[2] + 1],
                                                                 table[2 * k[1] + 1], table[2 * k[0] + 1]),
                                               _mm256_slli_epi64(ki, 45));
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), _mm256_fmadd_pd(r, c5, c4),
                                            _mm256_fmadd_pd(_mm256_fmadd_pd(r, c3, c2), r2, _mm256_add_pd(r, tail)));
        const __m256d scale = _mm256_castsi256_pd(sbits);
        _mm256_storeu_pd(e + i, _mm256_fmadd_pd(scale, tmp, scale));
    }
    for (; i < n; ++i) e[i] = exp_replica::exp<true>(x[i]);
}
#endif

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The proof: a batch function agrees with the library's exp over its whole
// range (a dense sweep), on random values of moderate size, near the
// overflow, underflow and subnormal edges, and on the special values.
bool agrees_with_library(void (*batch)(const double*, double*, Index)) {
    std::vector<double> xs;
    xs.reserve(150000);
    for (double x = -760.0; x <= 720.0; x += 0.0137) xs.push_back(x);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        xs.push_back((static_cast<double>(state >> 11) * 0x1p-53 - 0.5) * 8.0);
    }
    const double edges[] = {0.0, -0.0, 709.782712893384, 709.7827128933841, -708.3964185322641,
                            -708.3964185322642, -745.1332191019411, -745.1332191019412, -744.44007192138126,
                            -740.0, -720.5, 512.0, -512.0, 511.99999999999994, 1024.0, -1024.0, 0x1p-54,
                            -0x1p-54, 0x1p-55, 1e-300, -1e-300, std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                            -std::numeric_limits<double>::max()};
    for (double x : edges) xs.push_back(x);
    // Each side of the subnormal and overflow boundaries, one ulp apart.
    for (double x0 : {-708.39641853226408, -709.08956571282405, -744.0, 709.0, 709.78})
        for (double x = x0, k = 0; k < 64; ++k, x = std::nextafter(x, -1e9)) xs.push_back(x);
    std::vector<double> got(xs.size());
    batch(xs.data(), got.data(), static_cast<Index>(xs.size()));
    for (size_t i = 0; i < xs.size(); ++i)
        if (!same_bits(got[i], std::exp(xs[i]))) return false;
    return true;
}

bool hardware_fma() {
#if defined(__aarch64__)
    return true;
#elif defined(__x86_64__) && defined(__GNUC__)
    return __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

using Batch = void (*)(const double*, double*, Index);

// The first candidate that passes the proof. The fused replica is tried only
// where the CPU fuses in hardware: elsewhere std::fma is a slow library call,
// and the library is built unfused there anyway.
Batch choose() {
    if (const char* v = std::getenv("VANTOREL_EXP"); v && std::strcmp(v, "library") == 0) return library_batch;
    bool fused = hardware_fma();
#if LOGARITHMIC_EXP_AVX2
    if (__builtin_cpu_supports("avx2") && fused) {
        if (agrees_with_library(avx2_batch)) return avx2_batch;
        fused = false;  // the lane-by-lane fused replica computes the same
    }
#endif
    if (fused && agrees_with_library(replica_batch<true>)) return replica_batch<true>;
    if (agrees_with_library(replica_batch<false>)) return replica_batch<false>;
    return library_batch;
}

}  // namespace

void exp_batch(const double* x, double* e, Index n) {
    static const Batch batch = choose();  // a fact about this process's CPU and C library
    batch(x, e, n);
}

}  // namespace logarithmic
