// Invariant checks for test builds.
//
// PYAPI_ASSERT(cond) states something the code relies on and no caller can break: a tile
// edge inside its array, a cache filled before use, a reference held. Built with assertions
// (no NDEBUG: the VANTOREL_ASSERTS option, which one CI leg uses), a false condition prints
// file:line and the condition to stderr and aborts the process, so the leg fails at the
// broken invariant instead of somewhere later. In release builds it compiles to nothing and
// `cond` is not evaluated (it must have no side effect the code needs). Conditions a caller
// can reach are errors to raise, never assertions.
#pragma once

#ifdef NDEBUG
// Unevaluated, but still compiled: a condition naming a removed variable fails every build.
#define PYAPI_ASSERT(cond) static_cast<void>(sizeof(static_cast<bool>(cond)))
#else
#include <cstdio>
#include <cstdlib>

namespace pyapi::detail {
[[noreturn]] inline void assert_failed(const char* file, int line, const char* cond) noexcept {
    std::fprintf(stderr, "%s:%d: PYAPI_ASSERT(%s) failed\n", file, line, cond);
    std::fflush(stderr);
    std::abort();
}
}  // namespace pyapi::detail

#define PYAPI_ASSERT(cond) \
    (static_cast<bool>(cond) ? static_cast<void>(0) : ::pyapi::detail::assert_failed(__FILE__, __LINE__, #cond))
#endif
