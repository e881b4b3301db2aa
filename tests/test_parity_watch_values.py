"""Reason codes, version, shape axes, tags, _json_safe and _bounded_text."""
import collections
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from models import parity_watch_model as model
from vantorel import _parity_watch as pw

# ---- reason codes ------------------------------------------------------------


@pytest.mark.parametrize("mismatches, code", [
    ([], "projection_mismatch"),
    ((), "projection_mismatch"),
    (["Field MISSING"], "invalid_projection"),
    (["value is NOT AN OBJECT"], "invalid_projection"),
    (["shape_key differs", "market_id differs"], "market_era_mismatch"),
    (["shape_key differs", "missing"], "invalid_projection"),
    (["ERA_NUMBER"], "market_era_mismatch"),
    (["shape_key differs"], "shape_mismatch"),
    (["shape key differs"], "projection_mismatch"),
    (["value is not an", "object"], "invalid_projection"),
    ([None, 7], "projection_mismatch"),
    ("missing", "projection_mismatch"),
    (iter(["MISSING"]), "invalid_projection"),
    (["MİSSING"], "projection_mismatch"),  # full Unicode lower-casing: i + combining dot
    ({"missing": 1}, "invalid_projection"),
])
def test_reason_codes(mismatches, code):
    assert pw.projection_mismatch_reason(mismatches) == code


def test_reason_code_calls_the_lower_of_what_str_returned():
    """str(item).lower(): a str subclass returned by __str__ answers with its own lower()."""
    class Loud(str):
        def lower(self):
            return "missing"

    class Obj:
        def __str__(self):
            return Loud("SHAPE_KEY")
    assert pw.projection_mismatch_reason([Obj()]) == model.projection_mismatch_reason([Obj()])
    assert pw.projection_mismatch_reason([Obj()]) == "invalid_projection"


def test_reason_code_errors():
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        pw.projection_mismatch_reason(None)

    class Bad:
        def __str__(self):
            raise KeyError("k")
    with pytest.raises(KeyError):
        pw.projection_mismatch_reason(["a", Bad()])


@given(st.lists(st.one_of(st.text(), st.integers(), st.none(),
                          st.sampled_from(["missing", "not an", "object", "market_id",
                                           "era_number", "shape_key", "MISSING"]))))
def test_reason_codes_match_model(mismatches):
    assert pw.projection_mismatch_reason(mismatches) == model.projection_mismatch_reason(mismatches)


# ---- version and shape axes ----------------------------------------------------


class Proxy(collections.abc.Mapping):
    """A mapping that is not a dict, logging every read."""

    def __init__(self, data, log=None):
        self._data = dict(data)
        self.log = [] if log is None else log

    def __getitem__(self, key):
        self.log.append(("getitem", key))
        return self._data[key]

    def __iter__(self):
        self.log.append(("iter",))
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def get(self, key, default=None):
        self.log.append(("get", key))
        return self._data.get(key, default)

    def keys(self):
        self.log.append(("keys",))
        return list(reversed(list(self._data)))

    def items(self):
        self.log.append(("items",))
        return list(self._data.items())


@pytest.mark.parametrize("projection, version", [
    ({"projection_version": 0, "version": "beta"}, "beta"),
    ({}, "unspecified"),
    (None, "none"),
    ([("version", 1)], "none"),
    ({"version": "x" * 200}, "x" * 93 + "..."),
    ({"version": 3}, "3"),
    ({"schema_version": [1, 2]}, "[1, 2]"),
    ({"projection_version": "", "version": 0.0, "schema_version": False}, "unspecified"),
    ({"projection_version": None, "version": (), "schema_version": "s"}, "s"),
    (types.MappingProxyType({"version": "mp"}), "mp"),
])
def test_projection_version(projection, version):
    assert pw._projection_version(projection) == version


def test_projection_version_reads_lazily_through_get():
    p = Proxy({"projection_version": "", "version": "v", "schema_version": "s"})
    assert pw._projection_version(p) == "v"
    assert p.log == [("get", "projection_version"), ("get", "version")]


@pytest.mark.parametrize("projection, shape_key, axes", [
    ({"shape_fields": ["lane", "", 3, "lane"]}, None, ("lane", "lane")),
    ({"shape_fields": []}, {"x": 1, 2: 3}, ("x", "2")),
    ({"shape_fields": "lane"}, None, ()),
    (None, {"x": 1}, ()),
    ({"shape_fields": [""]}, {"y": 0}, ("y",)),
    ({"shape_fields": ("a", "b")}, {"y": 0}, ("a", "b")),
    ({"shape_fields": {"a": 1}}, {"y": 0, None: 1}, ("y", "None")),
    ({}, {}, ()),
    ({"shape_fields": ["a"]}, "not a mapping", ("a",)),
    ({}, Proxy({"k1": 1, "k2": 2}), ("k2", "k1")),  # the mapping's own keys() order
])
def test_shape_axes(projection, shape_key, axes):
    assert pw._projection_shape_axes(projection, shape_key) == axes


def test_shape_axes_str_subclasses():
    class Name(str):
        def __str__(self):
            return "renamed"

    class Empty(str):
        def __bool__(self):
            return False
    axes = pw._projection_shape_axes({"shape_fields": [Name("n"), Empty("e")]}, None)
    assert axes == ("renamed",) == model._projection_shape_axes(
        {"shape_fields": [Name("n"), Empty("e")]}, None)


def test_shape_axes_dict_changed_while_walked():
    class Grow:
        def __init__(self, d):
            self.d = d

        def __str__(self):
            self.d["new"] = 1
            return "g"
    d = {}
    d[Grow(d)] = 1
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        pw._projection_shape_axes({}, d)


keys = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.none(), st.booleans())
small_values = st.one_of(st.text(max_size=8), st.integers(), st.none(), st.floats(allow_nan=False))
fields = st.one_of(st.text(max_size=4), st.integers(), st.none())


@given(
    st.one_of(st.none(), st.dictionaries(
        st.sampled_from(["projection_version", "version", "schema_version", "shape_fields",
                         "shape_key", "other"]),
        st.one_of(small_values, st.lists(fields, max_size=4), st.tuples(fields, fields),
                  st.dictionaries(keys, small_values, max_size=4)))),
    st.one_of(st.none(), st.dictionaries(keys, small_values, max_size=4)),
)
def test_version_and_shape_axes_match_model(projection, shape_key):
    assert pw._projection_version(projection) == model._projection_version(projection)
    assert pw._projection_shape_axes(projection, shape_key) == model._projection_shape_axes(
        projection, shape_key)


# ---- tags ---------------------------------------------------------------------------


def test_tags_fixed_entries():
    tags = pw._tags(data={}, projection=None, reason_code="projection_mismatch")
    assert list(tags.items()) == [
        ("slot_id", "simulation_data_contract_projection"),
        ("parent_home", "src.data_platform.era_data_vault.simulation_data_contract"),
        ("market_id", "unknown"), ("era_number", "unknown"),
        ("reason_code", "projection_mismatch"), ("projection_version", "none"),
        ("projection_hash", "none"), ("consumer", "vantorel_sdk"), ("decision", "mismatch"),
        ("surface", "sdk_runtime"),
    ]
    assert list(tags) == list(pw._TAG_KEYS)


@pytest.mark.parametrize("data, market, era", [
    ({"market_id": None}, "None", "unknown"),
    ({"era_id": 7}, "unknown", "7"),
    ({"era_number": 3, "era_id": 7}, "unknown", "3"),
    ({"era_number": None, "era_id": 7}, "unknown", "None"),
    ({"market_id": "m" * 200}, "m" * 93 + "...", "unknown"),
])
def test_tags_market_and_era(data, market, era):
    tags = pw._tags(data=data, projection=None, reason_code="r" * 100)
    assert (tags["market_id"], tags["era_number"]) == (market, era)
    assert tags["reason_code"] == "r" * 93 + "..."


@pytest.mark.parametrize("data, projection, extra", [
    ({}, {"shape_key": {"lane": "L1", "tier": 2}}, [("lane", "L1"), ("tier", "2")]),
    ({"lane": "L9"}, {"shape_fields": ["lane"]}, [("lane", "L9")]),
    ({}, {"shape_fields": ["lane"]}, [("lane", "unknown")]),
    ({"lane": "L9"}, {}, []),
    ({}, {"shape_key": {"v": "x" * 100}}, [("v", "x" * 93 + "...")]),
    ({"market_id": "M"}, {"shape_fields": ["market_id"], "shape_key": {"market_id": "X"}}, []),
])
def test_tags_shape_axes(data, projection, extra):
    tags = pw._tags(data=data, projection=projection, reason_code="rc")
    assert list(tags.items())[10:] == extra
    if not extra and "shape_fields" in projection:
        assert list(tags)[2] == "market_id" and tags["market_id"] == "X"


def test_tags_reads_data_in_order_and_late_binds(monkeypatch):
    log = []
    data = Proxy({"market_id": "M", "era_id": 5}, log)
    pw._tags(data=data, projection=None, reason_code="rc")
    assert log == [("get", "market_id"), ("get", "era_id"), ("get", "era_number")]

    monkeypatch.setattr(pw, "_bounded_text", lambda v: f"<{v}>")
    monkeypatch.setattr(pw, "_projection_version", lambda p: "V")
    monkeypatch.setattr(pw, "projection_hash", lambda p: "H")
    monkeypatch.setattr(pw, "_projection_shape_axes", lambda p, k: ("ax",))
    monkeypatch.setattr(pw, "_PARENT_HOME", "home")
    tags = pw._tags(data={"ax": 1}, projection={}, reason_code="rc")
    assert tags["parent_home"] == "home" and tags["market_id"] == "<unknown>"
    assert (tags["projection_version"], tags["projection_hash"], tags["ax"]) == ("V", "H", "<1>")


def test_tags_errors():
    with pytest.raises(TypeError, match="takes 0 positional arguments but 3 were given"):
        pw._tags({}, None, "rc")
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'reason_code'"):
        pw._tags(data={}, projection=None)
    with pytest.raises(AttributeError):
        pw._tags(data=[], projection=None, reason_code="rc")


shape_keys = st.dictionaries(st.one_of(st.text(max_size=3), st.integers(0, 3)), small_values,
                             max_size=4)


@given(
    data=st.dictionaries(st.sampled_from(["market_id", "era_number", "era_id", "lane", "tier"]),
                         st.one_of(small_values, st.text(min_size=90, max_size=110)), max_size=5),
    projection=st.one_of(st.none(), st.fixed_dictionaries({}, optional={
        "shape_fields": st.one_of(st.lists(st.one_of(st.sampled_from(["lane", "tier", "market_id", ""]),
                                                     st.integers()), max_size=3), st.text(max_size=3)),
        "shape_key": st.one_of(shape_keys, st.none(), st.integers()),
        "version": small_values,
        "payload": st.lists(small_values, max_size=3),
    })),
    reason_code=st.one_of(st.text(max_size=120), st.integers()),
)
def test_tags_match_model(data, projection, reason_code):
    got = pw._tags(data=data, projection=projection, reason_code=reason_code)
    want = model._tags(data=data, projection=projection, reason_code=reason_code)
    assert list(got.items()) == list(want.items())


# ---- _json_safe ------------------------------------------------------------------------


class Point(tuple):
    pass


@pytest.mark.parametrize("value, safe", [
    ({1: (2, {3}), "b": None}, {"1": [2, "{3}"], "b": None}),
    ({1: "a", "1": "b"}, {"1": "b"}),
    (b"ab", "b'ab'"),
    ({None: 1, True: 2}, {"None": 1, "True": 2}),
    (Point((1, 2)), [1, 2]),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}),
    (frozenset(), "frozenset()"),
])
def test_json_safe(value, safe):
    got = pw._json_safe(value)
    assert got == safe and type(got) is type(safe)
    if isinstance(safe, dict):
        assert list(got) == list(safe)


def test_json_safe_passes_scalars_through():
    nan = float("nan")
    for v in (nan, True, 10**100, "s", None, float("inf")):
        assert pw._json_safe(v) is v
    od = collections.OrderedDict([("a", 1), ("b", 2)])
    od.move_to_end("a")
    assert list(pw._json_safe(od)) == ["b", "a"]
    merged = pw._json_safe({1: "a", "x": 0, "1": "b"})
    assert list(merged.items()) == [("1", "b"), ("x", 0)]


def test_json_safe_errors():
    d = {}
    d["d"] = d
    with pytest.raises(RecursionError):
        pw._json_safe(d)

    class Pairs(collections.abc.Mapping):
        def __init__(self, items):
            self._items = items
        __getitem__ = __iter__ = __len__ = None

        def items(self):
            return self._items
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        pw._json_safe(Pairs([("a",)]))
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2"):
        pw._json_safe(Pairs([("a", 1, 2)]))
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        pw._json_safe(Pairs([1]))


def test_json_safe_recursion_goes_through_the_global(monkeypatch):
    own = pw._json_safe
    monkeypatch.setattr(pw, "_json_safe", lambda v: "inner")
    assert own({"a": [1]}) == {"a": "inner"}
    assert own([1, 2]) == ["inner", "inner"]
    monkeypatch.setattr(pw, "_json_safe", own)
    monkeypatch.setattr(pw, "Mapping", list)
    assert own({"a": 1}) == "{'a': 1}"
    with pytest.raises(AttributeError):
        own([("a", 1)])


json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=5),
              st.binary(max_size=3)),
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.tuples(children, children),
        st.dictionaries(st.one_of(st.text(max_size=3), st.integers(-2, 2), st.booleans(), st.none()),
                        children, max_size=4),
        st.frozensets(st.integers(0, 3), max_size=2)),
    max_leaves=20)


@given(json_like)
def test_json_safe_matches_model(value):
    got, want = pw._json_safe(value), model._json_safe(value)
    assert repr(got) == repr(want)


# ---- _bounded_text ----------------------------------------------------------------------


@pytest.mark.parametrize("args, text", [
    (("x" * 96,), "x" * 96),
    (("x" * 97,), "x" * 93 + "..."),
    ((None,), "None"),
    (("abcd", 3), "..."),
    (("abcd", 2), "abc..."),
    (("abcd", 0), "a..."),
    (("", 0), ""),
    (("abcdef", -10), "..."),
    (("abcd", 96.0), "abcd"),
    (("abcd", True), "ab..."),
    (("abcd", 10**30), "abcd"),
    (("abcd", -(10**30)), "..."),
    ((12345, 4), "1..."),
])
def test_bounded_text(args, text):
    assert pw._bounded_text(*args) == text


def test_bounded_text_errors_and_identity():
    s = "exact"
    assert pw._bounded_text(s) is s
    with pytest.raises(TypeError):
        pw._bounded_text("x" * 100, 96.0)

    class Bad:
        def __str__(self):
            raise OSError
    with pytest.raises(OSError):
        pw._bounded_text(Bad())


def test_bounded_text_str_subclass_uses_its_own_operations():
    class Text(str):
        def __len__(self):
            return 1000

        def __getitem__(self, item):
            return Text("cut")

        def __add__(self, other):
            return "added:" + str.__add__(self, other)

    class Obj:
        def __str__(self):
            return Text("short")
    assert pw._bounded_text(Obj()) == model._bounded_text(Obj()) == "added:cut..."


@given(st.one_of(st.text(max_size=120), st.integers()), st.integers(-200, 200))
def test_bounded_text_matches_model(value, bound):
    assert pw._bounded_text(value, bound) == model._bounded_text(value, bound)
