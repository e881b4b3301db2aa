// Helpers shared by the classification, tag and telemetry code.
#pragma once

#include "state.hpp"

namespace parity_watch {

// mapping.get(key) / mapping.get(key, fallback); an exact dict answers directly.
Ref mapping_get(const State& st, PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// `for item in iterable: f(item)`, with the list iterator's own semantics for
// an exact list (a list grown while walked is walked to its new end).
template <class F>
void for_each_item(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        // As the list iterator does: the length is read afresh at every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            f(item.get());
        }
        return;
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

// `_bounded_text(value)` through the module global, with its default bound,
// for a `value` computed before the name is read.
Ref bounded_text(const FunctionObject& self, PyObject* value);
// The same in two steps, where the argument is computed after the name is
// read (`_bounded_text(data.get(...))` reads `_bounded_text` first).
Ref bounded_text_global(const FunctionObject& self);
Ref call_bounded_text(const FunctionObject& self, PyObject* target, PyObject* value);

}  // namespace parity_watch
