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

#include "function.hpp"
#include "interpreter_compat.hpp"
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

// Per module: the builtins' names, the builtins module of the interpreter
// that imported the module, and the memo of which names, looked up from the
// module's globals, still find the host's own object.
class BuiltinNames {
public:
    BuiltinNames() = default;
    BuiltinNames(const BuiltinNames&) = delete;
    BuiltinNames& operator=(const BuiltinNames&) = delete;

    void init();  // under the importing interpreter, before any lookup
    template <class F>
    void each_ref(F&& f) {
        f(module_);
        f(dict_);
    }
    PyObject* name(Builtin b) const noexcept { return names_[static_cast<unsigned>(b)].get(); }
    PyObject* module() const noexcept { return module_.get(); }
    PyObject* dict() const noexcept { return dict_.get(); }
    // True when `v` is the host's own object for `b`.
    bool is_original(Builtin b, PyObject* v) const;

    // Bit i set: builtin i, looked up from `globals`, still finds the host's own object.
    unsigned unchanged_mask(PyObject* globals) {
#ifdef PYAPI_DICT_VERSION
        if (memo_valid_ && memo_globals_version_ == dict_version(globals) &&
            memo_builtins_version_ == dict_version(dict_.get()))
            return memo_unchanged_;
#endif
        return unchanged_mask_slow(globals);
    }

private:
#ifdef PYAPI_DICT_VERSION
    static std::uint64_t dict_version(PyObject* d) noexcept { return compat::dict_version(d); }
    bool memo_valid_ = false;
    std::uint64_t memo_globals_version_ = 0;
    std::uint64_t memo_builtins_version_ = 0;
    unsigned memo_unchanged_ = 0;
#endif
    unsigned unchanged_mask_slow(PyObject* globals);

    Ref names_[kBuiltinCount];
    Ref module_;
    Ref dict_;
};

inline constexpr unsigned bit(Builtin b) { return 1u << static_cast<unsigned>(b); }

inline unsigned unchanged_mask(const FunctionObject& f) { return f.builtins->unchanged_mask(f.globals); }
// True while `b`, looked up from the function's globals, still finds the host's own object.
inline bool builtin_unchanged(const FunctionObject& f, Builtin b) { return (unchanged_mask(f) & bit(b)) != 0; }
// True while every one of `bs` does.
inline bool builtins_unchanged(const FunctionObject& f, std::initializer_list<Builtin> bs) {
    unsigned want = 0;
    for (Builtin b : bs) want |= bit(b);
    return (unchanged_mask(f) & want) == want;
}
// What the name finds now: globals, then builtins, else the host's NameError.
Ref builtin(const FunctionObject& f, Builtin b);

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
