"""Gates, value steps, dtypes, layouts and windows of the logarithmic batch references,
each compared with the per-cell model (bit for bit for the float64 output)."""
import math
import warnings

import numpy as np
import pytest

from logarithmic_compare import NATIVE, assert_same_as_model
from models.logarithmic_model import FUNCTIONS, Instance, same_bits

nan, inf = math.nan, math.inf


def column(key, values, window):
    out = NATIVE[key](Instance(window), np.array(values, dtype=np.float64).reshape(-1, 1))
    return out[:, 0].tolist()


def bits(values):
    return [np.float64(v).view(np.uint64) for v in values]


@pytest.mark.parametrize(
    "values, window, expected",
    [
        ([2, 3, 4], 3, [2, 6, 24]),
        ([nan, 2, 3], 3, [nan, 2, 6]),
        ([inf, 2, 3], 3, [nan, 2, 6]),
        ([-2, 3, 5], 3, [nan, -6, -30]),
        ([0, -1, 5], 3, [nan, nan, -0.0]),
        ([1e200, 1e200, 1e200], 2, [1e200, inf, inf]),
        ([5, 7, 9, 11], 2, [5, 35, 63, 99]),
        ([-inf, nan, 4], 3, [nan, nan, 4]),
        ([3, 2, -0.0], 3, [3, 6, nan]),
        ([2, 3, 4], 0, [nan, nan, nan]),
        ([2, 3, 4], -1, [nan, nan, nan]),
        ([2, 3, 4], 10**40, [2, 6, 24]),
        ([2, 3, 4], True, [2, 3, 4]),
        ([2, 3, 4], nan, [2, 6, 24]),
        ([2, 3, 4], inf, [2, 6, 24]),
        ([2, 3, 4], 3.0, [2, 6, 24]),
    ],
)
def test_product_cases(values, window, expected):
    if any(math.isinf(e) for e in expected) and all(math.isfinite(v) for v in values):
        # an overflowing product: NumPy's reduce warns, and so does the reference
        with pytest.warns(RuntimeWarning, match="overflow encountered in reduce"):
            got = column("694eff", values, window)
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = column("694eff", values, window)
    assert bits(got) == bits(expected)


@pytest.mark.parametrize(
    "values, window, expected",
    [
        ([1, 4], 2, [1, 2]),
        ([-1, 4], 2, [nan, -2]),
        ([2, 8, 4], 3, [2, 4, 4]),
        ([-2, -8, 4], 3, [nan, nan, 4]),
        ([nan, 1, 4], 3, [nan, 1, 2]),
        ([0, 5], 2, [nan, 0.0]),
        ([-0.0, 5], 2, [nan, 0.0]),
        ([0, -5], 2, [nan, nan]),
        ([1e200, 1e200], 2, [1e200, 1e200]),
        ([3], 2, [3]),
    ],
)
def test_geo_mean_cases_up_to_last_bits(values, window, expected):
    got = column("665270", values, window)
    for g, e in zip(got, expected):
        assert (math.isnan(g) and math.isnan(e)) or (g == pytest.approx(e, rel=1e-12, abs=0)
                                                    and math.copysign(1, g) == math.copysign(1, e))




def mixed(rows=40, cols=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.lognormal(0, 2, (rows, cols)) * rng.choice([1, 1, 1, -1], (rows, cols))
    x[rng.random((rows, cols)) < 0.1] = nan
    x[rng.random((rows, cols)) < 0.05] = inf
    x[rng.random((rows, cols)) < 0.05] = 0.0
    x[rng.random((rows, cols)) < 0.03] = -0.0
    return x


INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


def ints(dtype, rows=30, cols=4, seed=1):
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    x = rng.integers(info.min, info.max, (rows, cols), dtype=dtype, endpoint=True)
    small = rng.integers(max(info.min, -4), 5, (rows, cols)).astype(dtype)
    pick = rng.random((rows, cols)) < 0.7
    x[pick] = small[pick]
    x[0, 0] = info.min
    x[5, 1] = info.max
    return x


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("window", [1, 2, 3, 7, 40, 100])
@pytest.mark.parametrize(
    "make",
    [
        lambda: mixed(),
        lambda: mixed().astype(np.float32),
        lambda: mixed().astype(np.float16),
        lambda: np.abs(mixed()) + 0.5,
        lambda: mixed().astype(np.complex128),
        lambda: mixed() > 0,
        lambda: mixed().astype(np.longdouble),
        lambda: mixed().astype(">f8"),
    ]
    + [lambda d=d: ints(d) for d in INT_DTYPES],
    ids=["f8", "f4", "f2", "positive", "c16", "bool", "longdouble", "f8-swapped"]
    + [np.dtype(d).name for d in INT_DTYPES],
)
def test_dtypes_match_the_model(key, window, make):
    assert_same_as_model(key, Instance(window), make())


def layouts():
    base = mixed(30, 6, seed=3)
    yield "fortran", np.asfortranarray(base)
    yield "transposed", mixed(6, 30, seed=4).T
    yield "strided", mixed(60, 12, seed=5)[::2, ::2]
    yield "negative", base[::-1, ::-1]
    ro = base.copy()
    ro.flags.writeable = False
    yield "readonly", ro
    yield "zero-rows", np.zeros((0, 3))
    yield "zero-cols", np.zeros((5, 0))
    yield "one-cell", np.array([[2.5]])
    yield "f4-strided", mixed(40, 8, seed=6).astype(np.float32)[::3, 1::2]
    yield "i8-fortran", np.asfortranarray(ints(np.int64))
    yield "masked", np.ma.masked_array(base, mask=base > 5)
    yield "matrix-like-subclass", base.view(type("Sub", (np.ndarray,), {}))


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("window", [1, 4, 50])
@pytest.mark.parametrize("name, data", list(layouts()), ids=[n for n, _ in layouts()])
def test_layouts_match_the_model(key, window, name, data):
    before = np.array(data, copy=True)
    assert_same_as_model(key, Instance(window), data)
    assert np.array_equal(np.asarray(data), before, equal_nan=True)


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("window", [nan, inf, -inf, 5.0, 0.0, -3.0, True, False, 10**30, -(10**30),
                                    np.int64(3), np.float64(2.0), np.float64(nan)])
def test_window_values_match_the_model(key, window):
    assert_same_as_model(key, Instance(window), mixed(8, 3, seed=7))


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_object_and_array_like_inputs(key):
    obj = np.array([[1.5, 2], [3, None]], dtype=object)
    assert_same_as_model(key, Instance(2), obj)
    assert_same_as_model(key, Instance(2), np.array([[1.5, 2], [3, 4]], dtype=object))
    assert_same_as_model(key, Instance(2), np.array([["a"]]))
    assert_same_as_model(key, Instance(2), np.zeros((2, 2), dtype="datetime64[s]"))


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_columns_are_independent(key):
    data = np.array([[nan, 2.0], [3.0, 5.0], [4.0, 7.0]])
    out = NATIVE[key](Instance(3), data)
    alone = NATIVE[key](Instance(3), data[:, 1:].copy())
    assert same_bits(out[:, 1:].copy(), alone)


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_long_windows_bit_for_bit(key):
    rng = np.random.default_rng(11)
    rows = 9000
    x = rng.lognormal(0, 3, (rows, 2))
    x[:, 1] *= rng.choice([1, -1], rows)
    x[rng.random((rows, 2)) < 0.02] = nan
    x[:, 0] = np.abs(x[:, 0])
    out = NATIVE[key](Instance(rows), x)
    # the last rows see more than 8192 finite values
    tail = slice(rows - 40, rows)
    model = FUNCTIONS[key](Instance(rows), x[:, :][: rows])[tail]
    assert same_bits(out[tail], model)
