#include "sha256.hpp"

#include <cstring>

#include "pyapi/cpu_features.hpp"

// A VANTOREL_PORTABLE_PATHS build keeps to the portable rounds (no x86
// variants), so that they are tested on machines with the SHA extensions too.
#if PYAPI_X86_VARIANTS
#include <immintrin.h>
#endif

namespace parity_watch {
namespace {

constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(std::uint32_t h[8], const std::uint8_t* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
               (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        std::uint32_t ch = (e & f) ^ (~e & g);
        std::uint32_t t1 = hh + S1 + ch + K[i] + w[i];
        std::uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = S0 + maj;
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const std::uint32_t v[8] = {a, b, c, d, e, f, g, hh};
    for (int i = 0; i < 8; ++i) h[i] += v[i];
}

#if PYAPI_X86_VARIANTS
// The x86 SHA extensions: four rounds per sha256rnds2 pair, the message
// schedule by sha256msg1/msg2.
PYAPI_TARGET_SHA void compress_shani(std::uint32_t h[8], const std::uint8_t* p, std::size_t blocks) {
    const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
    for (std::size_t b = 0; b < blocks; ++b, p += 64) {
        const __m128i abef = state0, cdgh = state1;
        __m128i w[4];
        for (int i = 0; i < 16; ++i) {
            __m128i m;
            if (i < 4) {
                m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), mask);
            } else {
                // w[i-4], w[i-3], w[i-2], w[i-1] live at (i & 3), (i+1 & 3), (i+2 & 3), (i+3 & 3).
                __m128i x = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
                x = _mm_add_epi32(x, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
                m = _mm_sha256msg2_epu32(x, w[(i + 3) & 3]);
            }
            w[i & 3] = m;
            __m128i msg = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[4 * i])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), state1);
}
#endif

void compress_blocks(std::uint32_t h[8], const std::uint8_t* p, std::size_t blocks, std::size_t total) {
#if PYAPI_X86_VARIANTS
    // Texts of a few bytes stay on the portable rounds, which keeps them in
    // use (and checked) on machines that have the extensions.
    if (total >= 16 && pyapi::cpu::has_sha_rounds()) {
        compress_shani(h, p, blocks);
        return;
    }
#endif
    (void)total;
    for (std::size_t i = 0; i < blocks; ++i) compress(h, p + 64 * i);
}

}  // namespace

std::array<std::uint8_t, 32> sha256(std::string_view data) noexcept {
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    std::size_t n = data.size();
    std::size_t full = n / 64;
    compress_blocks(h, p, full, n);
    // Tail: the rest, the 0x80 marker, zeros, then the bit length (big-endian).
    std::uint8_t tail[128];
    std::size_t rest = n - 64 * full;
    std::size_t tail_len = rest + 9 <= 64 ? 64 : 128;
    std::memcpy(tail, p + 64 * full, rest);
    tail[rest] = 0x80;
    std::memset(tail + rest + 1, 0, tail_len - rest - 1);  // only the blocks in use
    std::uint64_t bits = std::uint64_t(n) * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = std::uint8_t(bits >> (8 * i));
    compress_blocks(h, tail, tail_len / 64, n);
    std::array<std::uint8_t, 32> out{};
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = std::uint8_t(h[i] >> 24);
        out[4 * i + 1] = std::uint8_t(h[i] >> 16);
        out[4 * i + 2] = std::uint8_t(h[i] >> 8);
        out[4 * i + 3] = std::uint8_t(h[i]);
    }
    return out;
}

}  // namespace parity_watch
