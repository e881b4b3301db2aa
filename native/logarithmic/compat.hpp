// Compiler and platform specifics of the window kernels, kept in one place.
// The kernels build with GCC and clang (Apple's compiler is a clang), on
// x86_64 and on 64-bit ARM.
#pragma once

#include <cstdlib>
#include <cstring>

// GCC and clang vector extensions: `typedef T V LOGARITHMIC_VECTOR(N)` declares
// an N-byte vector of T with element-wise operators, lowered to the widest
// instructions of the function's target (16-byte halves on baseline x86_64 and
// on ARM, whole AVX2 registers where AVX2 is enabled). Floating-point vectors
// here are 16 or 32 bytes, whole registers or pairs of them, so every lane an
// operation computes is a lane the program asked for and no lane of unknown
// value can raise a flag. (A compiler that vectorises scalar code may compute
// such lanes: it widens a pair of float operations to a 4-lane register.)
#define LOGARITHMIC_VECTOR(bytes) __attribute__((vector_size(bytes)))

// The kernels are templates inlined into the tile drivers, so that one driver
// compiled for a target (below) compiles everything it runs for that target.
#define LOGARITHMIC_INLINE inline __attribute__((always_inline))
#define LOGARITHMIC_INLINE_LAMBDA __attribute__((always_inline))

// Passing a 32-byte vector by value has another ABI when AVX is enabled, which
// GCC and clang point out (-Wpsabi). Vectors cross no call boundary here (only
// always-inlined helpers take them), so the note is noise.
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace logarithmic {

// Target dispatch. On x86_64 each tile driver is compiled twice, for the
// baseline ISA and with AVX2, and the CPU picks one at run time. This is done
// by hand rather than with `target_clones`, which clang refuses on function
// templates: a `target("avx2")` function template taking the driver as an
// always-inlined lambda compiles the lambda's body, kernels included, for
// AVX2. Neither variant enables FMA, so both round every operation alike and
// give the same bits.
//
// VANTOREL_PORTABLE_PATHS=1 (a build option) compiles the baseline variant
// only, so that a test build runs on an AVX2 machine the code that other
// CPUs and 64-bit ARM run.
#if defined(__x86_64__) && !(defined(VANTOREL_PORTABLE_PATHS) && VANTOREL_PORTABLE_PATHS)
#define LOGARITHMIC_AVX2_VARIANT 1

// Whether this CPU (and its operating system) runs AVX2; asked once.
inline bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();  // may run before the runtime's own initialiser
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

template <class F>
__attribute__((target("avx2"))) decltype(auto) run_avx2(F& f) {
    return f();
}

// 64-bit integer lanes multiply in one instruction only with AVX-512DQ
// (vpmullq, on 32-byte vectors with AVX-512VL); AVX2 builds each such product
// from three 32-bit multiplies. The integer products take this variant where
// the CPU has it, unless VANTOREL_ISA=avx2 is set in the environment (so that
// tests run the AVX2 variant on such CPUs too); asked once.
inline bool cpu_has_avx512dq() {
    static const bool has = [] {
        __builtin_cpu_init();
        const char* cap = std::getenv("VANTOREL_ISA");
        if (cap && std::strcmp(cap, "avx2") == 0) return false;
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
    }();
    return has;
}

template <class F>
__attribute__((target("avx2,avx512f,avx512dq,avx512vl"))) decltype(auto) run_avx512dq(F& f) {
    return f();
}
#else
#define LOGARITHMIC_AVX2_VARIANT 0
#endif

template <class F>
decltype(auto) run_baseline(F& f) {
    return f();
}

// f(), compiled for the best target this CPU runs. f must be a lambda marked
// LOGARITHMIC_INLINE_LAMBDA so that its body is compiled inside each variant.
template <class F>
LOGARITHMIC_INLINE decltype(auto) on_best_target(F&& f) {
#if LOGARITHMIC_AVX2_VARIANT
    if (cpu_has_avx2()) return run_avx2(f);
#endif
    return run_baseline(f);
}

// on_best_target for kernels whose inner work is 64-bit integer multiplies.
template <class F>
LOGARITHMIC_INLINE decltype(auto) on_best_target_for_int64(F&& f) {
#if LOGARITHMIC_AVX2_VARIANT
    if (cpu_has_avx512dq()) return run_avx512dq(f);
#endif
    return on_best_target(f);
}

}  // namespace logarithmic
