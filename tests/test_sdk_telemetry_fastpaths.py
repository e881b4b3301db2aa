"""The fast paths of warn against plain-Python statements of the same rules."""
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vantorel._sdk_telemetry import Severity, TelemetryRuntime


def fill_reference(template, tags):
    """The documented message rules, step by step."""
    out, copied, search = [], 0, 0
    while True:
        open_ = template.find("{", search)
        if open_ < 0:
            break
        close = template.find("}", open_ + 1)
        if close < 0:
            break
        inner = template.find("{", open_ + 1, close)
        if inner >= 0:
            search = inner
            continue
        search = close + 1
        key = template[open_ + 1:close]
        if key in tags:
            out += [template[copied:open_], tags[key]]
            copied = close + 1
    return "".join(out + [template[copied:]])


def runtime():
    return TelemetryRuntime(component="c", lanes=1, ring_capacity=4)


def register(rt, template):
    return rt.register_call_site(name="s", description="d", message_template=template,
                                 value_unit="u", severity_default=Severity.WARN, file="f",
                                 line=1, tag_keys=())


def message(template, tags):
    rt = runtime()
    site = register(rt, template)
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags=tags)
    return rt.drain_anomalies()[0].message


# Texts of every width: ASCII, Latin-1, BMP, astral and lone surrogates.
ALPHABET = st.sampled_from(list("ab{}{}{}x ") + ["\xe9", "\xff", "\u0100", "\u20ac", "\U0001f600", "\ud800"])
TEXT = st.text(ALPHABET, max_size=24)
KEYS = st.sampled_from(["", "a", "b", "ab", "\xe9", "\u20ac", "\U0001f600", "a{", "x "])


def assert_canonical_width(text):
    """The narrowest kind for the text, as the host's own string operations give.
    One-character strings are left out: the host hands out shared singletons for
    them, which may carry a cached UTF-8 copy (3.13) and so measure larger."""
    if len(text) != 1:
        assert sys.getsizeof(text) == sys.getsizeof("".join(list(text)))


@settings(max_examples=400, deadline=None)
@given(template=TEXT, tags=st.dictionaries(KEYS, TEXT, max_size=6))
def test_message_matches_the_rules(template, tags):
    got = message(template, tags)
    assert got == fill_reference(template, tags)
    # Equal text must also be the same canonical string (hash and width).
    assert hash(got) == hash(fill_reference(template, tags) + "")
    assert_canonical_width(got)


@pytest.mark.parametrize(
    "template, tags, expected",
    [
        ("{a}", {"a": ""}, ""),                                  # everything replaced by nothing
        ("\xe9{a}", {"a": "x"}, "\xe9x"),                         # Latin-1 literal, ASCII value
        ("{\xe9}", {"\xe9": "x"}, "x"),                          # the only wide text is replaced
        ("{\U0001f600}-{a}", {"\U0001f600": "\xe9"}, "\xe9-{a}"),  # astral key, unknown kept
        ("x{a}", {"a": "\U0001f600\ud800"}, "x\U0001f600\ud800"),  # value wider than the template
        ("".join(f"{{k{i}}}," for i in range(40)), {f"k{i}": str(i) for i in range(0, 40, 2)},
         "".join(f"{i}," if i % 2 == 0 else f"{{k{i}}}," for i in range(40))),  # many placeholders
    ],
)
def test_message_edges(template, tags, expected):
    got = message(template, tags)
    assert got == expected == fill_reference(template, tags)
    assert_canonical_width(got)


@pytest.mark.parametrize("template", ["plain text", "{unknown} only", "", "{a"])
def test_a_template_with_nothing_to_fill_is_the_message_itself(template):
    rt = runtime()
    site = register(rt, template)
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={"a": "1"})
    assert rt.drain_anomalies()[0].message is site.message_template


def test_placeholder_names_need_not_be_the_same_objects_as_the_tag_keys():
    rt = runtime()
    site = register(rt, "{" + "".join(["ke", "y"]) + "}")
    key = "".join(["k", "ey"])
    rt.warn(site, 1.0, epoch_ns=1, reason="r", tags={key: "v"})
    assert rt.drain_anomalies()[0].message == "v"


def fresh(text):
    """An equal str that is not the interned object."""
    return "".join(list(text))


def test_keywords_bind_by_text_when_they_are_not_the_interned_names():
    rt = runtime()
    site = register(rt, "{a}")
    kwargs = {fresh("epoch_ns"): 5, fresh("reason"): "r", fresh("tags"): {"a": "1"},
              fresh("severity"): Severity.ERROR}
    assert all(k is not sys.intern(k) for k in kwargs)
    assert rt.warn(site, 1.0, **kwargs) is True
    assert rt.warn(**{fresh("site"): site, fresh("value"): 2.0}, **kwargs) is True
    first, second = rt.drain_anomalies()
    assert (first.epoch_ns, first.message, first.severity, second.value) == (5, "1", Severity.ERROR, 2.0)
    with pytest.raises(TypeError, match="got multiple values for argument 'site'"):
        rt.warn(site, 1.0, **{fresh("site"): site}, **kwargs)
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'epoch'"):
        rt.warn(site, 1.0, **{fresh("epoch"): 1}, **kwargs)


@pytest.mark.parametrize("ns, ok", [(-2**63, True), (2**63 - 1, True), (2**30, True), (2**62 + 1, True),
                                    (-2**63 - 1, False), (2**64, False), (-2**200, False)])
def test_epoch_ns_is_read_exactly_over_64_bits(ns, ok):
    rt = runtime()
    site = register(rt, "")
    if ok:
        rt.warn(site, 1.0, epoch_ns=ns, reason="r", tags={})
        assert rt.drain_anomalies()[0].epoch_ns == ns
    else:
        with pytest.raises(OverflowError, match="epoch_ns does not fit in 64 bits"):
            rt.warn(site, 1.0, epoch_ns=ns, reason="r", tags={})
        assert rt.snapshot_anomalies() == ()


def test_many_templates_with_generated_placeholder_names_fill_independently():
    rt = runtime()
    sites = [register(rt, f"<{{gen_{i}}}|{{gen_{i + 1}}}>") for i in range(50)]
    for i, site in enumerate(sites):
        rt.warn(site, 1.0, epoch_ns=i, reason="r", tags={fresh(f"gen_{i}"): str(i)})
    assert [r.message for r in rt.snapshot_anomalies()[-4:]] == [
        f"<{i}|{{gen_{i + 1}}}>" for i in range(46, 50)]


def test_call_sites_release_their_split_templates():
    import gc
    import tracemalloc

    rt = runtime()
    template = "a {x} b {y} c " * 20

    def churn(n):
        for i in range(n):
            site = register(rt, template + str(i))
            rt.warn(site, 1.0, epoch_ns=i, reason="r", tags={"x": "1"})
        rt.drain_anomalies()

    churn(500)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        churn(5000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
