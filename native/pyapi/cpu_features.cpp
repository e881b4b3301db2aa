#include "cpu_features.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace pyapi::cpu {

Features detect() noexcept {
    Features f;
#if defined(__x86_64__)
    // The compiler's runtime checks AVX and AVX-512 against the state the
    // operating system enables (XGETBV): a CPU that has them under a system
    // that does not save their registers reports none. It may not have run
    // its own initialiser yet when a module is loaded.
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2") != 0;
    f.fma = __builtin_cpu_supports("fma") != 0;
    f.avx512f = __builtin_cpu_supports("avx512f") != 0;
    f.avx512dq = __builtin_cpu_supports("avx512dq") != 0;
    f.avx512vl = __builtin_cpu_supports("avx512vl") != 0;
    // The SHA extension is read from CPUID itself (not every compiler's
    // runtime knows it); it and SSE4.1 / SSSE3 use the 16-byte registers,
    // which every x86-64 system saves.
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        f.sse41 = (c >> 19) & 1;
        f.ssse3 = (c >> 9) & 1;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) f.sha = (b >> 29) & 1;
    }
#endif
    return f;
}

}  // namespace pyapi::cpu
