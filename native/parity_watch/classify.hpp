// Helpers shared by the classification, tag and telemetry code.
#pragma once

#include "values.hpp"

namespace parity_watch {

// mapping.get(key) / mapping.get(key, fallback); an exact dict answers directly.
Ref mapping_get(const State& st, PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// `_bounded_text(value)` through the module global, with its default bound,
// for a `value` computed before the name is read.
Ref bounded_text(const FunctionObject& self, PyObject* value);
// The same in two steps, where the argument is computed after the name is
// read (`_bounded_text(data.get(...))` reads `_bounded_text` first).
Found bounded_text_global(const FunctionObject& self);
Ref call_bounded_text(const FunctionObject& self, PyObject* target, PyObject* value);

}  // namespace parity_watch
