#pragma once

#include <cstdint>

namespace parity_watch {

// A finite double's magnitude as digits * 10^exponent, with the digits float.__repr__
// (dtoa mode 0) chooses: the fewest significant digits that read back as the same double,
// and of those the nearest to its exact value (even last digit on a tie). digits has no
// trailing zeros and at most 17 digits; a zero gives {0, 0}.
struct ShortestDecimal {
    std::uint64_t digits;
    int exponent;
};

// bits: the double's IEEE 754 pattern; the sign bit is ignored, NaN and inf are not accepted.
ShortestDecimal shortest_decimal(std::uint64_t bits);

// Writes float.__repr__(x) for a finite x (no NUL) and returns the end. The text is at most
// float_repr_max bytes, but the writer may scribble on anything in [out, out + float_repr_room).
inline constexpr int float_repr_max = 24;
inline constexpr int float_repr_room = 40;
char* write_float_repr(char* out, double x);

}  // namespace parity_watch
