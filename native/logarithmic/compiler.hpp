// Compiler specifics of the window kernels, kept in one place. The kernels
// build with GCC and clang (Apple's compiler is a clang), on x86_64 and on
// 64-bit ARM; both compilers accept every attribute below.
#pragma once

// GCC and clang vector extensions: `typedef T V LOGARITHMIC_VECTOR(N)` declares
// an N-byte vector of T with element-wise operators, lowered to the widest
// instructions of the function's target (16-byte halves on baseline x86_64 and
// on ARM, whole AVX2 registers where AVX2 is enabled). Floating-point vectors
// here are 16 or 32 bytes, whole registers or pairs of them, so every lane an
// operation computes is a lane the program asked for and no lane of unknown
// value can raise a flag. (A compiler that vectorises scalar code may compute
// such lanes: it widens a pair of float operations to a 4-lane register.)
#define LOGARITHMIC_VECTOR(bytes) __attribute__((vector_size(bytes)))

// A vector type readable and writable at any element-aligned address, through
// pointers of its element type (stores through it keep the caller's vectors in
// registers, where a memcpy from the argument's address would not under GCC).
#define LOGARITHMIC_UNALIGNED(elem) __attribute__((aligned(alignof(elem)), may_alias))

// The kernels are templates inlined into the tile drivers, so that one driver
// compiled for a target (cpu_dispatch.hpp; the targets are spelled in
// pyapi/cpu_features.hpp) compiles everything it runs for that target.
#define LOGARITHMIC_INLINE inline __attribute__((always_inline))
#define LOGARITHMIC_INLINE_LAMBDA __attribute__((always_inline))
