// The C library's exp, as math.exp computes it.
#pragma once

namespace logarithmic {

using ExpFn = double (*)(double);

// On glibc, `exp` is an errno-setting wrapper around the computation that the
// library also exports as `__exp_finite`; the native path detects overflow
// itself, so it calls the computation directly (a third cheaper) when the
// library has it and it agrees with `exp` bit for bit on a probe set.
// Otherwise `exp` itself.
ExpFn c_exp();

}  // namespace logarithmic
