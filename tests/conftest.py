"""Shared test settings.

Hypothesis profiles: "default" for everyday runs; "emulated" (a quarter of the examples)
where the suite runs under an emulator (the aarch64 legs: every example costs ten times as
much there, and what differs by architecture is the kernels, which the fixed cases cover in
full); set VANTOREL_FUZZ_EXAMPLES to a number to run every property test with that many
examples (the long fuzzing mode).
"""
import os
import sys
from pathlib import Path

from hypothesis import HealthCheck, settings

sys.path.insert(0, str(Path(__file__).resolve().parent))

settings.register_profile(
    "default",
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
_fuzz = os.environ.get("VANTOREL_FUZZ_EXAMPLES")
if _fuzz:
    settings.register_profile(
        "fuzz",
        max_examples=int(_fuzz),
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )
    settings.load_profile("fuzz")
elif os.environ.get("VANTOREL_TEST_PYTHON"):  # tests/interpreter.py: set by the emulated legs
    settings.register_profile("emulated", settings.get_profile("default"), max_examples=50)
    settings.load_profile("emulated")
else:
    settings.load_profile("default")


def pytest_terminal_summary(terminalreporter):
    """Print how many hostile inputs the catalogue tried, per module."""
    tried = getattr(sys.modules.get("hostile_objects"), "TRIED", None)
    if tried:
        counts = ", ".join(f"{name} {n}" for name, n in sorted(tried.items()))
        terminalreporter.write_line(f"hostile inputs tried: {sum(tried.values())} ({counts})")
