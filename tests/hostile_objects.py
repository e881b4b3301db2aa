"""Objects that misbehave on purpose, shared by the leak check and the hostile-input tests.

Every class here fails in one documented way and otherwise acts like the plain value it
stands for, so that a test can tell the host's error apart from a crash or a wrong answer.
"""
from collections import Counter
from collections.abc import Mapping

import pytest

# Inputs tried per catalogue section; the terminal summary prints the totals.
TRIED: Counter = Counter()


def require(module_name, attribute):
    """The module, or a skip while it is only a shell (its functions not built yet)."""
    module = pytest.importorskip(module_name)
    if not hasattr(module, attribute):
        pytest.skip(f"{module_name} has no {attribute} yet")
    return module


class Boom(Exception):
    """The error our hostile objects raise (never raised by the modules themselves)."""


class Hostile:
    """A repr without an address, so two copies of an input show the same text."""

    def __repr__(self):
        return f"<{type(self).__name__}>"


class RaisingStr(Hostile):
    def __str__(self):
        raise Boom("__str__")

    def __format__(self, format_spec):
        raise Boom("__format__")


class NonStrStr(Hostile):
    """__str__ returns an int: the host refuses it with TypeError."""

    def __str__(self):
        return 5  # type: ignore[return-value]


class InterruptingStr(Hostile):
    def __str__(self):
        raise KeyboardInterrupt

    def __format__(self, format_spec):
        raise KeyboardInterrupt


class StrSub(str):
    """A str subclass whose __str__ differs from its value (str() must call it)."""

    def __str__(self):
        return "sub:" + str.__str__(self)


class Falsy(Hostile):
    def __bool__(self):
        return False


class RaisingBool(Hostile):
    def __bool__(self):
        raise Boom("__bool__")


class FailingMapping(Hostile, Mapping):
    """A mapping whose `fail` operation raises; the others behave like the dict given."""

    def __init__(self, data, fail, exc=Boom):
        self._data, self._fail, self._exc = dict(data), fail, exc

    def _check(self, op):
        if op == self._fail:
            raise self._exc(op)

    def __getitem__(self, key):
        self._check("getitem")
        return self._data[key]

    def __iter__(self):
        self._check("iter")
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def get(self, key, default=None):
        self._check("get")
        return self._data.get(key, default)

    def keys(self):
        self._check("keys")
        return self._data.keys()

    def items(self):
        self._check("items")
        return self._data.items()


class MutatingMapping(Hostile, Mapping):
    """A mapping that adds a key to itself each time it is read: walking it must not crash."""

    def __init__(self, data):
        self._data = dict(data)
        self.reads = 0

    def _grow(self):
        self.reads += 1
        self._data[f"grown{self.reads}"] = self.reads

    def __getitem__(self, key):
        self._grow()
        return self._data[key]

    def __iter__(self):
        self._grow()
        return iter(list(self._data))

    def __len__(self):
        return len(self._data)

    def get(self, key, default=None):
        self._grow()
        return self._data.get(key, default)

    def keys(self):
        self._grow()
        return list(self._data.keys())

    def items(self):
        self._grow()
        return list(self._data.items())


class DictMutatingValue(Hostile):
    """Its __str__ inserts into a dict being walked (the host reports the size change)."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target[f"k{len(self.target)}"] = 1
        return "mutated"


class BadPairsMapping(FailingMapping):
    """items() yields entries that are not pairs."""

    def items(self):
        return [(1, 2, 3)]


def self_containing_dict():
    d = {"a": 1}
    d["self"] = d
    return d


def self_containing_list():
    items = [1]
    items.append(items)
    return items


def nested(depth, leaf=0, kind="dict"):
    """A container nested `depth` levels deep, built without recursion."""
    value = leaf
    for _ in range(depth):
        value = {"k": value} if kind == "dict" else [value]
    return value


class OneShot(Hostile):
    """An iterator: whoever walks it first uses it up."""

    def __init__(self, items):
        self._items = iter(list(items))

    def __iter__(self):
        return self

    def __next__(self):
        return next(self._items)
