"""projection_hash: the native canonical writer against json.dumps + hashlib."""
import collections
import decimal
import hashlib
import json
import math
import sys
import threading
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from models import parity_watch_model as model
from vantorel import _parity_watch as pw


def literal(projection):
    """The straightforward evaluation, straight from the host's json and hashlib."""
    payload = json.dumps(pw._json_safe(projection), sort_keys=True, separators=(",", ":"),
                         default=str).encode("utf-8")
    return hashlib.sha256(payload).hexdigest()[:16]


class S(str):
    def __str__(self):
        return "S-str"

    def __repr__(self):
        return "S-repr"


class I(int):
    def __str__(self):
        return "I-str"

    def __repr__(self):
        return "I-repr"


class F(float):
    def __str__(self):
        return "F-str"

    def __repr__(self):
        return "F-repr"


class Weird:
    def __str__(self):
        return "weird\u00e9\U0001f600"


class SubKey(str):
    """str() of a key giving a str subclass whose ordering is reversed."""

    def __lt__(self, other):
        return str.__gt__(self, other)

    def __gt__(self, other):
        return str.__lt__(self, other)


class KeyMaker:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return SubKey(self.text)


class RevDict(dict):
    def items(self):
        return list(reversed(list(dict.items(self))))


class Frozen(collections.abc.Mapping):
    def __init__(self, *pairs):
        self._pairs = pairs

    def __getitem__(self, key):
        return dict(self._pairs)[key]

    def __iter__(self):
        return iter(k for k, _ in self._pairs)

    def __len__(self):
        return len(self._pairs)

    def items(self):
        return list(self._pairs)


def moved():
    od = collections.OrderedDict([(1, "a"), ("1", "b"), ("z", 0)])
    od.move_to_end(1)
    return od


NASTY = [
    {},
    {"b": 2, "a": [1, None], 3: (True, 1.5)},
    {"t": "caf\u00e9 \u4e2d \U0001f600 \ud800 \udfff \x00\x1f\x7f\"\\/\b\f\n\r\t"},
    {"\U0010ffff": "\ud83d\ude00", "\ud83d": 1},
    {"f": [float("nan"), float("inf"), -float("inf"), 1e16, 1e-05, 0.1, -0.0, 1.0, 5e-324,
           1.7976931348623157e308, 123456789.123]},
    {"i": [0, -1, 2**63, -(2**63) - 1, 2**64, 10**400, -(10**400), True, False]},
    {"s": [S("x"), I(5), F(2.5), F("nan")], S("k"): I(1), I(2): F(3.0), F(1.5): "v"},
    {1: "x", "1": "y"},
    {"1": "y", 1: "x"},
    {True: 1, "True": 2, None: 3, 1.0: 4},
    RevDict([(1, "a"), ("1", "b")]),
    moved(),
    types.MappingProxyType({"m": (1, {2, 3})}),
    Frozen(("a", 1), ("a", 2), (1, 3)),
    {"set": {1}, "fs": frozenset(), "bytes": b"\x00\xff", "obj": Weird(),
     "dec": decimal.Decimal("1.10"), "cplx": 1j, "none": None},
    {"nested": {"z": {"y": [{"x": ()}]}, "a": [[[]]]}},
    {"keys": {KeyMaker("b"): 1, KeyMaker("a"): 2, "c": 3}},
    {KeyMaker("k"): {KeyMaker("j"): 1}},
    {"é": 1, "e": 2, "\U0001f600": 3, "\uffff": 4, "": 5, " ": 6},
]


@pytest.mark.parametrize("projection", NASTY, ids=range(len(NASTY)))
def test_hash_equals_json_dumps_and_sha256(projection):
    got = pw.projection_hash(projection)
    assert got == literal(projection) == model.projection_hash(projection)
    assert len(got) == 16 and all(c in "0123456789abcdef" for c in got)


@pytest.mark.parametrize("projection", [None, [1, 2], "x", 5, ["a", ("b", 1)]])
def test_no_projection(projection):
    assert pw.projection_hash(projection) == "none"


def test_documented_examples():
    assert pw.projection_hash({}) == hashlib.sha256(b"{}").hexdigest()[:16]
    text = b'{"3":[true,1.5],"a":[1,null],"b":2}'
    assert pw.projection_hash({"b": 2, "a": [1, None], 3: (True, 1.5)}) == \
        hashlib.sha256(text).hexdigest()[:16]
    assert pw.projection_hash({1: "x"}) == pw.projection_hash({"1": "x"})
    assert pw.projection_hash({"a": 1}) != pw.projection_hash({"a": 1.0})
    assert pw.projection_hash({"a": (1, 2)}) == pw.projection_hash({"a": [1, 2]})
    assert pw.projection_hash({"a": 1, "b": 2}) == pw.projection_hash({"b": 2, "a": 1})


def test_huge_int_raises_the_hosts_value_error():
    if not hasattr(sys, "set_int_max_str_digits"):
        pytest.skip("no integer string conversion limit on this interpreter")
    big = {"n": 10 ** 5000}
    with pytest.raises(ValueError) as native:
        pw.projection_hash(big)
    with pytest.raises(ValueError) as host:
        literal(big)
    assert str(native.value) == str(host.value)


def test_self_containing_containers_raise_recursion_error():
    d = {}
    d["d"] = d
    lst = []
    lst.append({"l": lst})
    for p in (d, {"l": lst}):
        with pytest.raises(RecursionError):
            pw.projection_hash(p)

    def deep_in_thread():
        try:
            pw.projection_hash(d)
        except RecursionError:
            out.append("ok")
    out = []
    t = threading.Thread(target=deep_in_thread)
    t.start()
    t.join()
    assert out == ["ok"]


def test_dict_changed_while_walked():
    class Grow:
        def __init__(self, d):
            self.d = d

        def __str__(self):
            self.d["new"] = 1
            return "g"

    class Swap:
        def __init__(self, d):
            self.d = d

        def __str__(self):
            del self.d["x"]
            self.d["y"] = 1
            return "s"
    for maker in (Grow, Swap):
        d = {"x": 0}
        d[maker(d)] = 1
        with pytest.raises(RuntimeError) as native:
            pw.projection_hash({"p": d})
        d2 = {"x": 0}
        d2[maker(d2)] = 1
        with pytest.raises(RuntimeError) as host:
            literal({"p": d2})
        assert str(native.value) == str(host.value)


class Logged:
    def __init__(self, log, name, mutate=None):
        self.log, self.name = log, name

    def __str__(self):
        self.log.append(self.name)
        return self.name


class LoggedMap(collections.abc.Mapping):
    def __init__(self, log, pairs):
        self.log, self.pairs = log, pairs

    def __getitem__(self, k):
        raise KeyError(k)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0

    def items(self):
        self.log.append("items")
        return iter(self.pairs)


def logged_projection(log):
    return {
        Logged(log, "k1"): [Logged(log, "v1"), LoggedMap(log, [(Logged(log, "k2"), Logged(log, "v2"))])],
        "plain": Logged(log, "v3"),
        Logged(log, "k3"): LoggedMap(log, [(Logged(log, "k4"), KeyMaker("x"))]),
    }


def test_caller_code_runs_once_in_the_literal_order():
    native_log, model_log = [], []
    assert pw.projection_hash(logged_projection(native_log)) == \
        model.projection_hash(logged_projection(model_log))
    assert native_log == model_log
    assert native_log == ["k1", "v1", "items", "k2", "v2", "v3", "k3", "items", "k4"]


def test_subclass_key_falls_back_without_repeating_caller_code():
    log = []
    p = {Logged(log, "a"): 1, KeyMaker("b"): Logged(log, "v"), Logged(log, "c"): 2}
    assert pw.projection_hash(p) == model.projection_hash(
        {Logged([], "a"): 1, KeyMaker("b"): Logged([], "v"), Logged([], "c"): 2})
    assert log == ["a", "v", "c"]


def test_rebinding_json_safe_during_the_walk(monkeypatch):
    def make(mod):
        class Rebinder:
            def __str__(self):
                mod._json_safe = lambda v: "replaced"
                return "r"
        return {"a": [1, 2], Rebinder(): [3], "z": {"q": 4}}
    own, model_own = pw._json_safe, model._json_safe
    try:
        got = pw.projection_hash(make(pw))
        want = model.projection_hash(make(model))
    finally:
        pw._json_safe, model._json_safe = own, model_own
    assert got == want


class CountingJson:
    def __init__(self):
        self.calls = []

    def dumps(self, obj, **kw):
        self.calls.append((obj, kw))
        return json.dumps(obj, **kw)


def test_fallbacks_read_the_module_globals(monkeypatch):
    p = {"b": (1, 2), 3: None}
    expected = literal(p)
    fake = CountingJson()
    monkeypatch.setattr(pw, "json", fake)
    assert pw.projection_hash(p) == expected
    [(obj, kw)] = fake.calls
    assert obj == {"b": [1, 2], "3": None}
    assert list(kw) == ["sort_keys", "separators", "default"]
    assert kw == {"sort_keys": True, "separators": (",", ":"), "default": str}
    monkeypatch.undo()

    seen = []
    monkeypatch.setattr(pw, "_json_safe", lambda v: seen.append(v) or {"x": 1})
    assert pw.projection_hash(p) == hashlib.sha256(b'{"x":1}').hexdigest()[:16]
    assert seen == [p]
    monkeypatch.undo()

    class FakeHashlib:
        @staticmethod
        def sha256(data):
            seen.append(data)
            return hashlib.md5(data)
    monkeypatch.setattr(pw, "hashlib", FakeHashlib)
    assert pw.projection_hash(p) == hashlib.md5(b'{"3":null,"b":[1,2]}').hexdigest()[:16]
    monkeypatch.undo()

    monkeypatch.setattr(json, "dumps", lambda obj, **kw: "[]")
    assert pw.projection_hash(p) == hashlib.sha256(b"[]").hexdigest()[:16]
    monkeypatch.undo()

    monkeypatch.setattr(pw, "Mapping", dict)
    assert pw.projection_hash(types.MappingProxyType({})) == "none"
    assert pw.projection_hash({"m": types.MappingProxyType({"a": 1})}) == \
        hashlib.sha256(b"{\"m\":\"{'a': 1}\"}").hexdigest()[:16]


def test_value_claiming_a_json_type_is_encoded_as_the_host_does():
    class Liar:
        @property
        def __class__(self):
            return str

        def __str__(self):
            return "liar"
    p = {"v": Liar(), "w": [Liar()]}
    assert pw.projection_hash(p) == literal(p) == model.projection_hash(p)


def test_mapping_registration_is_honoured():
    class Pairs(list):
        def items(self):
            return iter(self)
    p = {"p": Pairs([("a", 1)])}
    before = pw.projection_hash(p)
    collections.abc.Mapping.register(Pairs)
    assert pw.projection_hash(p) == literal(p) != before
    assert pw.projection_hash(p) == hashlib.sha256(b'{"p":{"a":1}}').hexdigest()[:16]


# ---- differential ----------------------------------------------------------------------

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-(10**40), 10**40),
    st.floats(), st.sampled_from([1e16, 1e-05, 1e22, 1e-7, -0.0, 0.1]),
    st.text(st.characters(blacklist_categories=()), max_size=6),
    st.builds(S, st.text(max_size=3)), st.builds(I, st.integers()), st.builds(F, st.floats()),
    st.binary(max_size=3), st.builds(Weird), st.frozensets(st.integers(0, 5), max_size=2),
)
key_st = st.one_of(st.text(st.characters(blacklist_categories=()), max_size=3),
                   st.integers(-2, 2), st.booleans(), st.none(), st.floats(-2, 2),
                   st.builds(S, st.text(max_size=2)), st.builds(I, st.integers(0, 3)),
                   st.builds(KeyMaker, st.text(max_size=2)))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(key_st, children, max_size=4),
        st.dictionaries(key_st, children, max_size=3).map(RevDict),
        st.lists(st.tuples(key_st, children), max_size=3).map(lambda ps: Frozen(*ps)),
        st.dictionaries(key_st, children, max_size=3).map(collections.OrderedDict),
    )


projections = st.dictionaries(key_st, st.recursive(scalars, containers, max_leaves=25), max_size=6)


@given(projections)
def test_hash_matches_json_dumps_and_model(projection):
    got = pw.projection_hash(projection)
    assert got == literal(projection)
    assert got == model.projection_hash(projection)


@given(st.dictionaries(st.text(max_size=4), st.floats(), max_size=8))
def test_float_reprs(projection):
    assert pw.projection_hash(projection) == literal(projection)


def test_float_repr_corner_cases():
    for x in [1e16, 1e-05, 9.999999999999999e15, 1e-4, 2.5e-308, 4.9e-324, 1.0e100,
              float.fromhex("0x1.fffffffffffffp+1023"), math.pi, -math.e]:
        assert pw.projection_hash({"x": x}) == literal({"x": x})


def fresh(text):
    """An equal str that is not the same object."""
    return "".join(list(text))


def test_dicts_repeating_keys_are_written_as_each_one_is():
    # The writer keeps the key order and text of recent dicts by depth; every
    # way a later dict can resemble an earlier one without being written alike.
    rows = [{"b": 1, "a": 2}, {fresh("b"): 3, fresh("a"): 4}, {"a": 5, "b": 6},
            {"b": 7, "c": 8}, {"b": 9, "\u00e1": 10}, {"b": 11, "\u0101": 12}, {"b": 13, "\U0001f600": 14},
            {1: "int", "1": "str"}, {"1": "str", 1: "int"}, {True: 1, "True": 2, None: 3, "null": 4},
            {"q\"": 1, "\n": 2}, {"q\"": 3, "\n": 4}, {"": 0, "b": 1}]
    shapes = [{"x": 1, "y": 2}, {"y": 1, "z": 2}, {"z": 1, "x": 2}] * 3  # more shapes than ways at one depth
    deep = {"k": 0}
    for i in range(16):
        deep = {"k": deep, "j": [{"k": i}]}
    many = {f"k{i:03d}": i for i in range(70)}
    long_keys = {"x" * 3000: 1, "y" * 3000: 2}
    for p in [{"rows": rows}, {"rows": rows[::-1]}, {"s": shapes}, {"d": deep}, {"m": [many, dict(reversed(many.items()))]},
              {"l": [long_keys, long_keys]}, {"rows": [{"a": {"a": {"a": 1}}}, {"a": {"a": {"b": 1}}}]}]:
        assert pw.projection_hash(p) == literal(p) == model.projection_hash(p)
    # From one call to the next: keys of the same length and kind, other text.
    for p in [{"ab": 1, "cd": 2}, {"ab": 1, "ce": 2}, {"ab": 1, "cd": 2}, {"\u0101b": 1, "cd": 2}]:
        assert pw.projection_hash(p) == literal(p)


@given(st.lists(st.dictionaries(st.one_of(st.sampled_from(["a", "b", "\u00e9", "\u20ac", "ab", "a\\"]),
                                          st.integers(0, 1), st.booleans()),
                                st.integers(0, 3), max_size=4), max_size=6))
def test_rows_of_few_keys_match_json_dumps(rows):
    assert pw.projection_hash({"rows": rows}) == literal({"rows": rows})


def test_native_writer_does_not_go_through_json(monkeypatch):
    def refuse(self, o):
        raise AssertionError("json encoder used")
    p = {"a": [1, 2.5, "x", None, {"b": (True,)}], 7: b"z"}
    expected = literal(p)
    monkeypatch.setattr(json.JSONEncoder, "encode", refuse)
    assert pw.projection_hash(p) == expected
    with pytest.raises(AssertionError, match="json encoder used"):
        pw.projection_hash({KeyMaker("k"): 1})


def test_no_references_leaked_on_any_path(monkeypatch):
    import gc
    import tracemalloc

    d = {}
    d["d"] = d

    # One class for every call: a class made per call enters object's registry of
    # subclasses, whose table is resized now and then, a one-off allocation that the size
    # check below would count as growth (it did, once more classes were alive in the process).
    class Grower:
        def __init__(self, owner):
            self.owner = owner

        def __str__(self):
            self.owner["y"] = 1
            return "k"

    def grow():
        g = {"x": 0}
        g[Grower(g)] = 1
        return {"g": g}

    def run():
        pw.projection_hash(NASTY[1])
        pw.projection_hash({"big": list(range(50)), "f": [0.1] * 20, KeyMaker("s"): 1})
        pw.projection_hash(logged_projection([]))
        for bad in (d, grow()):
            try:
                pw.projection_hash(bad)
            except (RecursionError, RuntimeError):
                pass
        pw._tags(data={"market_id": "m"}, projection={"shape_key": {"a": 1}}, reason_code="r")
        pw._json_safe(NASTY[6])
        pw.projection_mismatch_reason(iter(["missing", 1]))

    for _ in range(50):
        run()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(300):
        run()
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024, grown
