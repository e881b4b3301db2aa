// Argument binding for every native callable: the native functions and the
// telemetry runtime's methods bind through this one binder, with the
// interpreter's own TypeError texts for bad calls ("f() takes 0 positional
// arguments but 1 was given", "f() missing 1 required keyword-only argument:
// 'name'", ...).
#pragma once

#include "check.hpp"
#include "ref.hpp"

namespace pyapi {

inline constexpr int kMaxParams = 8;

// How bad calls are worded.
enum class Wording {
    // As the interpreter words a `def` of the same signature: keywords are
    // placed before the positional count is checked (so the count may mention
    // keyword-only arguments), and 3.13+ suggests a close name for an
    // unexpected keyword.
    def_function,
    // The telemetry runtime's methods: the positional count is checked first
    // and no name is suggested.
    runtime_method,
};

// What the binder reads of a callable. Every pointer is borrowed: the caller
// keeps them alive for the call (a keyword compared by value runs caller code,
// which may rebind a function's __defaults__ or __qualname__).
struct Signature {
    PyObject* qualname;              // str, as messages name the callable
    PyObject* names;                 // tuple of the parameter names (interned str), declaration order
    Py_ssize_t argcount;             // positional-or-keyword parameters, first
    Py_ssize_t kwonlycount;          // keyword-only parameters, after them
    PyObject* defaults = nullptr;    // tuple: values of the last positional parameters
    PyObject* kwdefaults = nullptr;  // dict: keyword-only name -> value
    Py_ssize_t optional = 0;         // trailing parameters that may stay absent (bound to nullptr)
    Wording wording = Wording::def_function;
};

// The bound arguments: slots[i] is parameter i (borrowed, or nullptr for an
// absent optional one). Defaults are held, so that rebinding __defaults__
// during the call cannot free a value in use.
class Bound {
public:
    PyObject* slots[kMaxParams] = {};

    Bound() = default;
    ~Bound() {
        for (int i = 0; held_; ++i, held_ >>= 1)
            if (held_ & 1u) Py_DECREF(slots[i]);
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    // Binds parameter i to `value`, held for the call.
    void hold(Py_ssize_t i, PyObject* value) noexcept {
        PYAPI_ASSERT(i >= 0 && i < kMaxParams && !(held_ >> i & 1u));
        slots[i] = Py_NewRef(value);
        held_ |= 1u << i;
    }

private:
    unsigned held_ = 0;  // bit i: slots[i] is a reference of ours
};

// Binds a vectorcall (args, nargs, kwnames); throws py_error with the
// interpreter's TypeError for a bad call.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);

// The same for a tuple and an optional dict (tp_new / tp_init).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

}  // namespace pyapi
