"""Every error text the modules reproduce from the host, against what the running host's own
code raises on the same input: unpacking, late-bound names, calls refused by the binder.
The texts moved between versions (3.14 names the size of an exact list, tuple or dict that
unpacks too many values), so each case asks the host itself rather than a stored string."""
import builtins

import numpy as np
import pytest

import vantorel._parity_watch as pw
import vantorel.cycle_roster as cr
import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg
from models.logarithmic_model import Instance


def host_error(fn):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - compared below
        return type(exc), str(exc)
    raise AssertionError("the host raised nothing")


def native_error(fn, *args, **kwargs):
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    return type(info.value), str(info.value)


def host_unpack(value):
    def unpack():
        a, b = value  # noqa: F841 - the statement whose error is compared

    return host_error(unpack)


class Shaped:
    def __init__(self, shape):
        self.shape = shape


def shapes():
    """Values of `data.shape` that fail to unpack into two, each made afresh."""
    return {
        "list-3": lambda: [2, 2, 2],
        "tuple-3": lambda: (2, 2, 2),
        "dict-3": lambda: {1: 1, 2: 2, 3: 3},
        "tuple-1": lambda: (2,),
        "empty": lambda: (),
        "generator-3": lambda: (n for n in (2, 2, 2)),
        "range-3": lambda: range(3),
        "non-iterable": lambda: 5,
        "str-3": lambda: "abc",
    }


@pytest.mark.parametrize("case", list(shapes()))
@pytest.mark.parametrize("fn", [lg.longitudinal_logarithmic_694eff_batch_reference,
                                lg.longitudinal_logarithmic_665270_batch_reference])
def test_unpacking_the_shape_fails_with_the_hosts_text(fn, case):
    make = shapes()[case]
    assert native_error(fn, Instance(2), Shaped(make())) == host_unpack(make())


def test_unpacking_a_real_array_shape_fails_with_the_hosts_text():
    data = np.zeros((2, 2, 2))
    assert native_error(lg.longitudinal_logarithmic_665270_batch_reference, Instance(2), data) == \
        host_unpack(data.shape)


class Items(dict):
    """A Mapping whose items() hands out the given entries."""

    def __init__(self, entries):
        super().__init__(a=1)
        self._entries = entries

    def items(self):
        return self._entries


@pytest.mark.parametrize("entry", [("a", 1, 2), ["a", 1, 2], {"a": 1, "b": 2, "c": 3}, ("a",), 7,
                                   iter(["a", 1, 2])],
                         ids=["tuple-3", "list-3", "dict-3", "tuple-1", "int", "iterator-3"])
@pytest.mark.parametrize("fn", [pw._json_safe, pw.projection_hash])
def test_unpacking_mapping_items_fails_with_the_hosts_text(fn, entry):
    made = lambda: entry if not hasattr(entry, "__next__") else iter(["a", 1, 2])  # noqa: E731
    assert native_error(fn, Items([made()])) == host_unpack(made())


def test_an_unbound_late_name_fails_with_the_hosts_name_error():
    def host():
        return str(1)

    saved = builtins.str
    del builtins.str
    caught = []
    try:
        for fn in (lambda: cr.EpochName.from_str("signal_os"), host):
            try:
                fn()
            except NameError as exc:
                caught.append(exc)
    finally:
        builtins.str = saved
    assert [e.args for e in caught] == [("name 'str' is not defined",)] * 2


def python_twin(name, params):
    """A def of the same name and parameters, for the binder's texts."""
    namespace = {}
    exec(f"def {name}({params}): pass", namespace)  # noqa: S102 - a test twin, not module logic
    return namespace[name]


CALLS = [
    (cr.valid_epochs_for_category, "category", [((), {}), ((1, 2), {}), ((1,), {"category": 1}),
                                                ((), {"categry": 1}), ((1,), {"other": 2})]),
    (pw.projection_hash, "projection", [((), {}), ((1, 2), {}), ((), {"projectio": 1})]),
    (pw.record_projection_mismatch, "*, data, projection, mismatches, epoch_ns=None",
     [((), {}), ((1,), {}), ((), {"data": 1, "projection": 2}), ((), {"data": 1, "projection": 2, "mismatch": 3})]),
    (lg.longitudinal_logarithmic_694eff_batch_reference, "instance, data",
     [((), {}), ((1, 2, 3), {}), ((1,), {"instance": 2}), ((1, 2), {"dta": 3})]),
]


@pytest.mark.parametrize(
    "native, params, args, kwargs",
    [(fn, params, a, k) for fn, params, cases in CALLS for a, k in cases],
)
def test_refused_calls_read_like_the_hosts(native, params, args, kwargs):
    twin = python_twin(native.__name__, params)
    assert native_error(native, *args, **kwargs) == host_error(lambda: twin(*args, **kwargs))
