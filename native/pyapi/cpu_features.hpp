// What the CPU this process runs on offers, asked in one place for every
// module: the instruction-set variants of the window kernels and the SHA-256
// rounds are chosen from it. A fact about the process, not about a module
// object, so it is asked once per process and never changes.
//
// The target attributes of every function compiled beyond the build's
// baseline are spelled here too (PYAPI_TARGET_*), so that a variant and the
// check that guards it name the same instruction sets.
#pragma once

// Whether this build compiles the x86-64 variants beside the baseline code.
// VANTOREL_PORTABLE_PATHS=1 (a build option of test builds) leaves them out,
// so that a machine that has the extensions runs the code that other CPUs
// and 64-bit ARM run.
#if defined(__x86_64__) && !(defined(VANTOREL_PORTABLE_PATHS) && VANTOREL_PORTABLE_PATHS)
#define PYAPI_X86_VARIANTS 1
#else
#define PYAPI_X86_VARIANTS 0
#endif

#if PYAPI_X86_VARIANTS
// A function compiled for these instruction sets; it may run only where the
// matching pyapi::cpu check below holds.
#define PYAPI_TARGET(isa) __attribute__((target(isa)))
// The SHA extensions' rounds (cpu::has_sha_rounds).
#define PYAPI_TARGET_SHA PYAPI_TARGET("sha,sse4.1,ssse3")
// 32-byte vectors without fused multiply-adds (cpu::has_avx2).
#define PYAPI_TARGET_AVX2 PYAPI_TARGET("avx2")
// 32-byte vectors with fused multiply-adds (cpu::has_avx2 and cpu::has_fma).
#define PYAPI_TARGET_AVX2_FMA PYAPI_TARGET("avx2,fma")
// 64-byte vectors, 64-bit integer multiplies, masks on 32-byte vectors, fused
// multiply-adds (cpu::has_avx512).
#define PYAPI_TARGET_AVX512 PYAPI_TARGET("avx2,fma,avx512f,avx512dq,avx512vl")
#endif

namespace pyapi::cpu {

struct Features {
    // Each true only where the operating system also saves the registers the
    // extension uses (the extended state XGETBV reports, for AVX and AVX-512).
    bool sse41 = false, ssse3 = false, sha = false;
    bool avx2 = false, fma = false;
    bool avx512f = false, avx512dq = false, avx512vl = false;
};

// Asks the CPU and the operating system (cpu_features.cpp).
Features detect() noexcept;

// This CPU's features, detected on first use (thread-safe) and kept: the
// kernels ask at every dispatch.
inline const Features& features() noexcept {
    static const Features f = detect();
    return f;
}

// The SHA-256 rounds of the SHA extensions (PYAPI_TARGET_SHA).
inline bool has_sha_rounds() noexcept {
    const Features& f = features();
    return f.sha && f.sse41 && f.ssse3;
}

// AVX2 (PYAPI_TARGET_AVX2).
inline bool has_avx2() noexcept { return features().avx2; }

// Fused multiply-adds in hardware (std::fma is a slow library call where
// there are none). Every 64-bit ARM core has them.
inline bool has_fma() noexcept {
#if defined(__aarch64__)
    return true;
#else
    return features().fma;
#endif
}

// AVX-512F with DQ and VL (PYAPI_TARGET_AVX512).
inline bool has_avx512() noexcept {
    const Features& f = features();
    return f.avx512f && f.avx512dq && f.avx512vl;
}

}  // namespace pyapi::cpu
