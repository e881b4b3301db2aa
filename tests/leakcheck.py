"""Reference-leak measurement without a debug interpreter.

A release interpreter has no sys.gettotalrefcount, so a leak is seen two ways: the
interpreter's count of allocated memory blocks (sys.getallocatedblocks) and the reference
counts of the arguments, both compared before and after many calls once caches are warm.
"""
import gc
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

NATIVE_KINDS = {
    "native_function", "method_descriptor", "getset_descriptor", "member_descriptor",
    "wrapper_descriptor", "builtin_function_or_method", "classmethod_descriptor",
}


@dataclass
class Case:
    """One call of the table: `fn(*args, **kwargs)`, expected to raise `expect` if given."""

    covers: str
    label: str
    fn: Callable
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    expect: Any = None
    calls: int = 2000  # fewer for calls that are slow by nature (recursion to the limit)

    def thunk(self):
        fn, args, kwargs, expect = self.fn, self.args, self.kwargs, self.expect
        if expect is None:
            return lambda: fn(*args, **kwargs)

        def call():
            try:
                fn(*args, **kwargs)
            except expect:
                return
            raise AssertionError(f"{self.covers} [{self.label}] did not raise {expect}")
        return call

    def watched(self):
        return [self.fn, *self.args, *self.kwargs.values()]


def growth(call, watch, calls):
    """(blocks gained, refcount changes of the watched objects) over `calls` calls."""
    gc.collect()
    refs = [sys.getrefcount(o) for o in watch]
    blocks = sys.getallocatedblocks()
    for _ in range(calls):
        call()
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(o) for o in watch]
    refs = [a - b for a, b in zip(after, refs)]
    return blocks, refs


def assert_no_leak(case, calls=2000, warmup=200, rounds=4):
    """Fails when blocks or argument references grow by about one per call in every round.

    Caches and free lists settle during the warm-up; a round with less than one block or
    reference gained per 20 calls passes, since a leak of even one object per call gains `calls`.
    """
    call, watch = case.thunk(), case.watched()
    for _ in range(min(warmup, calls)):
        call()
    seen = []
    for _ in range(rounds):
        blocks, refs = growth(call, watch, calls)
        seen.append((blocks, refs))
        # Shared objects (small ints, interned text) see a few unrelated references come
        # and go; a leak, or an over-release, moves a count by about one per call.
        if blocks < calls // 20 and all(abs(r) < calls // 20 for r in refs):
            return seen
    raise AssertionError(
        f"{case.covers} [{case.label}] grows per call: blocks and argument refcounts by round {seen}")


def _is_native(obj, module, owner=None):
    """Ours: a native function of the module, or a slot or descriptor of the module's own type
    (the host's enum machinery also stores builtins such as str.__new__ in a class dict)."""
    if isinstance(obj, (classmethod, staticmethod)):
        obj = obj.__func__
    if isinstance(obj, property):
        obj = obj.fget
    kind = type(obj).__name__
    if kind not in NATIVE_KINDS:
        return False
    if kind == "native_function":
        return obj.__module__ == module.__name__
    if owner is None:
        return getattr(obj, "__module__", None) == module.__name__
    return getattr(obj, "__objclass__", None) is owner or getattr(obj, "__self__", None) is owner


def native_surface(module):
    """Names of every native function, method, property and slot the module defines."""
    names = set()
    for name, obj in vars(module).items():
        if name.startswith("__"):
            continue
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            for attr, member in vars(obj).items():
                if attr in ("__doc__", "__module__", "__dict__", "__weakref__", "__init_subclass__",
                            "__subclasshook__", "__class_getitem__"):
                    continue
                if _is_native(member, module, obj):
                    names.add(f"{name}.{attr}")
        elif _is_native(obj, module):
            names.add(name)
    return names
