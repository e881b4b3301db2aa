// Shortest round-trip decimal digits of a double: Raffaello Giulietti's Schubfach
// ("The Schubfach way to render doubles", 2020), with 128-bit powers of ten.
//
// All of it is integer arithmetic on the bit pattern: no floating-point operation, so the
// result does not depend on the rounding mode, contraction or any other floating-point flag.
//
// For v = c * 2^q, the doubles' rounding interval around v is [v - d_lo, v + d_hi] (closed when
// c is even, as a correctly rounding reader breaks ties to even; open otherwise). With
// k = floor(log10(the interval's width)), the decimals s * 10^k and (s + 1) * 10^k, s = floor(v / 10^k),
// bracket v and at least one lies in the interval; a decimal with one digit fewer, if any is in
// the interval, is one of the two multiples of 10^(k+1) bracketing v. Only 4v, 4(v - d_lo) and
// 4(v + d_hi) scaled by 10^-k are needed, each rounded to odd so that comparisons against the
// candidates stay exact.

#include "shortest_double.hpp"

#include <bit>
#include <cstring>

#include "pow10_table.hpp"

namespace parity_watch {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr int mantissa_bits = 52;
constexpr std::uint64_t hidden_bit = std::uint64_t{1} << mantissa_bits;
constexpr int exponent_bias = 1075;  // 1023 + 52: v = c * 2^(e - exponent_bias) for a normal e

// floor(log10(2^e)), floor(log10(3/4 * 2^e)) for |e| <= 1500, floor(log2(10^e)) for |e| <= 1233
// (tools/gen_pow10_table.py checks them over the range used). Right shifts of negative values
// are arithmetic from C++20 on.
constexpr int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }
constexpr int floor_log10_three_quarters_pow2(int e) { return (e * 1262611 - 524031) >> 22; }
constexpr int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// floor(cp * g / 2^127), its lowest bit set when the quotient is not an integer (round to odd).
// g exceeds the exact scaled power of ten by less than one, so cp * g exceeds the exact product
// by less than cp < 2^64: the low 64 bits dropped here. Giulietti's analysis bounds how close to
// an integer a nonzero exact fraction can come, well clear of that (and a zero one stays zero).
inline std::uint64_t round_to_odd(const std::uint64_t g[2], std::uint64_t cp) {
    const u128 x = u128{cp} * g[1];
    const u128 y = u128{cp} * g[0] + static_cast<std::uint64_t>(x >> 64);
    return static_cast<std::uint64_t>(y >> 63) | (static_cast<std::uint64_t>(y) != 0 ? 1u : 0u);
}

inline void drop_trailing_zeros(std::uint64_t& d, int& e) {
    if (d % 10 != 0) return;
    if (d % 100000000 == 0) {
        d /= 100000000;
        e += 8;
    }
    if (d % 10000 == 0) {
        d /= 10000;
        e += 4;
    }
    if (d % 100 == 0) {
        d /= 100;
        e += 2;
    }
    if (d % 10 == 0) {
        d /= 10;
        e += 1;
    }
}

ShortestDecimal schubfach(std::uint64_t c, int q, bool lower_closer) {
    const bool even = (c & 1) == 0;
    const std::uint64_t cb = c << 2;
    // At a power of two (other than the smallest normal) the doubles below are twice as dense.
    const std::uint64_t cbl = cb - 2 + (lower_closer ? 1 : 0);
    const std::uint64_t cbr = cb + 2;
    const int k = lower_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    // 0 <= h <= 3, so cb << h stays below 2^58.
    const int h = q + floor_log2_pow10(-k);
    const std::uint64_t* g = detail::pow10_table[-k - detail::pow10_min];

    const std::uint64_t vb = round_to_odd(g, cb << h);
    const std::uint64_t lower = round_to_odd(g, cbl << h) + (even ? 0 : 1);
    const std::uint64_t upper = round_to_odd(g, cbr << h) - (even ? 0 : 1);

    std::uint64_t d;
    int e;
    const std::uint64_t s = vb >> 2;
    // One digit fewer first: the multiples of 10^(k+1) bracketing v, of which at most one is in
    // the interval (it is narrower than 10^(k+1)). Below ten (the smallest subnormals) the
    // shortest has one digit anyway, and the nearest of s, s + 1 is the one.
    const std::uint64_t sp = s / 10;
    const bool up_in = lower <= 40 * sp;
    const bool wp_in = 40 * sp + 40 <= upper;
    if (s >= 10 && up_in != wp_in) {
        d = sp + (wp_in ? 1 : 0);
        e = k + 1;
    } else {
        const bool u_in = lower <= 4 * s;
        const bool w_in = 4 * s + 4 <= upper;
        if (u_in != w_in) {
            d = s + (w_in ? 1 : 0);
        } else {
            // Both in: the nearer to v, the even one on a tie (vb, rounded to odd, equals the even
            // 4s + 2 only when v is exactly halfway).
            const std::uint64_t mid = 4 * s + 2;
            d = s + ((vb > mid || (vb == mid && (s & 1) != 0)) ? 1 : 0);
        }
        e = k;
    }
    drop_trailing_zeros(d, e);
    return {d, e};
}

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint64_t pow10_u64[] = {1ull,
                                       10ull,
                                       100ull,
                                       1000ull,
                                       10000ull,
                                       100000ull,
                                       1000000ull,
                                       10000000ull,
                                       100000000ull,
                                       1000000000ull,
                                       10000000000ull,
                                       100000000000ull,
                                       1000000000000ull,
                                       10000000000000ull,
                                       100000000000000ull,
                                       1000000000000000ull,
                                       10000000000000000ull,
                                       100000000000000000ull};

// Number of decimal digits of 1 <= d < 10^17.
inline int decimal_length(std::uint64_t d) {
    const int t = ((64 - std::countl_zero(d)) * 1233) >> 12;  // floor(log10(2^bits)): n is t or t + 1
    return t + (d >= pow10_u64[t] ? 1 : 0);
}

// Zero-padded digits of v < 10^8 (eight) or v < 10^9 (nine) without divisions: y = v / 10^6
// (resp. / 10^8) in fixed point with 57 fraction bits, rounded up; each multiplication by 100
// then brings the next two digits above the point. The rounding error stays below what would
// change a digit (both checked for every v).
constexpr int fraction_bits = 57;
constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << fraction_bits) - 1;

// The next two digits of y at p; y keeps the rest.
inline void put_pair(char* p, std::uint64_t& y) {
    y = (y & fraction_mask) * 100;
    std::memcpy(p, digit_pairs + 2 * (y >> fraction_bits), 2);
}

inline void put_8_digits(char* p, std::uint32_t v) {
    std::uint64_t y = std::uint64_t{v} * ((std::uint64_t{1} << fraction_bits) / 1000000 + 1);
    std::memcpy(p, digit_pairs + 2 * (y >> fraction_bits), 2);
    put_pair(p + 2, y);
    put_pair(p + 4, y);
    put_pair(p + 6, y);
}

inline void put_9_digits(char* p, std::uint32_t v) {
    std::uint64_t y = std::uint64_t{v} * ((std::uint64_t{1} << fraction_bits) / 100000000 + 1);
    *p = static_cast<char>('0' + (y >> fraction_bits));
    put_pair(p + 1, y);
    put_pair(p + 3, y);
    put_pair(p + 5, y);
    put_pair(p + 7, y);
}

// d < 10^17 as 17 zero-padded digits at p[0, 17).
inline void put_17_digits(char* p, std::uint64_t d) {
    const std::uint64_t hi = d / 100000000;
    put_9_digits(p, static_cast<std::uint32_t>(hi));
    put_8_digits(p + 9, static_cast<std::uint32_t>(d - hi * 100000000));
}

}  // namespace

ShortestDecimal shortest_decimal(std::uint64_t bits) {
    const std::uint64_t m = bits & (hidden_bit - 1);
    const int be = static_cast<int>((bits >> mantissa_bits) & 0x7ff);
    if (be == 0) {
        if (m == 0) return {0, 0};
        return schubfach(m, 1 - exponent_bias, false);
    }
    const std::uint64_t c = hidden_bit | m;
    const int q = be - exponent_bias;
    // An integer below 2^53: every integer there is a double, so its own digits are shortest.
    if (-mantissa_bits <= q && q <= 0) {
        const std::uint64_t f = c >> -q;
        if (f << -q == c) {
            ShortestDecimal r{f, 0};
            drop_trailing_zeros(r.digits, r.exponent);
            return r;
        }
    }
    return schubfach(c, q, m == 0 && be > 1);
}

// repr's layout: positional when the decimal point falls between 4 leading zeros
// (0.0001) and 16 integer digits, else d.ddde+XX with at least two exponent digits;
// ".0" on integral values. The pieces are moved in fixed-size copies (hence the room
// beyond the text), which compile to a few register moves where variable ones would be calls.
char* write_float_repr(char* o, double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    if (bits >> 63) *o++ = '-';
    const ShortestDecimal dec = shortest_decimal(bits);
    if (dec.digits == 0) {
        std::memcpy(o, "0.0", 3);
        return o + 3;
    }
    const int n = decimal_length(dec.digits);
    const int decpt = n + dec.exponent;
    // The digits at tmp[17 - n, 17); zeros on either side, so every copy below reads set bytes.
    char tmp[48];
    std::memset(tmp, '0', sizeof tmp);
    put_17_digits(tmp, dec.digits);
    const char* digits = tmp + 17 - n;
    if (decpt <= -4 || decpt > 16) {
        o[0] = digits[0];
        o[1] = '.';
        std::memcpy(o + 2, digits + 1, 16);
        o += n == 1 ? 1 : n + 1;
        int ex = decpt - 1;
        *o++ = 'e';
        *o++ = ex < 0 ? '-' : '+';
        if (ex < 0) ex = -ex;
        if (ex >= 100) {
            *o++ = static_cast<char>('0' + ex / 100);
            ex %= 100;
        }
        std::memcpy(o, digit_pairs + 2 * ex, 2);
        return o + 2;
    }
    if (decpt <= 0) {
        std::memcpy(o, "0.000", 5);
        o += 2 - decpt;
        std::memcpy(o, digits, 17);
        return o + n;
    }
    if (decpt >= n) {
        // digits, then zeros up to the point: tmp holds zeros past the digits.
        std::memcpy(o, digits, 17);
        std::memcpy(o + n, tmp + 17, 16);
        o += decpt;
        std::memcpy(o, ".0", 2);
        return o + 2;
    }
    std::memcpy(o, digits, 16);
    o[decpt] = '.';
    std::memcpy(o + decpt + 1, digits + decpt, 16);
    return o + n + 1;
}

}  // namespace parity_watch
