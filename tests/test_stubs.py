"""The shipped .pyi stubs agree with the native modules (mypy's stubtest)."""
import subprocess
from pathlib import Path

import pytest
from interpreter import PYTHON

pytest.importorskip("mypy")

import vantorel

ROOT = Path(__file__).resolve().parents[1]
# The stubs as installed (a wheel's, when the suite runs against one), not the source tree's.
PACKAGE = Path(vantorel.__file__).resolve().parent
STUBBED = sorted(
    "vantorel." + ".".join(p.relative_to(PACKAGE).with_suffix("").parts)
    for p in PACKAGE.rglob("*.pyi")
)


def test_every_native_module_has_a_stub():
    assert {"vantorel.cycle_roster", "vantorel._sdk_telemetry"} <= set(STUBBED)


def test_stubs_match_runtime(tmp_path):
    result = subprocess.run(
        [*PYTHON, "-m", "mypy.stubtest", *STUBBED,
         "--allowlist", str(ROOT / "tools" / "stubtest-allowlist.txt"),
         "--mypy-config-file", str(tmp_path / "none.ini")],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
