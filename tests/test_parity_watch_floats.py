"""Float text in projection_hash: the native shortest-digits conversion (shortest_double.cpp)
against the C++ library's std::to_chars, and the whole hash against the model (json.dumps,
so float.__repr__)."""
import math
import os
import shutil
import struct
import subprocess
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from models import parity_watch_model as model
from vantorel import _parity_watch as pw

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "tests" / "native" / "shortest_double_check.cpp"
SOURCES = ROOT / "native" / "parity_watch"

PROBE = """#include <charconv>
int main() {
    char b[32];
    double x = 0.1;
    return std::to_chars(b, b + sizeof b, x, std::chars_format::scientific).ec != std::errc();
}
"""


def _compiler(tmp_path):
    """A C++20 compiler whose library has floating std::to_chars (the oracle), or None."""
    probe = tmp_path / "probe.cpp"
    probe.write_text(PROBE)
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        cxx = name and shutil.which(name)
        if cxx and subprocess.run([cxx, "-std=c++20", str(probe), "-o", str(tmp_path / "probe")],
                                  capture_output=True).returncode == 0:
            return cxx
    return None


def test_digits_and_text_against_to_chars(tmp_path):
    if not (CHECK.exists() and (SOURCES / "shortest_double.cpp").exists()):
        pytest.skip("needs the source tree")
    cxx = _compiler(tmp_path)
    if cxx is None:
        pytest.skip("no C++ compiler with floating std::to_chars")
    exe = tmp_path / "shortest_double_check"
    build = subprocess.run([cxx, "-O2", "-std=c++20", "-Wall", "-Wextra", f"-I{SOURCES}", str(CHECK),
                            str(SOURCES / "shortest_double.cpp"), "-o", str(exe)],
                           capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe), "200000"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and "total mismatches: 0" in run.stdout, run.stdout + run.stderr


# ---- against the model -----------------------------------------------------------------

def same_as_model(x):
    projection = {"v": x, "w": [x, -x]}
    assert pw.projection_hash(projection) == model.projection_hash(projection), repr(x)


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def to_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.mark.parametrize("x", [
    0.0, 5e-324, 1e-323, from_bits(0x000FFFFFFFFFFFFF), 2.2250738585072014e-308, 1.7976931348623157e308,
    0.1, 1 / 3, 2.0 ** 53, 2.0 ** 53 + 2, 2.0 ** 54, 2.0 ** 63, 123456789012345680.0,
    1e-4, 9.999999999999999e-05, 0.00011, 1e16, 9999999999999998.0, 1e15, 1e22, 1e23, 1e100, 1e-100,
    math.pi, 1.5, 100.0, 1234.5678,
])
def test_corner_cases(x):
    same_as_model(x)


@given(st.floats(allow_nan=True, allow_infinity=True))
def test_any_float(x):
    same_as_model(x)


@given(st.integers(-(2**70), 2**70).map(float))
def test_integral_floats(x):
    same_as_model(x)


# Values whose decimal point falls on either side of where repr switches layout
# (0.0001 / 9.9e-05, 16 / 17 integer digits), as short decimals and as doubles a few
# units in the last place from the thresholds.
@given(st.integers(1, 10**17 - 1), st.sampled_from([-5, -4, -3, 15, 16, 17]))
def test_short_decimals_near_layout_switch(digits, decpt):
    same_as_model(float(f"{digits}e{decpt - len(str(digits))}"))


@given(st.sampled_from([1e-4, 1e16]), st.integers(-(2**20), 2**20))
def test_ulps_from_layout_switch(threshold, ulps):
    same_as_model(from_bits(to_bits(threshold) + ulps))
