// Builtins as a module-level function reaches them: the name is looked up in
// the module's globals first, then in the builtins module as it is at that
// moment, so a name shadowed in the module or replaced in `builtins` changes
// the next use.
//
// The builtins the layer's helpers stand in for are the first entries of
// every module's dependency table (guards.hpp): while one still finds the
// host's own object the helper takes its native shortcut, and the literal
// road only for a name that moved.
#pragma once

#include <initializer_list>
#include <span>

#include "function.hpp"
#include "guards.hpp"
#include "ref.hpp"

namespace pyapi {

enum class Builtin : unsigned {
    str,
    len,
    isinstance,
    tuple,
    list,
    int_,
    float_,
    bool_,
    ValueError,
    KeyError,
    Exception,
    count_
};
inline constexpr unsigned kBuiltinCount = static_cast<unsigned>(Builtin::count_);

// The layer's entries of every dependency table, ids 0 .. kBuiltinCount-1.
std::span<const Dependency> builtin_dependencies();

inline constexpr DepMask bit(Builtin b) { return dep_bit(static_cast<unsigned>(b)); }

// True while `b`, looked up from the function's globals, still finds the host's own object.
inline bool builtin_unchanged(const FunctionObject& f, Builtin b) { return f.guards->holds(static_cast<unsigned>(b)); }
// True while every one of `bs` does.
inline bool builtins_unchanged(const FunctionObject& f, std::initializer_list<Builtin> bs) {
    DepMask want = 0;
    for (Builtin b : bs) want |= bit(b);
    return f.guards->hold_all(want);
}
// What the name finds now: globals, then builtins, else the host's NameError.
Ref builtin(const FunctionObject& f, Builtin b);

// What entry `id` of the module's dependency table finds now: its original
// while it holds, else the literal read (a global or builtin through the
// module's globals, then builtins; an attribute of what its owner finds now).
Found dependency(const FunctionObject& f, unsigned id);
// getattr(obj, <name of attribute entry id>), `obj` being what the entry's
// owner was found to be: the original while both hold.
Found dependency_of(const FunctionObject& f, PyObject* obj, unsigned id);

Ref b_str_shadowed(const FunctionObject& f, PyObject* o);
// `str(o)`
inline Ref b_str(const FunctionObject& f, PyObject* o) {
    if (!builtin_unchanged(f, Builtin::str)) return b_str_shadowed(f, o);
    return check(PyObject_Str(o));
}
// `len(o)` as an object
Ref b_len(const FunctionObject& f, PyObject* o);
// `int(o)`
Ref b_int(const FunctionObject& f, PyObject* o);
// `isinstance(o, NAME)` or `isinstance(o, (NAME, NAME, ...))`, truth-tested.
bool b_isinstance(const FunctionObject& f, PyObject* o, std::initializer_list<Builtin> classinfo);
// `isinstance(o, cls)` for a class read elsewhere, truth-tested.
bool b_isinstance_of(const FunctionObject& f, PyObject* o, PyObject* cls);
// `tuple(<generator over items>)`: the items already gathered in a list; the
// name's object now receives an iterator over them.
Ref b_tuple_of_list(const FunctionObject& f, PyObject* list);

// `except NAME:` for the pending error. True: it matches (still pending).
// False: it does not (still pending). Throws py_error when the clause itself
// fails (an unbound name, a class that is no exception), as the host does,
// with the pending error as the new one's context.
bool b_except_matches(const FunctionObject& f, Builtin b);
// `raise NAME(message) from cause`: leaves the error set, returns empty.
Ref b_error_from(const FunctionObject& f, Builtin b, PyObject* message, Ref cause);
// `raise NAME(message)`: leaves the error set, returns empty.
Ref b_error(const FunctionObject& f, Builtin b, PyObject* message);

// A lazy generator expression, for the rare call whose `tuple` is shadowed:
// the replacement then receives what a generator expression would hand it,
// an iterator that produces nothing until asked. Each next() takes the next
// item of `iterable`'s iterator and runs `step(f, item, extra)`, which returns
// the value to produce, or an empty Ref to pass the item over (a filter that
// said no). Its repr names `qualname` as a generator's does.
using LazyStep = Ref (*)(const FunctionObject& f, PyObject* item, PyObject* const* extra);
inline constexpr int kLazyExtra = 2;
Ref lazy_generator(const FunctionObject& f, const char* qualname, PyObject* iterable, LazyStep step,
                   std::initializer_list<PyObject*> extra = {});
// The type of those generators, made once per module.
Ref make_lazy_type(PyObject* module);

}  // namespace pyapi
