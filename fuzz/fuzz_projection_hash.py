"""Coverage-guided fuzz target: projection_hash against the host's json and hashlib.

Builds a nested projection from the fuzz bytes (dicts, other mappings, lists, tuples,
str/int/float subclasses, non-finite floats, big ints, surrogates and astral text, keys
of every type, objects that only str() can show) and compares

    vantorel._parity_watch.projection_hash(p)
    sha256(json.dumps(_json_safe(p), sort_keys=True, separators=(",", ":"),
                      default=str).encode()).hexdigest()[:16]

with a pure-Python _json_safe. Errors must match by type. Run through tools/fuzz.sh, or:

    python fuzz/fuzz_projection_hash.py -max_total_time=60 fuzz/corpus
"""
import collections
import decimal
import hashlib
import json
import sys
from collections.abc import Mapping

import atheris

from vantorel import _parity_watch


def _json_safe(value):
    if isinstance(value, Mapping):
        return {str(key): _json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(item) for item in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)


def reference_hash(projection):
    if not isinstance(projection, Mapping):
        return "none"
    text = json.dumps(_json_safe(projection), sort_keys=True, separators=(",", ":"), default=str)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Frozen(Mapping):
    """A mapping that is not a dict: read only through items()."""

    def __init__(self, pairs):
        self._pairs = list(pairs)

    def __getitem__(self, key):
        for k, v in self._pairs:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return (k for k, _ in self._pairs)

    def __len__(self):
        return len(self._pairs)

    def items(self):
        return list(self._pairs)


Point = collections.namedtuple("Point", "x y")

# Code points that stress escaping and ordering: ASCII controls, quotes and backslashes,
# Latin-1, lone surrogates, the top of the BMP and astral characters (whose UTF-16 order
# differs from code-point order).
ALPHABET = (["a", "b", "\"", "\\", "/", "\x00", "\x1f", "\x7f", "\xe9", "\u2028", "\ud800", "\udfff",
             "\ue000", "\uffff", "\U0001f600", "\U00010000", "\U0010ffff", " "])


def text(fdp):
    n = fdp.ConsumeIntInRange(0, 8)
    if fdp.ConsumeBool():
        return "".join(ALPHABET[fdp.ConsumeIntInRange(0, len(ALPHABET) - 1)] for _ in range(n))
    return fdp.ConsumeUnicode(n)


def number(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.ConsumeInt(8)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 64))  # past 64 bits
    if kind == 2:
        return Number(fdp.ConsumeInt(4))
    if kind == 3:
        return fdp.ConsumeFloat()  # NaN, infinities, -0.0, subnormals included
    if kind == 4:
        return Real(fdp.ConsumeRegularFloat())
    if kind == 5:
        return fdp.PickValueInList([float("nan"), float("inf"), float("-inf"), -0.0, 1e16, 1e-7, 5e-324])
    if kind == 6:
        return fdp.ConsumeBool()
    if kind == 7:
        return 10 ** fdp.ConsumeIntInRange(15, 4400)  # around the host's digit limit
    if kind == 8:
        return decimal.Decimal(fdp.ConsumeIntInRange(-999, 999)) / 7
    return None


def key(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind <= 2:
        return text(fdp)
    if kind == 3:
        return Text(text(fdp))
    if kind == 4:
        return number(fdp)
    if kind == 5:
        return (fdp.ConsumeInt(1), text(fdp))
    return frozenset({fdp.ConsumeInt(1)})


def value(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 11 if depth < 6 else 5)
    if kind <= 1:
        return text(fdp)
    if kind <= 3:
        return number(fdp)
    if kind == 4:
        return fdp.PickValueInList([b"ab", {1, 2}, object, Ellipsis, 1j, Text("t")])
    if kind == 5:
        return None
    size = fdp.ConsumeIntInRange(0, 4)
    if kind == 6:
        return [value(fdp, depth + 1) for _ in range(size)]
    if kind == 7:
        return tuple(value(fdp, depth + 1) for _ in range(size))
    if kind == 8:
        return Point(value(fdp, depth + 1), value(fdp, depth + 1))
    if kind == 9:
        return Frozen((key(fdp), value(fdp, depth + 1)) for _ in range(size))
    return {key(fdp): value(fdp, depth + 1) for _ in range(size)}


def outcome(fn, projection):
    try:
        return ("ok", fn(projection))
    except Exception as exc:  # noqa: BLE001 - compared by type
        return ("err", type(exc).__name__)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    projection = value(fdp, 0) if fdp.ConsumeIntInRange(0, 7) == 0 else \
        {key(fdp): value(fdp, 1) for _ in range(fdp.ConsumeIntInRange(0, 6))}
    got, want = outcome(_parity_watch.projection_hash, projection), outcome(reference_hash, projection)
    if got != want:
        try:
            shown = repr(projection)
        except Exception:  # noqa: BLE001 - an int past the digit limit has no repr
            shown = "<projection without a repr>"
        raise AssertionError(f"projection_hash diverges: native {got} reference {want} for {shown}")


def main():
    # Coverage of this builder and of the reference steers the fuzzer towards new shapes
    # of input; the native module itself is not instrumented (that needs clang).
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
