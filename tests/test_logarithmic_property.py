"""Differential tests against the per-cell model: any data, any window, bit for bit."""
import math

import numpy as np
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

from logarithmic_compare import assert_same
from models.logarithmic_model import FUNCTIONS


SPECIAL = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e300, -1e300, 1e-300, 5e-324, 1.0, -1.0]


def floats64():
    return st.one_of(
        st.sampled_from(SPECIAL),
        st.floats(-1e6, 1e6),
        st.floats(allow_nan=True, allow_infinity=True),
    )




keys = st.sampled_from(list(FUNCTIONS))
windows = st.one_of(st.integers(-2, 30), st.sampled_from([True, False, 10**20, math.nan, 4.0]))


@given(keys, windows, hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12),
                                 elements=floats64()))
def test_float64_any_values(key, window, data):
    assert_same(key, window, data)


@given(keys, st.integers(1, 40), st.data())
def test_float64_layouts(key, window, draw):
    base = draw.draw(hnp.arrays(np.float64, (24, 6), elements=floats64()))
    view = draw.draw(st.sampled_from([
        base, base.T, base[::-1], base[::2, ::-3], np.asfortranarray(base), base[3:, 1:4],
    ]))
    assert_same(key, window, view)


@given(keys, st.integers(1, 12),
       st.sampled_from([np.float32, np.int8, np.int16, np.int32, np.int64,
                        np.uint8, np.uint16, np.uint32, np.uint64, np.bool_, np.float16]),
       st.data())
def test_other_dtypes(key, window, dtype, draw):
    if np.dtype(dtype).kind == "f":
        elements = st.floats(width=np.finfo(dtype).bits, allow_nan=True, allow_infinity=True)
    else:
        elements = None
    data = draw.draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=2, max_dims=2, max_side=10), elements=elements))
    assert_same(key, window, data)


@given(keys, st.integers(1, 400), st.integers(0, 2**32 - 1))
def test_long_windows_of_random_magnitudes(key, window, seed):
    rng = np.random.default_rng(seed)
    data = rng.lognormal(0, 5, (300, 3)) * rng.choice([1, -1], (300, 3))
    data[rng.random(data.shape) < 0.05] = math.nan
    assert_same(key, window, data)
