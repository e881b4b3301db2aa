"""The kernels' variants give the same bits. Each is chosen once per process:
the geometric mean's exponentials by a replica of the C library's exp, proven
at first use to agree with it (VANTOREL_EXP=library forces the library's own),
eight lanes at a time with AVX-512 where the CPU has it, four with AVX2; the
integer products by AVX-512DQ where the CPU has it. VANTOREL_ISA=avx2 keeps
both on AVX2. A process started with each setting must give math.exp's bits,
and the same results as this one, for every mean the kernels can pass
(moderate values, values near overflow and underflow, subnormal results) and
for wrapping integer products."""
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

from logarithmic_compare import NATIVE, assert_same
from models.logarithmic_model import Instance, same_bits
from interpreter import PYTHON

GEO = NATIVE["665270"]
PRODUCT = NATIVE["694eff"]

# The mean of logarithms reaches exp's whole finite domain: log|x| runs from
# about -744.4 (the smallest subnormal) to 709.78 (the largest double).
EDGE_VALUES = [5e-324, 1e-323, 2.2250738585072014e-308, 1e-310, 1e-300, 1.7976931348623157e308, 1e308,
               1e300, 1e-200, 1.0, 1.0000000000000002, 0.9999999999999999, 2.0, 0.5, 7.0, 1e-20, 1e20]


def edge_array():
    rng = np.random.default_rng(7)
    cols = [np.array(EDGE_VALUES * 3), rng.lognormal(0, 300, 51), -rng.lognormal(0, 200, 51),
            np.exp(rng.uniform(-745.0, 709.7, 51)), np.exp(rng.uniform(-745.0, -700.0, 51)),
            np.exp(rng.uniform(700.0, 709.78, 51)), rng.uniform(-1e-3, 1e-3, 51) + 1.0]
    # Each row's exponentials are taken together: 21 columns fill whole vectors
    # of eight and of four lanes and leave a tail, with every kind of mean,
    # those computed again on their own included, in every lane.
    shuffled = [rng.permutation(col) for _ in range(2) for col in cols]
    return np.column_stack(cols + shuffled)


def results():
    """Geometric means of the edge values and products of wrapping integers."""
    data = edge_array()
    ints = np.random.default_rng(3).integers(-2**40, 2**40, (300, 20))
    out = {("geo", w): GEO(Instance(w), data) for w in (1, 2, 3, 5, 9, 20)}
    for dtype in (np.int64, np.uint64, np.int32, np.int16):
        out["product", np.dtype(dtype).name] = PRODUCT(Instance(7), ints.astype(dtype))
    return out


@pytest.mark.parametrize("setting", [{"VANTOREL_EXP": "library"}, {"VANTOREL_ISA": "avx2"}])
def test_every_variant_gives_the_same_bits(setting):
    """The same arrays through a process that must take the other variant."""
    here = results()
    code = ("import pickle, sys\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "from test_logarithmic_variants import results\n"
            "sys.stdout.buffer.write(pickle.dumps(results()))\n")
    env = dict(os.environ, **setting)
    out = subprocess.run([*PYTHON, "-c", code, os.path.dirname(__file__)], env=env, check=True,
                         capture_output=True, timeout=120).stdout
    there = pickle.loads(out)
    for key, got in here.items():
        assert same_bits(got, there[key]), key


def test_edges_against_model():
    data = edge_array()
    for w in (1, 2, 3, 5, 9, 20):
        assert_same("665270", w, data)


magnitudes = st.one_of(
    st.floats(min_value=5e-324, max_value=1.7976931348623157e308),
    st.floats(min_value=5e-324, max_value=1e-290),
    st.floats(min_value=1e290, max_value=1.7976931348623157e308),
    st.floats(min_value=0.5, max_value=2.0),
)


@given(st.lists(st.tuples(magnitudes, st.booleans()), min_size=1, max_size=24), st.integers(1, 4))
def test_means_of_random_magnitudes_match_math_exp(values, window):
    column = np.array([-m if negative else m for m, negative in values])
    # The column beside its rotations, so that each row's exponentials fill
    # whole vectors of lanes and a tail, not the tail alone.
    data = np.column_stack([np.roll(column, k) for k in range(19)])
    got = GEO(Instance(window), data)
    for n in range(data.shape[1]):
        for t in range(data.shape[0]):
            col = data[max(0, t - window + 1):t + 1, n]
            if col[-1] < 0:
                expected = math.nan
            else:
                sign = -1.0 if np.sum(col < 0) % 2 else 1.0
                expected = sign * math.exp(np.sum(np.log(np.abs(col))) / col.size)
            assert same_bits(np.float64(got[t, n]), np.float64(expected)), (t, n, col)
