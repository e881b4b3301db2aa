// C library specifics of the exponentials, kept in one place.
#pragma once

#include <cstring>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace logarithmic {

using ExpFn = double (*)(double);

// On glibc, `exp` is an errno-setting wrapper around the computation that the
// library also exports, privately, as `__exp_finite` (no public entry point
// skips the wrapper). The native path detects overflow itself, so calling the
// computation directly saves a third; the caller uses it only once it has
// agreed with `exp` bit for bit on a probe set. Null where there is none.
inline ExpFn errno_free_exp() {
#if defined(__GLIBC__)
    if (void* sym = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15")) {
        ExpFn f;
        std::memcpy(&f, &sym, sizeof f);
        return f;
    }
#endif
    return nullptr;
}

}  // namespace logarithmic
