// Argument binding for the runtime's methods, with the host's own wording for
// bad calls ("f() takes 0 positional arguments but 1 was given", "f() missing
// 1 required keyword-only argument: 'name'", ...).
#pragma once

#include <array>
#include <span>

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

inline constexpr std::size_t kMaxParams = 8;

struct Signature {
    const char* qualname;              // "TelemetryRuntime.warn", used in messages
    std::span<const char* const> names;  // parameter names in declaration order (at most kMaxParams)
    int npositional;                   // leading positional-or-keyword parameters
    int nrequired;                     // leading required parameters (the rest may be absent)
    // The names as interned str, made at first use (under the GIL): callers'
    // keyword names are almost always these very objects, found by address.
    mutable std::array<PyObject*, kMaxParams> keys{};
};

// Binds a vectorcall (args, nargs, kwnames) into out[0 .. names.size()):
// borrowed references, nullptr for an absent optional parameter.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for a tuple and an optional dict (tp_new / tp_init).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace sdk_telemetry
