// Checks parity_watch::shortest_decimal and write_float_repr against the C++ library's own
// shortest round-trip conversion, std::to_chars(x, std::chars_format::scientific), whose
// digits are float.__repr__'s (shortest, then nearest, ties to even).
//
// Not part of the build: tests/test_parity_watch_floats.py compiles and runs it, e.g.
//   g++ -O2 -std=c++20 -Inative/parity_watch tests/native/shortest_double_check.cpp
//       native/parity_watch/shortest_double.cpp -o /tmp/sdc && /tmp/sdc 50000000
// Argument: how many random bit patterns (default 50 million); the fixed sets always run.
// Prints one line per set and exits 1 on any mismatch.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "shortest_double.hpp"

namespace {

using parity_watch::shortest_decimal;
using parity_watch::write_float_repr;

struct Oracle {
    std::string digits;  // significant digits, no trailing zeros ("0" for a zero)
    int sci_exp;         // exponent of the first digit
};

Oracle oracle(double x) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
    Oracle o;
    for (const char* p = buf; p < e; ++p)
        if (*p != '.') o.digits.push_back(*p);
    while (o.digits.size() > 1 && o.digits.back() == '0') o.digits.pop_back();
    std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, o.sci_exp);
    return o;
}

// repr's rules, written out plainly from the oracle's digits.
std::string oracle_repr(double x) {
    const Oracle o = oracle(x);
    std::string s = std::signbit(x) ? "-" : "";
    if (o.digits == "0") return s + "0.0";
    const int n = static_cast<int>(o.digits.size());
    const int decpt = o.sci_exp + 1;
    if (decpt <= -4 || decpt > 16) {
        s += o.digits[0];
        if (n > 1) s += "." + o.digits.substr(1);
        const int a = std::abs(o.sci_exp);
        s += o.sci_exp < 0 ? "e-" : "e+";
        if (a < 10) s += '0';
        return s + std::to_string(a);
    }
    if (decpt <= 0) return s + "0." + std::string(static_cast<std::size_t>(-decpt), '0') + o.digits;
    if (decpt >= n) return s + o.digits + std::string(static_cast<std::size_t>(decpt - n), '0') + ".0";
    return s + o.digits.substr(0, static_cast<std::size_t>(decpt)) + "." +
           o.digits.substr(static_cast<std::size_t>(decpt));
}

struct Tally {
    const char* name;
    std::uint64_t checked = 0;
    std::uint64_t mismatched = 0;
};

std::uint64_t total_mismatches = 0;

void check(Tally& t, double x) {
    if (!std::isfinite(x)) return;
    ++t.checked;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const Oracle o = oracle(x);
    const auto got = shortest_decimal(bits);
    bool ok;
    std::string got_digits = "0";
    if (o.digits == "0") {
        ok = got.digits == 0 && got.exponent == 0;
    } else {
        got_digits = std::to_string(got.digits);
        const int want_exp = o.sci_exp - static_cast<int>(o.digits.size()) + 1;
        ok = got_digits == o.digits && got.exponent == want_exp && got.digits % 10 != 0;
    }
    // The writer may use its whole room as scratch, and nothing past it.
    char buf[parity_watch::float_repr_room + 8];
    std::memset(buf, '#', sizeof buf);
    char* end = write_float_repr(buf, x);
    const std::string text(buf, end);
    const std::string want = oracle_repr(x);
    ok = ok && text == want && end - buf <= parity_watch::float_repr_max &&
         std::string(buf + parity_watch::float_repr_room, 8) == "########";
    if (!ok) {
        ++t.mismatched;
        if (++total_mismatches <= 20)
            std::printf("MISMATCH %s bits=%016llx got %s e%d \"%s\", want %s e%d \"%s\"\n", t.name,
                        static_cast<unsigned long long>(bits), got_digits.c_str(), got.exponent, text.c_str(),
                        o.digits.c_str(), o.sci_exp, want.c_str());
    }
}

void report(const Tally& t) {
    std::printf("%-28s %12llu checked %llu mismatches\n", t.name, static_cast<unsigned long long>(t.checked),
                static_cast<unsigned long long>(t.mismatched));
}

double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

void check_with_neighbours(Tally& t, double x) {
    check(t, x);
    check(t, std::nextafter(x, 0.0));
    check(t, std::nextafter(x, std::numeric_limits<double>::infinity()));
    check(t, -x);
}

std::uint64_t splitmix(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n_random = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000000;
    std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20201204;

    Tally random{"random bit patterns"};
    for (std::uint64_t i = 0; i < n_random; ++i) check(random, from_bits(splitmix(seed)));
    report(random);

    Tally pow2{"powers of two, neighbours"};
    for (int e = -1074; e <= 1023; ++e) check_with_neighbours(pow2, std::ldexp(1.0, e));
    report(pow2);

    Tally pow10{"powers of ten, neighbours"};
    for (int e = -323; e <= 308; ++e) {
        char s[16];
        std::snprintf(s, sizeof s, "1e%d", e);
        check_with_neighbours(pow10, std::strtod(s, nullptr));
    }
    report(pow10);

    Tally sub{"subnormals, normal edge"};
    for (std::uint64_t m = 0; m < 200000; ++m) {
        check(sub, from_bits(m));                          // from 0 and 5e-324 up
        check(sub, from_bits(0x000FFFFFFFFFFFFFull - m));  // down from the largest subnormal
        check(sub, from_bits(0x0010000000000000ull + m));  // up from the smallest normal
        check(sub, from_bits(0x8000000000000000ull | m));  // negative ones, -0.0 included
    }
    for (int s = 0; s < 52; ++s) check_with_neighbours(sub, from_bits(std::uint64_t{1} << s));
    check_with_neighbours(sub, std::numeric_limits<double>::max());
    report(sub);

    Tally ints{"integers near 2^p, p <= 54"};
    for (int p = 0; p <= 54; ++p)
        for (std::int64_t d = -3000; d <= 3000; ++d) {
            const std::int64_t v = (std::int64_t{1} << p) + d;
            if (v >= 0) check(ints, static_cast<double>(v));
        }
    for (std::int64_t v = 0; v < 1000000; ++v) check(ints, static_cast<double>(v));
    report(ints);

    Tally frac{"k/8, k/7, k/3, k/10, k/100"};
    for (std::int64_t k = 1; k <= 1000000; ++k) {
        const double d = static_cast<double>(k);
        check(frac, d / 8);
        check(frac, d / 7);
        check(frac, d / 3);
        check(frac, d / 10);
        check(frac, d / 100);
    }
    report(frac);

    // Short decimals as they occur in data: the case where a shorter candidate than s wins.
    Tally dec{"random short decimals, nbrs"};
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t r = splitmix(seed);
        const int ndig = 1 + static_cast<int>(r % 17);
        const int ex = -330 + static_cast<int>((r >> 8) % 640);
        std::uint64_t digits = splitmix(seed) % 100000000000000000ull;
        while (std::to_string(digits).size() > static_cast<std::size_t>(ndig)) digits /= 10;
        char s[48];
        std::snprintf(s, sizeof s, "%llue%d", static_cast<unsigned long long>(digits), ex);
        check_with_neighbours(dec, std::strtod(s, nullptr));
    }
    report(dec);

    std::printf("total mismatches: %llu\n", static_cast<unsigned long long>(total_mismatches));
    return total_mismatches == 0 ? 0 : 1;
}
