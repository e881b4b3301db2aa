#include "binding.hpp"

#include <string>
#include <vector>

#include "ops.hpp"
#include "suggest.hpp"

namespace pyapi {
namespace {

// ---------------------------------------------------------------- bad calls
// Each mirrors the text CPython gives for a `def` of the same signature.

PyObject* name_at(const Signature& sig, Py_ssize_t i) noexcept {
    PYAPI_ASSERT(i >= 0 && i < PyTuple_GET_SIZE(sig.names));
    return PyTuple_GET_ITEM(sig.names, i);
}

std::string repr_utf8(PyObject* o) {
    Ref r = check(PyObject_Repr(o));
    const char* s = PyUnicode_AsUTF8(r.get());
    if (!s) raise();
    return s;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing names.
std::string name_list(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += names[i];
    }
    return text;
}

[[noreturn]] void missing_arguments(const Signature& sig, PyObject* const* slots, bool positional, Py_ssize_t end) {
    std::vector<std::string> names;
    for (Py_ssize_t i = positional ? 0 : sig.argcount; i < end; ++i)
        if (!slots[i]) names.push_back(repr_utf8(name_at(sig, i)));
    raise_format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", sig.qualname,
                 static_cast<Py_ssize_t>(names.size()), positional ? "positional" : "keyword-only",
                 names.size() == 1 ? "" : "s", name_list(names).c_str());
}

[[noreturn]] void too_many_positional(const Signature& sig, PyObject* const* slots, Py_ssize_t given,
                                      Py_ssize_t defcount) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = sig.argcount; i < sig.argcount + sig.kwonlycount; ++i)
        if (slots[i]) ++kwonly_given;
    const bool plural = defcount || sig.argcount != 1;
    Ref count = check(defcount ? PyUnicode_FromFormat("from %zd to %zd", sig.argcount - defcount, sig.argcount)
                               : PyUnicode_FromFormat("%zd", sig.argcount));
    Ref kwonly = kwonly_given
                     ? check(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                  given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                     : new_str("");
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", sig.qualname, count.get(),
                 plural ? "s" : "", given, kwonly.get(), given == 1 && !kwonly_given ? "was" : "were");
}

[[noreturn]] void unexpected_keyword(const Signature& sig, PyObject* key) {
    Ref suggestion;
    if (sig.wording == Wording::def_function) suggestion = keyword_suggestion(sig.names, key);
    if (suggestion)
        raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", sig.qualname,
                     key, suggestion.get());
    else raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", sig.qualname, key);
}

// The index of the parameter called `key`, which is none of the names
// themselves (callers' keyword names almost always are: the binder compares
// addresses first), or a TypeError.
Py_ssize_t find(const Signature& sig, PyObject* key) {
    const Py_ssize_t total = sig.argcount + sig.kwonlycount;
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    for (Py_ssize_t j = 0; j < total; ++j) {
        int eq = PyObject_RichCompareBool(name_at(sig, j), key, Py_EQ);
        if (eq < 0) raise();
        if (eq) return j;
    }
    unexpected_keyword(sig, key);
}

// The steps and their order follow the interpreter's own frame setup, so that
// the first fault found is the one CPython would report. `for_each_keyword`
// hands each (name, value) pair of the call to its argument.
template <class ForEachKeyword>
void bind_impl(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, ForEachKeyword&& for_each_keyword,
               Bound& b) {
    const Py_ssize_t total = sig.argcount + sig.kwonlycount;
    // The declaration's shape (callers may rebind defaults, never the names):
    // one slot per parameter, a name per slot, optional ones at the end.
    PYAPI_ASSERT(sig.argcount >= 0 && sig.kwonlycount >= 0 && total <= kMaxParams);
    PYAPI_ASSERT(PyTuple_Check(sig.names) && PyTuple_GET_SIZE(sig.names) == total);
    PYAPI_ASSERT(sig.optional >= 0 && sig.optional <= total);
    PyObject** slots = b.slots;
    const Py_ssize_t defcount = sig.defaults ? PyTuple_GET_SIZE(sig.defaults) : 0;
    if (nargs > sig.argcount && sig.wording == Wording::runtime_method)
        too_many_positional(sig, slots, nargs, defcount);
    const Py_ssize_t n = nargs < sig.argcount ? nargs : sig.argcount;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];

    for_each_keyword([&](PyObject* key, PyObject* value) {
        Py_ssize_t j = 0;
        while (j < total && name_at(sig, j) != key) ++j;  // the usual case, kept inline
        if (j == total) j = find(sig, key);
        if (slots[j]) raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", sig.qualname, key);
        slots[j] = value;
        return j;
    });

    if (nargs > sig.argcount) too_many_positional(sig, slots, nargs, defcount);

    // Parameters from `required` on may stay absent.
    const Py_ssize_t required = total - sig.optional;
    if (nargs < sig.argcount) {
        const Py_ssize_t m = sig.argcount - defcount;
        const Py_ssize_t end = m < required ? m : required;
        for (Py_ssize_t i = nargs; i < end; ++i)
            if (!slots[i]) missing_arguments(sig, slots, true, end);
        for (Py_ssize_t i = nargs > m ? nargs - m : 0; i < defcount; ++i) {
            if (!slots[m + i]) b.hold(m + i, PyTuple_GET_ITEM(sig.defaults, i));
        }
    }

    if (sig.kwonlycount) {
        bool missing = false;
        for (Py_ssize_t i = sig.argcount; i < total; ++i) {
            if (slots[i]) continue;
            if (sig.kwdefaults) {
                // Owned before held: the dict is the function's __kwdefaults__,
                // which another thread may change meanwhile.
                PyObject* value = nullptr;
                if (check_status(compat::dict_get_ref(sig.kwdefaults, name_at(sig, i), &value))) {
                    Ref owned = Ref::steal(value);
                    b.hold(i, owned.get());
                    continue;
                }
            }
            if (i < required) missing = true;
        }
        if (missing) missing_arguments(sig, slots, false, required);
    }
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
    bind_impl(
        sig, args, nargs,
        [&](auto&& place) {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) place(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        },
        b);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& b) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    bind_impl(
        sig, positional, nargs,
        [&](auto&& place) {
        if (!kwargs) return;
#ifdef PYAPI_FREE_THREADED
        // A caller's dict another thread may change while we walk it: walk a
        // copy, made under the dict's lock (the walk itself may run caller code).
        Ref copy = check(PyDict_Copy(kwargs));
        kwargs = copy.get();
#endif
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            // Held: a name compared by value (a str subclass's __eq__) may change the dict.
            Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            b.hold(place(key, value), value);
        }
        },
        b);
}

}  // namespace pyapi
