// The geometric mean's exponentials, many at a time, bit for bit as the C
// library's exp (the function math.exp calls).
#pragma once

#include <cstddef>

namespace logarithmic {

// e[i] = exp(x[i]) for i < n. How: a replica of the library's algorithm (four lanes at a time where the
// CPU allows), chosen once per process after it has been proven bit for bit
// against the library's own exp; otherwise the library's exp, one value at a
// time. The environment variable VANTOREL_EXP=library forces the latter, so
// that tests can compare the two.
void exp_batch(const double* x, double* e, std::ptrdiff_t n);

}  // namespace logarithmic
