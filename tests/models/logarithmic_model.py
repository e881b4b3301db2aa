"""Pure-Python per-cell model of the logarithmic batch references.

A literal transcription of the per-cell evaluation with NumPy: every cell is
computed afresh from its own trailing window. It is the oracle of the
differential tests and the baseline of the benchmark.
"""
import math

import numpy as np


def longitudinal_logarithmic_694eff_batch_reference(instance, data):
    """longitudinal_logarithmic_694eff_batch_reference(instance, data)
    Non-streaming ground truth for longitudinal_logarithmic_694eff."""
    T, N = data.shape
    out = np.full((T, N), math.nan, dtype=np.float64)
    W = instance.window
    for t in range(T):
        window = data[max(0, t - W + 1):t + 1, :]
        for n in range(N):
            col = window[:, n]
            current = data[t, n]
            valid = ~(np.isnan(col) | np.isinf(col))
            if valid.sum() < 1:
                out[t, n] = math.nan
                continue
            if math.isnan(current) or math.isinf(current) or current <= 0.0:
                out[t, n] = math.nan
                continue
            out[t, n] = np.prod(col[valid])
    return out


def longitudinal_logarithmic_665270_batch_reference(instance, data):
    """longitudinal_logarithmic_665270_batch_reference(instance, data)
    Non-streaming ground truth for longitudinal_logarithmic_665270."""
    T, N = data.shape
    out = np.full((T, N), math.nan, dtype=np.float64)
    W = instance.window
    for t in range(T):
        window = data[max(0, t - W + 1):t + 1, :]
        for n in range(N):
            col = window[:, n]
            current = data[t, n]
            valid = ~(np.isnan(col) | np.isinf(col))
            valid_col = col[valid]
            nobs = valid_col.size
            if nobs < 1:
                out[t, n] = math.nan
                continue
            if math.isnan(current) or math.isinf(current) or current <= 0.0:
                out[t, n] = math.nan
                continue
            if np.any(valid_col == 0.0):
                out[t, n] = 0.0
                continue
            neg_c = np.sum(valid_col < 0)
            sign = -1.0 if neg_c % 2 == 1 else 1.0
            out[t, n] = sign * math.exp(np.sum(np.log(np.abs(valid_col))) / nobs)
    return out


FUNCTIONS = {
    "694eff": longitudinal_logarithmic_694eff_batch_reference,
    "665270": longitudinal_logarithmic_665270_batch_reference,
}


class Instance:
    """The minimal caller object: only `window` is read."""

    def __init__(self, window):
        self.window = window


def outcome(fn, instance, data):
    """What a call gives: ("ok", result, warnings) or ("raise", type, message, warnings).

    Warnings are recorded as (category, message) in the order they were issued.
    """
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(instance, data)
        except Exception as exc:  # noqa: BLE001 - the outcome is compared, not handled
            return ("raise", type(exc), str(exc), _warned(caught))
    return ("ok", result, _warned(caught))


def _warned(caught):
    return [(w.category, str(w.message)) for w in caught]


def same_bits(a, b):
    """Bit-for-bit equality of two float64 arrays (NaN payloads and signed zeros included)."""
    return (
        a.dtype == b.dtype == np.float64
        and a.shape == b.shape
        and np.array_equal(np.ascontiguousarray(a).view(np.uint64), np.ascontiguousarray(b).view(np.uint64))
    )


def cell_reference(key, instance, data, t, n):
    """One cell (t, n) of the per-cell evaluation, for checking single cells of
    inputs too large for the whole-array model."""
    W = instance.window
    window = data[max(0, t - W + 1):t + 1, :]
    col = window[:, n]
    current = data[t, n]
    valid = ~(np.isnan(col) | np.isinf(col))
    valid_col = col[valid]
    if valid_col.size < 1:
        return math.nan
    if math.isnan(current) or math.isinf(current) or current <= 0.0:
        return math.nan
    if key == "694eff":
        return np.prod(valid_col)
    if np.any(valid_col == 0.0):
        return 0.0
    sign = -1.0 if np.sum(valid_col < 0) % 2 == 1 else 1.0
    return sign * math.exp(np.sum(np.log(np.abs(valid_col))) / valid_col.size)
