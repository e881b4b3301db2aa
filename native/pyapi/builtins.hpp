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

#include <cstdint>
#include <initializer_list>

#include "ref.hpp"

namespace pyapi {

enum class Builtin : unsigned {
    str, len, isinstance, tuple, list, int_, float_, bool_, ValueError, KeyError, Exception,
    count_
};

namespace detail {

#if PY_VERSION_HEX < 0x030E0000
#define PYAPI_DICT_VERSION 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The host's version tag of a dict: a new value from a process-wide counter at
// every change, so an equal tag means an unchanged dict. Deprecated from 3.12
// on but still maintained through 3.13.
inline std::uint64_t dict_version(PyObject* d) noexcept {
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
#pragma GCC diagnostic pop
#endif

// The answer for the namespace asked last: the common case is one module
// asking again and again with nothing changed.
struct LastAnswer {
    PyObject* globals = nullptr;
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    unsigned unchanged = 0;
};
extern LastAnswer g_last;
extern PyObject* g_builtins;  // the builtins module's namespace
unsigned unchanged_mask_slow(PyObject* globals);

}  // namespace detail

// Bit i set: builtin i, looked up from `globals`, still finds the host's own object.
inline unsigned unchanged_mask(PyObject* globals) {
#ifdef PYAPI_DICT_VERSION
    const detail::LastAnswer& a = detail::g_last;
    if (a.globals == globals && detail::g_builtins &&
        a.globals_version == detail::dict_version(globals) &&
        a.builtins_version == detail::dict_version(detail::g_builtins))
        return a.unchanged;
#endif
    return detail::unchanged_mask_slow(globals);
}
inline constexpr unsigned bit(Builtin b) { return 1u << static_cast<unsigned>(b); }

// True while `b`, looked up from `globals`, still finds the host's own object.
inline bool builtin_unchanged(PyObject* globals, Builtin b) {
    return (unchanged_mask(globals) & bit(b)) != 0;
}
// True while every one of `bs` does.
inline bool builtins_unchanged(PyObject* globals, std::initializer_list<Builtin> bs) {
    unsigned want = 0;
    for (Builtin b : bs) want |= bit(b);
    return (unchanged_mask(globals) & want) == want;
}
// What the name finds now: globals, then builtins, else the host's NameError.
Ref builtin(PyObject* globals, Builtin b);
// The interpreter's builtins namespace (borrowed; lives for the process).
PyObject* builtins_dict();

Ref b_str_shadowed(PyObject* globals, PyObject* o);
// `str(o)`
inline Ref b_str(PyObject* globals, PyObject* o) {
    if (!builtin_unchanged(globals, Builtin::str)) return b_str_shadowed(globals, o);
    return check(PyObject_Str(o));
}
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

namespace pyapi {

// A genuine generator object made by running `source` (the text of one `def`
// whose body returns a generator expression) as a function of the module
// whose namespace is `globals`, called with `args`. For the rare call whose
// `tuple` is shadowed: the replacement then receives what the reference hands
// it, a lazy generator whose names resolve in the module, not a list.
Ref generator(const char* source, PyObject* globals, std::initializer_list<PyObject*> args);

}  // namespace pyapi
