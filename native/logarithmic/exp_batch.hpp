// The geometric mean's exponentials, many at a time, bit for bit as the C
// library's exp (the function math.exp calls).
#pragma once

#include <cstddef>

namespace logarithmic {

// e[i] = exp(x[i]) for i < n: a replica of the library's algorithm (eight lanes
// at a time with AVX-512, four with AVX2, where the CPU allows), once proven
// bit for bit against the library's exp in this process; else the library's
// exp, a value at a time. VANTOREL_EXP=library forces the library's exp and
// VANTOREL_ISA=avx2 the four-lane replica, so that tests can compare them.
void exp_batch(const double* x, double* e, std::ptrdiff_t n);

}  // namespace logarithmic
