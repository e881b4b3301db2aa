// Which instruction set the kernels run with, chosen once per process from
// what the CPU reports.
#pragma once

#include <cstdlib>
#include <cstring>

#include "compiler.hpp"

namespace logarithmic {

// Target dispatch. On x86_64 each tile driver is compiled twice, for the
// baseline ISA and with AVX2, and the CPU picks one at run time. This is done
// by hand rather than with `target_clones`, which clang refuses on function
// templates: a `target("avx2")` function template taking the driver as an
// always-inlined lambda compiles the lambda's body, kernels included, for
// AVX2. Neither variant enables FMA (nor does the build contract a * b + c), so
// both round every operation alike and give the same bits.
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
LOGARITHMIC_TARGET("avx2")
decltype(auto) run_avx2(F& f) {
    return f();
}

// 64-bit integer lanes multiply in one instruction only with AVX-512DQ
// (vpmullq, on 32-byte vectors with AVX-512VL); AVX2 builds each such product
// from three 32-bit multiplies. The integer products and the geometric mean
// take this variant where the CPU has it, unless VANTOREL_ISA=avx2 is set in
// the environment (so that tests run the AVX2 variant on such CPUs too);
// asked once. It enables FMA for the explicit fused multiply-adds of the
// geometric mean's quotients (exact_quotient); the build never contracts
// a * b + c on its own (-ffp-contract=off), so every other operation rounds
// as in the other variants.
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
LOGARITHMIC_TARGET("avx2,fma,avx512f,avx512dq,avx512vl")
decltype(auto) run_avx512dq(F& f) {
    return f();
}
#else
#define LOGARITHMIC_AVX2_VARIANT 0
#endif

// Whether the CPU fuses multiply-adds in hardware (std::fma is a slow library
// call elsewhere); asked once.
inline bool cpu_has_fma() {
#if defined(__aarch64__)
    return true;
#elif defined(__x86_64__)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return has;
#else
    return false;
#endif
}

// f(), compiled for the best target this CPU runs. f must be a lambda marked
// LOGARITHMIC_INLINE_LAMBDA so that its body is compiled inside each variant.
template <class F>
LOGARITHMIC_INLINE decltype(auto) on_best_target(F&& f) {
#if LOGARITHMIC_AVX2_VARIANT
    if (cpu_has_avx2()) return run_avx2(f);
#endif
    return f();
}

}  // namespace logarithmic
