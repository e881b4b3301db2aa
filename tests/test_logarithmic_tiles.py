"""The native kernels' tiling: output rows in tiles of TILE_ROWS rows at least
(or the window, when longer) across blocks of columns, windows crossing tile
edges, short-window and packed-count paths. Every case bit for bit against the
per-cell model, warnings included. The edges come from the kernels' geometry
header (kernel_geometry.py), so the cases follow a change of the tile size."""

import numpy as np
import pytest

from kernel_geometry import GEO_LANES, GEOMETRY, PRODUCT_LANES, SHORT_SPAN, TILE_ROWS
from logarithmic_compare import NATIVE, assert_same
from models.logarithmic_model import FUNCTIONS, Instance, cell_reference, same_bits

# columns of one block, per function
LANES = {"694eff": PRODUCT_LANES, "665270": GEO_LANES}


def regions(rows, cols, seed=0):
    """Values in bands: NaN-free, NaN-dense, many zeros and negatives, mixed with
    infinities, and tiny/huge magnitudes whose products underflow or overflow."""
    rng = np.random.default_rng(seed)
    x = rng.lognormal(0, 0.7, (rows, cols))
    band = np.broadcast_to(np.arange(rows)[:, None] % 160, (rows, cols))
    x[(band >= 40) & (band < 70) & (rng.random((rows, cols)) < 0.9)] = np.nan
    dense = (band >= 90) & (band < 110)
    x[dense & (rng.random((rows, cols)) < 0.3)] = 0.0
    x[dense & (rng.random((rows, cols)) < 0.5)] *= -1
    x[(band >= 120) & (rng.random((rows, cols)) < 0.1)] = np.inf
    x[(band >= 120) & (rng.random((rows, cols)) < 0.05)] = -np.inf
    x[(band >= 140) & (band < 150)] *= 1e150
    x[(band >= 150)] *= 1e-150
    return x



@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize(
    "rows, blocks, extra_cols, window",
    [
        (TILE_ROWS - 1, 1, 1, 20),  # one partial tile, a second column block of one column
        (TILE_ROWS, 1, 0, SHORT_SPAN),  # exactly one tile and block; the longest short window
        (TILE_ROWS + 1, 1, 0, SHORT_SPAN + 1),  # one row into the second tile; the shortest pairwise window
        (TILE_ROWS + 44, 2, 1, 5),  # windows crossing the tile edge, three blocks
        (2 * TILE_ROWS + 8, 0, 3, GEOMETRY["kPairwiseBlock"] + 2),  # windows cross tiles; sums above one pairwise block
        (TILE_ROWS + 44, 0, 2, TILE_ROWS + 24),  # the tile grows to the window
        (40, 0, 5, 60),  # the window longer than the data
        (TILE_ROWS + 44, 0, 4, 1),
    ],
)
def test_tiles_and_blocks_match_the_model(key, rows, blocks, extra_cols, window):
    cols = blocks * LANES[key] + extra_cols
    assert_same(key, window, regions(rows, cols, seed=rows + cols))


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.int64, np.uint32])
def test_other_dtypes_across_tiles(key, dtype):
    rng = np.random.default_rng(5)
    if np.dtype(dtype).kind == "f":
        with np.errstate(over="ignore"):  # huge magnitudes become infinities
            data = regions(TILE_ROWS + 44, GEOMETRY["kWidestBlock"] + 1, seed=2).astype(dtype)
    else:
        shape = (TILE_ROWS + 44, GEOMETRY["kWidestBlock"] + 1)
        data = rng.integers(-3 if np.dtype(dtype).kind == "i" else 0, 4, shape).astype(dtype)
    for window in (6, 40):
        assert_same(key, window, data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("layout", ["fortran", "strided", "reversed"])
def test_non_contiguous_rows_across_tiles(key, layout):
    rows, cols = TILE_ROWS + 44, GEO_LANES + 4
    base = regions(2 * rows, 2 * cols, seed=9)
    data = {"fortran": np.asfortranarray(base[:rows, :cols]), "strided": base[::2, ::2],
            "reversed": base[:rows:-1, ::-1]}[layout]
    assert_same(key, 25, data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("errstate", [{"over": "raise"}, {"under": "raise"}, {"all": "warn"}])
def test_flags_in_a_later_tile(key, errstate):
    data = np.full((2 * TILE_ROWS + TILE_ROWS // 2, GEO_LANES + 2), 2.0)
    second, third = TILE_ROWS + TILE_ROWS // 2, 2 * TILE_ROWS + 10
    data[second:second + 3, GEO_LANES + 1] = 1e200  # overflow only in the second tile, last block
    data[third:third + 3, 3] = 1e-200  # underflow only in the third tile
    with np.errstate(**errstate):
        assert_same(key, 3, data)


def test_long_window_counts_without_packing():
    # Windows longer than 16-bit counts allow keep their counts in full words; a
    # zero and an odd number of negatives leave the window on the way.
    window = GEOMETRY["kNarrowCountLimit"] + 2
    rows = window + 8
    rng = np.random.default_rng(3)
    data = np.full((rows, 1), np.nan)
    keep = rng.random(rows) < 0.08
    data[keep, 0] = rng.lognormal(0, 0.3, keep.sum())
    data[1, 0] = 0.0
    data[2, 0] = -1.5
    data[5, 0] = -2.5
    data[7, 0] = -0.5
    data[-9:, 0] = [1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9]
    got = NATIVE["665270"](Instance(window), data)
    for t in (window - 1, window, window + 1, window + 2, rows - 1):
        expected = cell_reference("665270", Instance(window), data, t, 0)
        assert np.float64(got[t, 0]).view(np.uint64) == np.float64(expected).view(np.uint64), t


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_column_groups_of_very_long_windows(key):
    # Long windows bound the tile buffers by taking the columns in groups: the
    # columns on both sides of a group edge agree with the same columns
    # computed alone and with the per-cell evaluation.
    rows = window = 2100
    widest = GEOMETRY["kWidestBlock"]
    tile_in_rows = min(rows, max(TILE_ROWS, window) + window - 1)
    group = max(1, GEOMETRY["kTileCells"] // (tile_in_rows * widest)) * widest
    cols = group + 8
    rng = np.random.default_rng(8)
    data = np.where(rng.random((rows, cols)) < 0.9, np.nan, rng.lognormal(0, 0.1, (rows, cols)))
    data[rng.random(data.shape) < 0.002] *= -1
    got = NATIVE[key](Instance(window), data)
    alone = NATIVE[key](Instance(window), np.ascontiguousarray(data[:, group - 12:]))
    assert same_bits(np.ascontiguousarray(got[:, group - 12:]), alone)
    for t, n in [(rows - 1, group - 1), (rows - 1, group), (1500, cols - 1), (7, group)]:
        expected = cell_reference(key, Instance(window), data, t, n)
        assert np.float64(got[t, n]).view(np.uint64) == np.float64(expected).view(np.uint64), (t, n)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("window", [SHORT_SPAN + 1, 20, GEOMETRY["kPairwiseBlock"], GEOMETRY["kPairwiseBlock"] + 1])
def test_finite_blocks_sum_over_raw_rows(dtype, window):
    # Blocks of finite values only (zeros and negatives included) sum their
    # windows across lanes over the raw rows; a block with one NaN, and the
    # tile after it, take the lane-by-lane path beside them.
    rng = np.random.default_rng(window)
    rows, cols = 2 * TILE_ROWS + 30, 2 * GEO_LANES + 3
    data = rng.lognormal(0, 1.5, (rows, cols)).astype(dtype)
    data[rng.random(data.shape) < 0.05] *= -1
    data[rng.random(data.shape) < 0.002] = 0
    data[TILE_ROWS + 5, GEO_LANES + 2] = np.nan
    assert_same("665270", window, data)
