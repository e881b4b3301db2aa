"""The native fast paths (memoised global reads, word-wise string writer,
prefix-keyed key sort, plain leaves, ASCII reason codes) against their
fallbacks and the straightforward evaluation."""
import collections.abc
import hashlib
import json
import random

import pytest

from models import parity_watch_model as model
from vantorel import _parity_watch as pw


def literal(projection):
    payload = json.dumps(pw._json_safe(projection), sort_keys=True, separators=(",", ":"),
                         default=str).encode("utf-8")
    return hashlib.sha256(payload).hexdigest()[:16]


SMALL = {"projection_version": "v3", "market_id": "NYSE", "era_number": 812,
         "shape_fields": ["lane"], "shape_key": {"lane": "L1"}, "ratio": 0.5}
DATA = {"market_id": "NYSE", "era_number": 812}


def tags():
    return pw._tags(data=DATA, projection=SMALL, reason_code="shape_mismatch")


def warm():
    for _ in range(3):
        tags()


# ------------------------------------------------------------- global reads

@pytest.mark.parametrize("name, value, key, expected", [
    ("_PARENT_HOME", "elsewhere", "parent_home", "elsewhere"),
    ("projection_hash", lambda p: "h", "projection_hash", "h"),
    ("_projection_version", lambda p: "pv", "projection_version", "pv"),
    ("_bounded_text", lambda v: "B", "market_id", "B"),
])
def test_rebinding_a_warm_global_is_seen_by_the_next_call(monkeypatch, name, value, key,
                                                          expected):
    warm()
    before = tags()[key]
    monkeypatch.setitem(pw.__dict__, name, value)
    assert tags()[key] == expected
    monkeypatch.undo()
    assert tags()[key] == before


def test_deleting_a_warm_global_gives_name_error_then_recovers(monkeypatch):
    warm()
    monkeypatch.delitem(pw.__dict__, "_PARENT_HOME")
    with pytest.raises(NameError, match="_PARENT_HOME"):
        tags()
    monkeypatch.undo()
    assert tags()["parent_home"] == model._PARENT_HOME


def test_rebinding_json_and_hashlib_attributes_after_warm_calls(monkeypatch):
    p = {"b": [1, 2.5], "a": "x"}
    for _ in range(3):
        assert pw.projection_hash(p) == literal(p)
    monkeypatch.setattr(json, "dumps", lambda obj, **kw: "[]")
    assert pw.projection_hash(p) == hashlib.sha256(b"[]").hexdigest()[:16]
    monkeypatch.undo()
    monkeypatch.setattr(hashlib, "sha256", hashlib.md5)
    assert pw.projection_hash(p) == hashlib.md5(b'{"a":"x","b":[1,2.5]}').hexdigest()[:16]
    monkeypatch.undo()
    assert pw.projection_hash(p) == literal(p)


@pytest.mark.parametrize("module", [pw, model], ids=["native", "model"])
def test_global_rebound_by_caller_code_mid_call(monkeypatch, module):
    # `_bounded_text` is read before each data.get runs: the market tag uses the
    # old function, the era tag the one the first get bound.
    class Data(dict):
        def get(self, key, default=None):
            if key == "market_id":
                module.__dict__["_bounded_text"] = lambda v: f"new:{v}"
            return super().get(key, default)
    monkeypatch.setitem(module.__dict__, "_bounded_text", module._bounded_text)
    for _ in range(3):
        module._tags(data=DATA, projection=SMALL, reason_code="r")
    got = module._tags(data=Data(DATA), projection=SMALL, reason_code="r")
    assert (got["market_id"], got["era_number"]) == ("NYSE", "new:812")


def test_plain_leaves_follow_a_rebound_mapping(monkeypatch):
    p = {"k": "text", "n": 1}
    for _ in range(3):
        pw.projection_hash(p)
    # A Mapping test that claims str: its values are walked through .items().
    monkeypatch.setitem(pw.__dict__, "Mapping", (dict, str))
    monkeypatch.setitem(model.__dict__, "Mapping", (dict, str))
    with pytest.raises(AttributeError, match="items"):
        model.projection_hash(p)
    with pytest.raises(AttributeError, match="items"):
        pw.projection_hash(p)


# ------------------------------------------------------------- string writer

SPECIALS = ['"', "\\", "\x00", "\n", "\x1f", " ", "~", "\x7f", "\x80", "\xe9", "\xff",
            "\u0100", "\u2028", "\ud800", "\U0001f600"]


@pytest.mark.parametrize("special", SPECIALS, ids=[hex(ord(c)) for c in SPECIALS])
def test_escapes_at_every_position_of_a_word(special):
    for length in (7, 8, 9, 16, 17):
        for at in range(length):
            text = "abcdefghijklmnopq"[:length]
            text = text[:at] + special + text[at + 1:]
            p = {text: text, "v": [text, text * 3]}
            assert pw.projection_hash(p) == literal(p), (length, at)


# ------------------------------------------------------------- key sort

KEYS = ["", "\x00", "a", "a\x00", "a" + "\x00" * 8, "abcdefgh", "abcdefgh\x00", "abcdefghi",
        "abcdefgg\xff", "abcdefgh\xff", "\xff", "\u0100", "\U00010000", "ab\xe9", "ab\u0101",
        "abcdefgh\u0101", "abcdefgh\U00010000", "B", "b", "ba"]


@pytest.mark.parametrize("seed", range(6))
def test_key_order_with_shared_prefixes_and_mixed_widths(seed):
    keys = KEYS[:]
    random.Random(seed).shuffle(keys)
    small = {k: i for i, k in enumerate(keys[:12])}
    large = {k + suffix: i for i, k in enumerate(keys) for suffix in ("", "x", "\x00")}
    assert pw.projection_hash(small) == literal(small)
    assert pw.projection_hash({"nested": large, "s": small}) == literal({"nested": large, "s": small})


@pytest.mark.parametrize("p", [{1: "int", "1": "str"}, {"1": "str", 1: "int"},
                               {True: 1, "True": 2, 1.0: 3}])
def test_colliding_keys_keep_the_last_assignment(p):
    assert pw.projection_hash(p) == literal(p) == model.projection_hash(p)


# ------------------------------------------------------------- reason codes

class Loud(str):
    def __str__(self):
        return "MISSING field"


@pytest.mark.parametrize("mismatches", [
    ["SHAPE_KEY differs"], ("rows", "Market_ID"), ["not an", "object"], ["not an object"],
    ["shape", "_key"], [], [""], ["Era_Number", "missing"],
    ["mar\u212aet_id"],          # the Kelvin sign lowers to "k": found through str.lower
    ["\u0130missing"],           # non-ASCII text takes the host's lower()
    [Loud("quiet")], (x for x in ["shape_key"]), ["x" * 600 + " shape_key"],
])
def test_reason_code_fast_path_and_fallback(mismatches):
    items = list(mismatches)
    assert pw.projection_mismatch_reason(items) == model.projection_mismatch_reason(items)
    assert pw.projection_mismatch_reason(tuple(items)) == model.projection_mismatch_reason(items)
