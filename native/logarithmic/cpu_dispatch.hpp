// Which instruction set the kernels run with, chosen once per process from
// what the CPU reports (pyapi/cpu_features.hpp).
#pragma once

#include <cstdlib>
#include <cstring>

#include "compiler.hpp"
#include "pyapi/cpu_features.hpp"

namespace logarithmic {

// Target dispatch. On x86_64 each tile driver is compiled twice, for the
// baseline ISA and with AVX2, and the CPU picks one at run time. This is done
// by hand rather than with `target_clones`, which clang refuses on function
// templates: a `target("avx2")` function template taking the driver as an
// always-inlined lambda compiles the lambda's body, kernels included, for
// AVX2. Neither variant enables FMA (nor does the build contract a * b + c), so
// both round every operation alike and give the same bits.
//
// A VANTOREL_PORTABLE_PATHS build compiles the baseline variant only
// (PYAPI_X86_VARIANTS is 0), so that a test build runs on an AVX2 machine the
// code that other CPUs and 64-bit ARM run.
#if PYAPI_X86_VARIANTS

// Whether this CPU (and its operating system) runs AVX2.
inline bool cpu_has_avx2() { return pyapi::cpu::has_avx2(); }

template <class F>
PYAPI_TARGET_AVX2 decltype(auto) run_avx2(F& f) {
    return f();
}

// 64-bit integer lanes multiply in one instruction only with AVX-512DQ
// (vpmullq, on 32-byte vectors with AVX-512VL); AVX2 builds each such product
// from three 32-bit multiplies. The integer products and the geometric mean
// take this variant where the CPU has it, unless VANTOREL_ISA=avx2 is set in
// the environment (so that tests run the AVX2 variant on such CPUs too);
// asked once. It enables FMA for the explicit fused multiply-adds of the
// geometric mean's quotients (quotients() in geo_table_means.hpp); the build never contracts
// a * b + c on its own (-ffp-contract=off), so every other operation rounds
// as in the other variants.
inline bool cpu_has_avx512dq() {
    static const bool has = [] {
        const char* cap = std::getenv("VANTOREL_ISA");
        if (cap && std::strcmp(cap, "avx2") == 0) return false;
        return pyapi::cpu::has_avx512();
    }();
    return has;
}

template <class F>
PYAPI_TARGET_AVX512 decltype(auto) run_avx512dq(F& f) {
    return f();
}
#endif

// Whether the CPU fuses multiply-adds in hardware (std::fma is a slow library
// call elsewhere).
inline bool cpu_has_fma() { return pyapi::cpu::has_fma(); }

// f(), compiled for the best target this CPU runs. f must be a lambda marked
// LOGARITHMIC_INLINE_LAMBDA so that its body is compiled inside each variant.
template <class F>
LOGARITHMIC_INLINE decltype(auto) on_best_target(F&& f) {
#if PYAPI_X86_VARIANTS
    if (cpu_has_avx2()) return run_avx2(f);
#endif
    return f();
}

}  // namespace logarithmic
