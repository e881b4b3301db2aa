// The kernels' geometry: every size the tiles, blocks and vectors are built
// from, in one place. Each value may be changed here alone; the assertions
// below state what the code relies on, and the tile tests read their edges
// from this file (tests/kernel_geometry.py).
#pragma once

#include <cstddef>
#include <cstdint>

namespace logarithmic {

using Index = std::ptrdiff_t;

// ---- chosen for the caches and registers of one core

// Output rows per tile, at least (a tile grows to the window when that is longer).
inline constexpr Index kTileRows = 256;
// Bytes of one vector operation: an AVX2 register, a pair of 16-byte registers elsewhere.
inline constexpr Index kVectorBytes = 32;
// Bytes of one vector operation under AVX-512: the 64-bit integer products, the
// geometric mean's sums and quotients.
inline constexpr Index kWideVectorBytes = 64;
// Bytes of one block row of a product tile: independent multiply chains per row.
inline constexpr Index kBlockBytes = 128;
// Columns of a geometric-mean block, whatever type its logarithms have.
inline constexpr Index kGeoLanes = 16;
// Columns per pass when a column-major tile is staged row-major: a cache line of doubles.
inline constexpr Index kStageColumns = 8;
// Tile buffers hold about this many cells at most: very long windows take columns in groups.
inline constexpr Index kTileCells = Index(1) << 21;
// Products a block computes between two looks for pending signals.
inline constexpr Index kProductsPerPoll = Index(1) << 24;

// ---- fixed by NumPy's summation (not ours to change)

// The add reduction's pairwise summation: 8 accumulators over blocks of 128.
inline constexpr Index kPairwiseLanes = 8;
inline constexpr Index kPairwiseBlock = 128;
// Windows of fewer rows than the accumulators are summed in order from zero.
inline constexpr Index kShortSpan = kPairwiseLanes - 1;
// Windows with more finite values are summed by NumPy itself: its reduction may
// split long inputs into buffer-sized chunks depending on the installed version.
inline constexpr Index kNativeSumLimit = 8192;

// ---- derived

// Lanes of one vector of doubles: the geometric mean's quotients run this many at once
// (kWideGeoVectorLanes under AVX-512).
inline constexpr Index kGeoVectorLanes = kVectorBytes / Index(sizeof(double));
inline constexpr Index kWideGeoVectorLanes = kWideVectorBytes / Index(sizeof(double));
// Window counts fit 16-bit lanes up to this many rows; longer windows count in 32 bits.
inline constexpr Index kNarrowCountLimit = 0xFFFF;
// Columns of the widest product block (float32): column groups are multiples of it.
inline constexpr Index kWidestBlock = kBlockBytes / Index(sizeof(float));

constexpr bool power_of_two(Index x) { return x > 0 && (x & (x - 1)) == 0; }

// Vector extensions take power-of-two sizes only.
static_assert(power_of_two(kVectorBytes) && power_of_two(kWideVectorBytes) && power_of_two(kBlockBytes) &&
              power_of_two(kGeoLanes));
static_assert(kVectorBytes >= Index(sizeof(double)), "a vector holds at least one double");
static_assert(kBlockBytes % kVectorBytes == 0 && kBlockBytes % kWideVectorBytes == 0,
              "a product block row is whole vectors");
static_assert(kGeoLanes % kGeoVectorLanes == 0 && kGeoLanes % kWideGeoVectorLanes == 0,
              "a geometric-mean block row is whole vectors of doubles");
static_assert(kPairwiseLanes * Index(sizeof(float)) % kVectorBytes == 0,
              "NumPy's pairwise accumulators fill whole vectors, of floats as of doubles");
static_assert(kWidestBlock % (kBlockBytes / Index(sizeof(double))) == 0 && kWidestBlock % kGeoLanes == 0,
              "a column group holds whole blocks of every kernel");
static_assert(kTileRows >= 1 && kStageColumns >= 1);
static_assert(kNativeSumLimit <= kNarrowCountLimit && kNarrowCountLimit == UINT16_MAX,
              "a narrow finite count tells a long window from a native one");
static_assert(kShortSpan < kPairwiseLanes && kPairwiseBlock % kPairwiseLanes == 0);

}  // namespace logarithmic
