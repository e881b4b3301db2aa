"""NumPy floating-point error state: the references warn, raise or stay silent
exactly as the per-cell evaluation does, cell for cell and in the same order."""
import math
import warnings

import numpy as np
import pytest

from logarithmic_compare import NATIVE, assert_same
from models.logarithmic_model import FUNCTIONS, Instance

big, tiny, nan = 1e200, 1e-200, math.nan




FLAGGING = {
    "overflow": (2, [[big, 1.0], [big, 2.0], [3.0, big], [4.0, big]]),
    "underflow": (2, [[tiny, 1.0], [tiny, 2.0], [3.0, 5.0]]),
    "overflow-then-invalid": (4, [[big], [big], [0.0], [5.0]]),
    "float32-overflow": (2, np.array([[1e30, 2], [1e30, 3]], dtype=np.float32)),
    "many-columns": (3, np.where(np.eye(12, 20) + np.eye(12, 20, k=-1) > 0, 1e300, 2.0)),
}
ERRSTATES = [
    {},
    {"all": "ignore"},
    {"over": "raise"},
    {"under": "raise"},
    {"invalid": "raise"},
    {"all": "raise"},
    {"over": "ignore", "under": "warn"},
]


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("errstate", ERRSTATES, ids=lambda e: ",".join(f"{k}={v}" for k, v in e.items()) or "default")
@pytest.mark.parametrize("case", list(FLAGGING))
def test_errstate_matches_the_model(key, errstate, case):
    window, values = FLAGGING[case]
    data = np.asarray(values, dtype=getattr(values, "dtype", np.float64))
    with np.errstate(**errstate):
        assert_same(key, window, data)


@pytest.mark.parametrize("case", ["overflow", "overflow-then-invalid", "many-columns"])
def test_default_state_warns_in_row_major_order(case):
    window, values = FLAGGING[case]
    got = assert_same("694eff", window, np.asarray(values, dtype=np.float64))
    assert got[-1] and all(c is RuntimeWarning and "encountered in reduce" in m for c, m in got[-1])


def test_warnings_as_errors_raise_at_the_first_flagged_cell():
    data = np.array([[2.0, big], [3.0, big]])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for fn in (FUNCTIONS["694eff"], NATIVE["694eff"]):
            with pytest.raises(RuntimeWarning, match="overflow encountered in reduce"):
                fn(Instance(2), data)


def test_errcall_is_called_per_flagged_cell():
    calls = []
    data = np.array([[big, big], [big, big], [1.0, 1.0]])
    old = np.seterrcall(lambda kind, flag: calls.append(kind))
    try:
        with np.errstate(over="call"):
            NATIVE["694eff"](Instance(2), data)
            native_calls = list(calls)
            calls.clear()
            FUNCTIONS["694eff"](Instance(2), data)
    finally:
        np.seterrcall(old)
    assert native_calls == calls and len(calls) == 2


def test_unflagged_products_never_consult_numpy(monkeypatch):
    monkeypatch.setattr(np, "geterr", lambda: pytest.fail("error state read without a flag"))
    data = np.array([[2.0, 3.0], [4.0, 5.0]])
    assert NATIVE["694eff"](Instance(2), data).tolist() == [[2.0, 3.0], [8.0, 15.0]]


@pytest.mark.parametrize("key", list(FUNCTIONS))
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_ordinary_values_raise_no_flag_in_any_kernel(key, dtype, monkeypatch):
    # A tile that raises a flag reads NumPy's error state, then leaves its
    # value cells to the per-cell evaluation: correct, but thousands of times
    # slower. Magnitudes near 1 with NaN, zeros and negatives raise no flag,
    # so no window length (short, pairwise, rolling counts) may read it.
    rng = np.random.default_rng(3)
    data = rng.lognormal(0, 0.5, (300, 37))
    data[rng.random(data.shape) < 0.1] = np.nan
    data[rng.random(data.shape) < 0.05] *= -1
    data[rng.random(data.shape) < 0.01] = 0.0
    data = data.astype(dtype)
    reads = []
    real = np.geterr
    monkeypatch.setattr(np, "geterr", lambda: reads.append(1) or real())
    for window in (1, 2, 3, 5, 7, 8, 20, 300):
        NATIVE[key](Instance(window), data)
    assert reads == []
    big_enough = np.array([[np.finfo(dtype).max], [2]], dtype=dtype)
    with np.errstate(over="ignore"):
        NATIVE["694eff"](Instance(2), big_enough)
    assert reads  # the probe sees a flagged tile (the product overflows)


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_signed_integer_minimum_takes_numpy_route(key):
    data = np.array([[3], [np.iinfo(np.int64).min], [5]], dtype=np.int64)
    assert_same(key, 3, data)
    with np.errstate(invalid="raise"):
        assert_same(key, 3, data)
