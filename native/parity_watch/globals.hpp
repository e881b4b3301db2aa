// Late-bound reads of module globals (and of plain modules' attributes) that
// stay exact and cost next to nothing while the namespace is unchanged.
//
// Every read still happens at the moment of use: the namespace's version tag
// (which the host bumps on every change of a dict) is compared each time, and
// a changed namespace forgets everything read from it before. A record walks
// some thirty globals; a dict lookup each would cost more than the rest of
// the module's own work on that road.
#pragma once

#include <initializer_list>

#include "state.hpp"

namespace parity_watch {

// The value bound to `name` in `dict` right now (borrowed), or nullptr when
// absent (no error set) -- only a failing lookup raises.
PyObject* dict_read(PyObject* dict, PyObject* name);

// A module global of the calling function: its globals, then builtins, else
// the host's NameError.
Ref read_global(const FunctionObject& fn, PyObject* name);

// getattr(obj, name); a plain module answers from its dict (no caller code).
Ref module_attr(PyObject* obj, PyObject* name);

// `name(*args)` with `name` read from the globals now. While the global is
// still our own function for `def` and every parameter is supplied in order,
// its body is entered directly.
Ref call_named_global(const FunctionObject& fn, PyObject* name, const FunctionDef& def,
                std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

}  // namespace parity_watch
