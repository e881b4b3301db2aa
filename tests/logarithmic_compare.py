"""The batch references side by side with their per-cell model: one comparison
shared by every logarithmic test file."""
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from models.logarithmic_model import FUNCTIONS, Instance, outcome, same_bits

NATIVE = {
    "694eff": lg.longitudinal_logarithmic_694eff_batch_reference,
    "665270": lg.longitudinal_logarithmic_665270_batch_reference,
}


def assert_same_as_model(key, instance, data, check_warnings=True):
    """Same result bit for bit (or same error), and the same warnings."""
    expected = outcome(FUNCTIONS[key], instance, data)
    got = outcome(NATIVE[key], instance, data)
    assert got[0] == expected[0], (got, expected)
    if got[0] == "ok":
        assert same_bits(got[1], expected[1]), (got[1], expected[1])
    else:
        assert got[1:3] == expected[1:3]
    if check_warnings:
        assert got[-1] == expected[-1]
    return got


def assert_same(key, window, data):
    return assert_same_as_model(key, Instance(window), data)
