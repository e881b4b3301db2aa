"""The native kernels' tiling: output rows in tiles of at least 256 rows (or
the window, when longer) across blocks of 16 or 32 columns, windows crossing
tile edges, short-window and packed-count paths. Every case bit for bit
against the per-cell model, warnings included."""

import numpy as np
import pytest

from logarithmic_compare import NATIVE, assert_same
from models.logarithmic_model import FUNCTIONS, Instance, cell_reference, same_bits



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
    "rows, cols, window",
    [
        (255, 17, 20),   # one partial tile, a second column block of one column
        (256, 16, 7),    # exactly one tile and block; the longest short window
        (257, 16, 8),    # one row into the second tile; the shortest pairwise window
        (300, 33, 5),    # windows crossing the tile edge, three blocks
        (520, 3, 130),   # the window spans tiles; sums above one pairwise block
        (300, 2, 280),   # the tile grows to the window
        (40, 5, 60),     # the window longer than the data
        (300, 4, 1),
    ],
)
def test_tiles_and_blocks_match_the_model(key, rows, cols, window):
    assert_same(key, window, regions(rows, cols, seed=rows + cols))


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.int64, np.uint32])
def test_other_dtypes_across_tiles(key, dtype):
    rng = np.random.default_rng(5)
    if np.dtype(dtype).kind == "f":
        with np.errstate(over="ignore"):  # huge magnitudes become infinities
            data = regions(300, 33, seed=2).astype(dtype)
    else:
        data = rng.integers(-3 if np.dtype(dtype).kind == "i" else 0, 4, (300, 33)).astype(dtype)
    for window in (6, 40):
        assert_same(key, window, data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("layout", ["fortran", "strided", "reversed"])
def test_non_contiguous_rows_across_tiles(key, layout):
    base = regions(600, 40, seed=9)
    data = {"fortran": np.asfortranarray(base[:300, :20]), "strided": base[::2, ::2],
            "reversed": base[:300:-1, ::-1]}[layout]
    assert_same(key, 25, data)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("errstate", [{"over": "raise"}, {"under": "raise"}, {"all": "warn"}])
def test_flags_in_a_later_tile(key, errstate):
    data = np.full((600, 18), 2.0)
    data[400:403, 17] = 1e200   # overflow only in the second tile, last block
    data[500:503, 3] = 1e-200   # underflow only in the third tile
    with np.errstate(**errstate):
        assert_same(key, 3, data)


def test_long_window_counts_without_packing():
    # Windows longer than 65535 rows keep their counts in full words; a zero and
    # an odd number of negatives leave the window on the way.
    rows, window = 65545, 65537
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
    # Long windows bound the tile buffers by taking the columns in groups
    # (here of 992 columns): the columns on both sides of a group edge agree
    # with the same columns computed alone and with the per-cell evaluation.
    rng = np.random.default_rng(8)
    data = np.where(rng.random((2100, 1000)) < 0.9, np.nan, rng.lognormal(0, 0.1, (2100, 1000)))
    data[rng.random(data.shape) < 0.002] *= -1
    got = NATIVE[key](Instance(2100), data)
    alone = NATIVE[key](Instance(2100), np.ascontiguousarray(data[:, 980:1000]))
    assert same_bits(np.ascontiguousarray(got[:, 980:1000]), alone)
    for t, n in [(2099, 991), (2099, 992), (1500, 999), (7, 992)]:
        expected = cell_reference(key, Instance(2100), data, t, n)
        assert np.float64(got[t, n]).view(np.uint64) == np.float64(expected).view(np.uint64), (t, n)
