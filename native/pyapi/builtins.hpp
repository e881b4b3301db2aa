// Builtins as a module-level function reaches them: the name is looked up in
// the module's globals first, then in the builtins module as it is at that
// moment, so a name shadowed in the module or replaced in `builtins` changes
// the next use.
//
// While neither dict has changed since the last look (the host's version tags
// are equal), whether each name still finds the host's own object is known
// from a memo: the bodies keep their native shortcuts at the cost of two
// compares per use, and take the literal road only for a name that moved.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace pyapi {

enum class Builtin : unsigned {
    str, len, isinstance, tuple, list, int_, float_, bool_, ValueError, KeyError, Exception,
    count_
};

// True while `b`, looked up from `globals`, still finds the host's own object.
bool builtin_unchanged(PyObject* globals, Builtin b);
// True while every one of `bs` does.
bool builtins_unchanged(PyObject* globals, std::initializer_list<Builtin> bs);
// What the name finds now: globals, then builtins, else the host's NameError.
Ref builtin(PyObject* globals, Builtin b);
// The interpreter's builtins namespace (borrowed; lives for the process).
PyObject* builtins_dict();

// `str(o)`
Ref b_str(PyObject* globals, PyObject* o);
// `len(o)` as an object
Ref b_len(PyObject* globals, PyObject* o);
// `int(o)`
Ref b_int(PyObject* globals, PyObject* o);
// `isinstance(o, NAME)` or `isinstance(o, (NAME, NAME, ...))`, truth-tested.
bool b_isinstance(PyObject* globals, PyObject* o, std::initializer_list<Builtin> classinfo);
// `isinstance(o, cls)` for a class read elsewhere, truth-tested.
bool b_isinstance_of(PyObject* globals, PyObject* o, PyObject* cls);
// `tuple(<generator over items>)`: the items already gathered in a list; the
// name's object now receives an iterator over them.
Ref b_tuple_of_list(PyObject* globals, PyObject* list);

// `except NAME:` for the pending error. True: it matches (still pending).
// False: it does not (still pending). Throws py_error when the clause itself
// fails (an unbound name, a class that is no exception), as the host does,
// with the pending error as the new one's context.
bool b_except_matches(PyObject* globals, Builtin b);
// `raise NAME(message) from cause`: leaves the error set, returns empty.
Ref b_error_from(PyObject* globals, Builtin b, PyObject* message, Ref cause);
// `raise NAME(message)`: leaves the error set, returns empty.
Ref b_error(PyObject* globals, Builtin b, PyObject* message);

}  // namespace pyapi
