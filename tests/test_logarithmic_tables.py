"""The geometric mean's windows with non-finite values, summed from tables over
each lane's compacted logarithms and divided by their counts with fused
multiply-adds instead of a division (on CPUs with AVX-512; elsewhere, and under
VANTOREL_ISA=avx2, lane by lane, with a division). A window's sum comes from the tables of its
level (its count of values over eight) when enough windows of the block share
the level, and is summed on its own otherwise; every case must give the
per-cell evaluation's bits either way.

The data mixes bands of NaN densities, so that one block holds windows of the
top level, of the two below it and of levels further down, and windows of
fewer than eight values (summed one by one from zero by NumPy)."""
import os
import pickle
import subprocess

import numpy as np
import pytest

from interpreter import PYTHON
from kernel_geometry import GEO_LANES, GEOMETRY, SHORT_SPAN, TILE_ROWS
from logarithmic_compare import NATIVE, assert_same
from models.logarithmic_model import Instance, same_bits

GEO = NATIVE["665270"]
PAIRWISE = GEOMETRY["kPairwiseBlock"]
WINDOWS = [SHORT_SPAN + 1, 9, 15, 16, 17, 20, 24, 31, 64, PAIRWISE - 1, PAIRWISE]


def banded(rows, cols, seed):
    """Lognormal values with NaN densities of 2%, 20%, 60% and 95% in bands of
    rows, a few zeros, negatives and infinities, and columns that end inside a block."""
    rng = np.random.default_rng(seed)
    x = rng.lognormal(0, 2.0, (rows, cols))
    band = np.broadcast_to((np.arange(rows)[:, None] // 37) % 4, (rows, cols))
    density = np.array([0.02, 0.2, 0.6, 0.95])[band]
    x[rng.random((rows, cols)) < density] = np.nan
    x[rng.random((rows, cols)) < 0.01] *= -1
    x[rng.random((rows, cols)) < 0.002] = 0.0
    x[rng.random((rows, cols)) < 0.003] = np.inf
    return x


def means():
    """The geometric means of banded data for every window of WINDOWS; and of
    magnitudes over the whole range of doubles, whose sums of logarithms and
    quotients by the counts (taken without a division under AVX-512) span
    every binade the kernels meet."""
    data = banded(2 * TILE_ROWS + 61, 2 * GEO_LANES + 5, seed=11)
    wide = np.exp(np.random.default_rng(12).uniform(-744.0, 709.0, (TILE_ROWS + 33, GEO_LANES * 3)))
    wide[np.random.default_rng(13).random(wide.shape) < 0.15] = np.nan
    out = {w: GEO(Instance(w), data) for w in WINDOWS}
    out.update({("wide", w): GEO(Instance(w), wide) for w in (9, 20, PAIRWISE)})
    return out


@pytest.mark.parametrize("window", [9, 20, PAIRWISE])
def test_banded_windows_match_the_model(window):
    assert_same("665270", window, banded(TILE_ROWS + 40, GEO_LANES + 3, seed=window))


def test_rare_levels_are_summed_on_their_own():
    # One column of a block with a single NaN-dense stretch: its few short
    # windows fall in levels without tables, among many full windows.
    rng = np.random.default_rng(4)
    data = rng.lognormal(0, 1.0, (TILE_ROWS + 20, GEO_LANES))
    data[100:131, 5] = np.nan
    data[100:131:7, 5] = 3.0
    data[rng.random(data.shape) < 0.03] = np.nan
    for window in (20, 40):
        assert_same("665270", window, data)


def test_same_bits_as_the_lane_by_lane_path():
    """The same arrays through a process kept on AVX2, where every lane is summed on its own."""
    here = means()
    code = ("import pickle, sys\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "from test_logarithmic_tables import means\n"
            "sys.stdout.buffer.write(pickle.dumps(means()))\n")
    env = dict(os.environ, VANTOREL_ISA="avx2")
    out = subprocess.run([*PYTHON, "-c", code, os.path.dirname(__file__)], env=env, check=True,
                         capture_output=True, timeout=300).stdout
    there = pickle.loads(out)
    for window, got in here.items():
        assert same_bits(got, there[window]), window
