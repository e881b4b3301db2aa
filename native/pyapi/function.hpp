// The native function type: a callable that looks and binds like a function
// written in Python (exact __doc__, __name__, __qualname__, __module__, string
// __annotations__, __defaults__/__kwdefaults__, CPython's own TypeError texts
// for bad calls, binding through __get__, inspect.signature support) while its
// body is C++, entered through vectorcall.
//
// A function is declared once, as a FunctionDef: its name, the class it is a
// method of (if any), its parameters (kind, annotation text, default text)
// and its return annotation. Everything Python sees is derived from that
// declaration: the qualname, the `__doc__` signature line, `__annotations__`,
// `__code__`, `__defaults__` and `__kwdefaults__`.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <utility>

#include "binding.hpp"
#include "check.hpp"
#include "ref.hpp"

namespace pyapi {

struct FunctionObject;
struct ModuleState;
class Guards;

// A body receives every parameter, in declaration order, already bound
// (borrowed references valid for the duration of the call). It reports a
// failure by throwing py_error or, where an error is an expected answer, by
// returning an empty Ref with the Python error set (a C++ throw costs
// microseconds; a plain return does not).
using Body = Ref (*)(FunctionObject& self, PyObject* const* argv);

struct Param {
    const char* name;
    const char* annotation = nullptr;    // the annotation's source text; nullptr: none
    bool kwonly = false;                 // keyword-only parameters follow the others
    const char* default_text = nullptr;  // the default's source text; nullptr: required
};

struct FunctionDef {
    const char* name;
    std::span<const Param> params;
    const char* return_annotation;  // nullptr: none
    Body body;
    const char* owner = nullptr;    // the class of a method, for its qualname
    const char* summary = nullptr;  // the docstring's text after the signature line, if any

    std::string qualname() const;
    // The `__doc__` line: "qualname(a: int, *, b=x) -> str".
    std::string signature_line() const;
    // `__doc__`: the signature line, then the summary on the lines below.
    std::string doc() const;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    ModuleState* state;  // the defining module's state (its type keeps the module alive)
    Guards* guards;      // in that state: the memo of late-bound names
    PyObject* globals;   // the defining module's namespace (late-bound lookups)
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

// The function type of one module, made by its exec slot.
Ref make_function_type(PyObject* module);

// Values of defaults whose source text is not a literal (None, True, False,
// an int or a quoted str): {parameter name, value}, as the defining body
// evaluated them.
using DefaultValues = std::initializer_list<std::pair<const char*, PyObject*>>;

// A new function of `module` (whose namespace serves as its globals).
Ref make_function(const FunctionDef& def, PyObject* module, DefaultValues values = {});

// Makes the function and binds it as the module attribute def.name.
void add_function(PyObject* module, const FunctionDef& def, DefaultValues values = {});

// True when `o` is one of this module's functions made from `def`.
bool is_function(const FunctionObject& self, PyObject* o, const FunctionDef& def) noexcept;

// Reads the module global `name` at the moment of use and calls it the way
// `name(*pos, **kw)` reads in Python source: `args` holds the positional values
// then the keyword values, `kwnames` the keywords' names (nullptr: none).
// When the global is still our own function for `def` and the call supplies
// every parameter in declaration order, its body is entered directly.
Ref call_global(const FunctionObject& self, PyObject* name, const FunctionDef& def,
                std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// call_global for a global the module declared (entry `id` of its dependency
// table, guards.hpp) whose original is our function for `def`: while the entry
// holds, the body is entered without reading the global, and so without
// touching the function's reference count, which threads calling at once
// would contend for on a free-threaded build.
Ref call_declared(const FunctionObject& self, unsigned id, const FunctionDef& def,
                  std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// Reads a module global of the calling function (globals, then builtins).
Ref global(const FunctionObject& self, PyObject* name);

// The state of the module that made `f`, as its own state type. Every
// function is made by its module's exec slot, after the state was built, and
// the function's type keeps the module (and so the state) alive.
template <class S>
S& state_of(const FunctionObject& f) noexcept {
    PYAPI_ASSERT(f.state != nullptr);
    return *static_cast<S*>(f.state);
}

}  // namespace pyapi
