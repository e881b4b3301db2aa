// The sums of a block's windows by tables over each lane's compacted
// logarithms c. NumPy sums n values from index a (8 <= n <= 128) as
//   r_j = c[a+j] + c[a+j+8] + ..  (k = n / 8 terms, left to right), j < 8,
//   ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)),
//   then c[a + 8k], .., c[a + n - 1] one by one,
// and fewer than 8 values one by one from zero. Each step reaches c only
// through offsets from a, so for each level k it is one pass over the run:
//   P[i] = c[i] + c[i+8] + .. (k terms), Q[i] = P[i] + P[i+1],
//   S[i] = Q[i] + Q[i+2], U_0[i] = S[i] + S[i+4]  (U_0 = 0 when k = 0),
//   U_q[i] = U_{q-1}[i] + c[i + 8k + q - 1],
// and the sum of the window (a, n) is U_{n-8k}[a]: the very additions NumPy
// makes, in its order. The runs of a block's lanes lie side by side
// ([index][lane]), so every pass runs across all lanes at once, a few
// additions per value, and a window costs one load however long it is.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include "window_sums.hpp"

namespace logarithmic {
namespace {

template <class L>
struct BlockTables {
    static constexpr Index B = kGeoLanes, P8 = kPairwiseLanes;
    // The top levels whose tables may be built (the longest windows' level
    // and the two below); windows of other levels are summed one by one.
    static constexpr int kTopLevels = 3;
    // Rows every buffer reaches past the longest run: the passes read there.
    static constexpr Index kPad = kPairwiseBlock + 2 * P8;
    // Index rows per pass of build().
    static constexpr Index kChunk = 32;
    // 64-byte vectors: whole registers under AVX-512, pairs or quartets elsewhere.
    typedef L V LOGARITHMIC_VECTOR(64);
    static constexpr Index VL = 64 / Index(sizeof(L));
    static_assert((B * sizeof(L)) % 64 == 0, "a row of a block is whole vectors");

    // Every buffer holds finite values only (zeros at first, then logarithms
    // and their sums), so that entries past a lane's run, which no window
    // looks up, raise no flag in the passes.
    std::vector<L> c;                          // [index][lane]: the compacted logarithms
    std::vector<std::int32_t> kk;              // [input row + 1][lane]: finite values before the row
    std::vector<L> p, q, s;                    // [index][lane]: P (from level 2), Q and S of a level, over one chunk
    std::vector<L> u;                          // [slot][index][lane]
    std::int32_t slot_of[kPairwiseBlock + 1];  // per count n: its U table, -1 for none
    Index extent = 0;                          // indices the passes cover

    // Buffers for runs of up to max_in_rows values (left empty until a block needs them).
    void allocate(Index max_in_rows) {
        c.resize(static_cast<size_t>((max_in_rows + kPad) * B));
        kk.resize(static_cast<size_t>((max_in_rows + 1) * B));
        p.resize(static_cast<size_t>((kChunk + P8) * B)), q.resize(p.size()), s.resize(p.size());
    }

    Index stride() const { return extent * B; }

    // dst[i] = a[i] + b[i] over `rows` index rows, a vector at a time.
    static LOGARITHMIC_INLINE void add(L* dst, const L* a, const L* b, Index rows) {
        for (Index i = 0; i < rows * B; i += VL) {
            V x, y;
            std::memcpy(&x, a + i, sizeof x);
            std::memcpy(&y, b + i, sizeof y);
            x = x + y;
            std::memcpy(dst + i, &x, sizeof x);
        }
    }

    // The tables of the counts `used` marks (bit q of used[d]: a window of
    // 8 * (top - d) + q values), and slot_of for every count. The passes run
    // over kChunk index rows at a time, so that P, Q, S and the U tables
    // between used ones stay in the first-level cache; only used tables are kept.
    LOGARITHMIC_INLINE void build(Index top, const unsigned used[kTopLevels]) {
        // The runs are in place (allocate(), then the block's scatter) and the
        // passes stay inside them: the furthest index read is below
        // extent + (top + 1) * P8, which kPad leaves room for.
        PYAPI_ASSERT(!c.empty() && top >= 0 && top * P8 <= kPairwiseBlock && extent % P8 == 0);
        PYAPI_ASSERT(static_cast<size_t>((extent + (top + 1) * P8) * B) <= c.size());
        std::fill(std::begin(slot_of), std::end(slot_of), -1);
        std::int32_t slots = 0;
        for (int d = kTopLevels - 1; d >= 0; --d)
            for (int j = 0; j < P8; ++j)
                if (used[d] >> j & 1) slot_of[(top - d) * P8 + j] = slots++;
        const Index E = extent, st = stride();
        if (u.size() < static_cast<size_t>(slots * st)) u.resize(static_cast<size_t>(slots * st), L(0));
        PYAPI_ASSERT(p.size() == static_cast<size_t>((kChunk + P8) * B) && q.size() == p.size() &&
                     s.size() == p.size());
        L *const pp = p.data(), *const qq = q.data(), *const ss = s.data();
        for (Index i0 = 0; i0 < E; i0 += kChunk) {
            const Index rows = std::min(kChunk, E - i0);
            const L* cc = c.data() + i0 * B;
            const L* pk = cc;  // P of the level reached: c itself at level 1
            Index level = 1;
            for (int d = kTopLevels - 1; d >= 0; --d) {  // levels upwards: P grows a term at a time
                if (!used[d]) continue;
                const Index k = top - d;
                // U_j into its table where used, else into qq (Q is spent by then)
                auto table = [&](int j) LOGARITHMIC_INLINE_LAMBDA {
                    const std::int32_t slot = slot_of[k * P8 + j];
                    return slot >= 0 ? u.data() + slot * st + i0 * B : qq;
                };
                L* prev = table(0);
                if (k == 0) {
                    std::memset(prev, 0, sizeof(L) * static_cast<size_t>(rows * B));
                } else {
                    for (; level < k; ++level, pk = pp) add(pp, pk, cc + level * P8 * B, rows + P8);
                    add(qq, pk, pk + B, rows + 6);
                    add(ss, qq, qq + 2 * B, rows + 4);
                    add(prev, ss, ss + 4 * B, rows);
                }
                for (int j = 1, last = std::bit_width(used[d]) - 1; j <= last; ++j) {
                    L* next = table(j);
                    add(next, prev, cc + (k * P8 + j - 1) * B, rows);
                    prev = next;
                }
            }
        }
    }

    // NumPy's pairwise sum of lane j's n values from index a: from the
    // tables where built, else one by one.
    LOGARITHMIC_INLINE L sum(Index j, Index a, Index n) const {
        PYAPI_ASSERT(0 <= j && j < B && a >= 0 && 0 <= n && n <= kPairwiseBlock);
        PYAPI_ASSERT(static_cast<size_t>((a + n) * B) <= c.size());
        if (const std::int32_t slot = slot_of[n]; slot >= 0) return u[static_cast<size_t>(slot * stride() + a * B + j)];
        L run[kPairwiseBlock];
        for (Index i = 0; i < n; ++i) run[i] = c[static_cast<size_t>((a + i) * B + j)];
        return pairwise_sum(run, n);
    }
};

}  // namespace
}  // namespace logarithmic
