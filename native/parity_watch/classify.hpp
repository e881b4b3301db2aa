// Helpers shared by the classification, tag and telemetry code.
#pragma once

#include <functional>

#include "state.hpp"

namespace parity_watch {

// mapping.get(key) / mapping.get(key, fallback); an exact dict answers directly.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// `for item in iterable: f(item)`, with the list iterator's own semantics for
// an exact list (a list grown while walked is walked to its new end).
void for_each_item(PyObject* iterable, const std::function<void(PyObject*)>& f);

// `_bounded_text(value)` through the module global, with its default bound.
Ref bounded_text(const FunctionObject& self, PyObject* value);

}  // namespace parity_watch
