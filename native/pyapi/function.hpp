// The native function type: a callable that looks and binds like a function
// written in Python (exact __doc__, __name__, __qualname__, __module__, string
// __annotations__, __defaults__/__kwdefaults__, CPython's own TypeError texts
// for bad calls, binding through __get__, inspect.signature support) while its
// body is C++, entered through vectorcall.
#pragma once

#include <initializer_list>
#include <span>

#include "ref.hpp"

namespace pyapi {

struct FunctionObject;

// A body receives every parameter, in declaration order, already bound
// (borrowed references valid for the duration of the call). It reports a
// failure by throwing py_error or, where an error is an expected answer, by
// returning an empty Ref with the Python error set (a C++ throw costs
// microseconds; a plain return does not).
using Body = Ref (*)(FunctionObject& self, PyObject* const* argv);

struct Param {
    const char* name;
    const char* annotation = nullptr;  // the annotation's source text; nullptr: none
    bool kwonly = false;               // keyword-only parameters follow the others
};

inline constexpr int kMaxParams = 8;

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;
    std::span<const Param> params;
    const char* return_annotation;  // nullptr: none
    Body body;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* globals;  // the defining module's namespace (late-bound lookups)
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or NULL
    PyObject* kwdefaults;  // dict or NULL
    PyObject* dict;
    PyObject* code;  // made on first request of __code__
    PyObject* weakreflist;
    PyObject* varnames;  // tuple of the parameter names (interned)
    Py_ssize_t argcount;
    Py_ssize_t kwonlycount;
};

// Readies the type once per process; called by every module's exec slot.
void ready_function_type();

// A new function of `module` (whose namespace serves as its globals).
// `defaults`: tuple of the trailing positional defaults, or nullptr;
// `kwdefaults`: dict of keyword-only defaults, or nullptr.
Ref make_function(const FunctionDef& def, PyObject* module, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr);

// Makes the function and binds it as the module attribute def.name.
void add_function(PyObject* module, const FunctionDef& def, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr);

// True when `o` is one of our functions made from `def`.
bool is_function(PyObject* o, const FunctionDef& def) noexcept;

// Reads the module global `name` at the moment of use and calls it the way
// `name(*pos, **kw)` reads in Python source: `args` holds the positional values
// then the keyword values, `kwnames` the keywords' names (nullptr: none).
// When the global is still our own function for `def` and the call supplies
// every parameter in declaration order, its body is entered directly.
Ref call_global(const FunctionObject& self, PyObject* name, const FunctionDef& def,
                std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// Reads a module global of the calling function (globals, then builtins).
Ref global(const FunctionObject& self, PyObject* name);

}  // namespace pyapi
