// JSON-safe reduction and bounded text, plus the host tests they share with
// the rest of the module (isinstance(x, Mapping), dict walking).
#pragma once

#include "state.hpp"

namespace parity_watch {

// True while every builtin _json_safe names still finds the host's object.
inline bool json_safe_builtins_unchanged(const FunctionObject& fn) {
    using pyapi::Builtin;
    return pyapi::builtins_unchanged(fn, {Builtin::isinstance, Builtin::list, Builtin::tuple, Builtin::str,
                                          Builtin::int_, Builtin::float_, Builtin::bool_});
}

// isinstance(value, Mapping), with `Mapping` read from the module globals.
// While the global is still the original collections.abc.Mapping, the answer
// for the exact built-in types is taken from a cache keyed on the host's ABC
// cache token (the same invalidation the host's own ABC caches follow), which
// spares a Python-level __instancecheck__ per value.
class MappingTest {
public:
    explicit MappingTest(const FunctionObject& fn) : fn_(fn) {}
    bool operator()(PyObject* value);
    // Caller code may have run: read the globals again before the next test.
    void touched() noexcept {
        fresh_ = false;
        plain_leaves_ = 0;
    }
    // The `_json_safe` global read at the last refresh is still our own.
    bool json_safe_is_ours() {
        if (fresh_ && json_safe_fresh_) return json_safe_ours_;
        return json_safe_is_ours_slow();
    }
    // `value` is an exact str, int, float, bool or None and the answers
    // already in hand say it is no Mapping: _json_safe returns it as it is.
    // False when in doubt (the full tests then run).
    bool known_plain_leaf(PyObject* value) const noexcept {
        const int index = builtin_index(Py_TYPE(value));
        return index >= 0 && ((plain_leaves_ >> index) & 1u);
    }
    // The exact built-in types whose Mapping answer is cached: list, tuple,
    // str, int, float, bool, NoneType (-1 for any other). dict needs no
    // cache (registered, never unregistered).
    static int builtin_index(PyTypeObject* t) noexcept {
        if (t == &PyUnicode_Type) return 2;
        if (t == &PyLong_Type) return 3;
        if (t == &PyFloat_Type) return 4;
        if (t == &PyList_Type) return 0;
        if (t == &PyTuple_Type) return 1;
        if (t == &PyBool_Type) return 5;
        if (t == Py_TYPE(Py_None)) return 6;
        return -1;
    }
    const FunctionObject& fn() const noexcept { return fn_; }
    // _json_safe's builtins are the host's: the answer of the last refresh
    // while no caller code ran since, else asked again.
    bool plain_builtins() {
        if (fresh_) return plain_builtins_;
        return json_safe_builtins_unchanged(fn_);
    }
    // `str(key)`: an exact str is its own str while the builtin is known to
    // be the host's (no caller code ran since that was read), after the
    // signal check str() makes first; else the call itself.
    Ref str_of_key(PyObject* key) {
        if (!(fresh_ && plain_builtins_ && PyUnicode_CheckExact(key))) return pyapi::b_str(fn_, key);
        if (PyErr_CheckSignals() < 0) pyapi::raise();
        return Ref::borrow(key);
    }

private:
    void refresh();
    bool json_safe_is_ours_slow();
    bool builtin_answer(int index, PyTypeObject* type);
    void note_plain_leaves() noexcept;
    const FunctionObject& fn_;
    Found mapping_;
    bool fresh_ = false;
    bool original_ = false;
    bool json_safe_ours_ = false;
    bool json_safe_fresh_ = false;
    bool token_checked_ = false;
    unsigned long long token_ = 0;  // the ABC cache token read at the check
    bool plain_builtins_ = false;   // _json_safe's builtins are the host's (at the last refresh)
    // Bit i: type i of builtin_index() is a known non-Mapping scalar under
    // token_, while the answers in hand are still fresh (else 0).
    std::uint8_t plain_leaves_ = 0;
};


// The four outcomes of _json_safe's tests, in their order.
enum class SafeKind { Mapping, Sequence, Passthrough, Stringify };
SafeKind classify_safe(MappingTest& is_mapping, PyObject* value);

// Reads of a caller's list or dict that another thread may change meanwhile.
// The free-threaded build locks the container (a per-object critical section)
// only around the read and takes owned references before any caller code
// runs; a critical section is let go whenever its thread blocks, so it cannot
// be held across Python code anyway. With the GIL the lock compiles to nothing.
class ContainerLock {
public:
    explicit ContainerLock(PyObject* container) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, container);
#else
        (void)container;
#endif
    }
    ~ContainerLock() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    ContainerLock(const ContainerLock&) = delete;
    ContainerLock& operator=(const ContainerLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// list[i] as an owned reference, or empty past the end (read as the list is now).
inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
    ContainerLock lock(list);
    return i < PyList_GET_SIZE(list) ? Ref::borrow(PyList_GET_ITEM(list, i)) : Ref();
}

// dict[key] as an owned reference, or empty (error set when the look-up failed).
inline Ref dict_item(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return Ref::steal(value);
#else
    return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// `for item in iterable: f(item)`, with the list iterator's own semantics for
// an exact list (a list grown while walked is walked to its new end).
template <class F>
void for_each_item(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        // As the list iterator does: the length is read afresh at every step.
        for (Py_ssize_t i = 0;; ++i) {
            Ref item = list_item(iterable, i);
            if (!item) return;
            f(item.get());
        }
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref iter = pyapi::check(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(iter.get())) {
        Ref held = Ref::steal(item);
        f(item);
    }
    if (PyErr_Occurred()) pyapi::raise();
}

// `for key, item in mapping.items(): f(key, item)`; an exact dict is walked
// directly, with the host's RuntimeErrors for a dict changed meanwhile.
template <class F>
void for_each_entry(const State& st, PyObject* mapping, F&& f) {
    Ref key, item;
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t used = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0, remaining = used;
        for (;;) {
            const char* changed = nullptr;
            PyObject *k = nullptr, *v = nullptr;
            {
                // The previous entry is let go outside: that may run a finaliser.
                ContainerLock lock(mapping);
                if (PyDict_GET_SIZE(mapping) != used) {
                    changed = "dictionary changed size during iteration";
                } else if (PyDict_Next(mapping, &pos, &k, &v)) {
                    if (remaining-- == 0) {
                        changed = "dictionary keys changed during iteration";
                        k = v = nullptr;
                    } else {
                        Py_INCREF(k);
                        Py_INCREF(v);
                    }
                }
            }
            if (changed) pyapi::raise(PyExc_RuntimeError, changed);
            if (!k) return;
            key = Ref::steal(k);
            item = Ref::steal(v);
            f(key.get(), item.get());
        }
    }
    Ref items = pyapi::call_method(mapping, st.names.items);
    for_each_item(items.get(), [&](PyObject* pair) {
        pyapi::unpack_two(pair, key, item);
        f(key.get(), item.get());
    });
}

// `_json_safe(item)` through the module global.
Ref call_json_safe(const FunctionObject& fn, PyObject* item);
// Body of _json_safe: the JSON-safe copy of `value`.
Ref json_safe_value(const FunctionObject& fn, PyObject* value);

}  // namespace parity_watch
