// Small wrappers over the host operations the modules use, each throwing
// py_error when the host raised.
#pragma once

#include <initializer_list>

#include "interpreter_compat.hpp"
#include "ref.hpp"

namespace pyapi {

// The interned str `text` (a new reference). For one-off uses; names a module
// uses again and again live in its state's name table (names.hpp).
inline Ref intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

inline Ref new_str(const char* utf8) { return check(PyUnicode_FromString(utf8)); }
// A tuple of interned strs, as a code object's constant tuple of strings is
// (on a free-threaded build interned strs are immortal: threads holding them
// do not count them).
Ref interned_tuple(std::initializer_list<const char*> items);
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check_status(PyObject_SetAttr(o, name, v)); }
// str(o); an exact str comes back as itself.
inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
// format(o, "")
Ref format_empty(PyObject* o);
// The strs `parts` end to end, made at once (what "%U%U..." formatting or
// repeated + would make, without their passes and intermediates).
Ref concat_strs(std::initializer_list<PyObject*> parts);
inline bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }
inline bool is_instance(PyObject* o, PyObject* cls) { return check_status(PyObject_IsInstance(o, cls)) != 0; }

// callable(*args) / callable(*pos, **dict(zip(kwnames, kwvalues))): `args`
// holds the positional values followed by the keyword values.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return check(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                     static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}
// obj.name(*args)
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    Ref method = getattr(obj, name);
    return call(method.get(), args);
}

// The tuple of keyword names for a vectorcall, from names the caller holds.
Ref kwnames(std::initializer_list<PyObject*> names);

// `a, b = value` as the host unpacks it: its error texts, its order of
// iteration, the third item asked for before "too many values".
void unpack_two(PyObject* value, Ref& a, Ref& b);

// Readies a str's canonical representation (a no-op from 3.12 on, where
// every str is ready) before its data is read directly.
inline void ensure_ready(PyObject* text) { check_status(compat::ensure_ready(text)); }

// `import name` (absolute), returning the module bound to the top-level name
// when `fromlist` is empty, as the import statement does.
Ref import_module(const char* dotted);
// `from module import name`: the host's ImportError when the name is missing.
Ref import_from(PyObject* module, PyObject* name);

// Looks a name up the way a module-level function does at run time: the
// module's globals, then builtins, else the host's NameError.
Ref load_global(PyObject* globals, PyObject* name);

}  // namespace pyapi

namespace pyapi {

// The pending exception as an instance (normalised, traceback attached);
// clears the error indicator.
Ref fetch_exception();

// `raise type(message) from cause` as a raise statement inside the `except`
// block that caught `cause` does (__cause__ and __context__ are `cause`, the
// context is suppressed), leaving the error set and returning an empty Ref: a
// body can `return error_from(...)` and spare its caller a C++ throw.
Ref error_from(PyObject* type, PyObject* message, Ref cause);

}  // namespace pyapi
