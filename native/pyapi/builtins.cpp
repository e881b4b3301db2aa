#include "builtins.hpp"

#include <cstdint>
#include <cstring>

#include "ops.hpp"

namespace pyapi {
namespace {

constexpr unsigned kCount = static_cast<unsigned>(Builtin::count_);
constexpr const char* kNames[kCount] = {"str",   "len",  "isinstance", "tuple",
                                        "list",  "int",  "float",      "bool",
                                        "ValueError", "KeyError", "Exception"};

PyObject* name_of(Builtin b) {
    static PyObject* names[kCount] = {};
    PyObject*& n = names[static_cast<unsigned>(b)];
    if (!n) n = intern(kNames[static_cast<unsigned>(b)]);
    return n;
}

PyObject* builtins_module() {
    static PyObject* m = nullptr;
    if (!m) {
        m = PyImport_ImportModule("builtins");  // kept for the process
        if (!m) raise();
    }
    return m;
}

// The host's own object for `b`. Functions are recognised by what they are
// (the builtins module's C function of that name), so a name replaced before
// this module was first imported is not taken for the original.
bool is_original(Builtin b, PyObject* v) {
    switch (b) {
        case Builtin::str: return v == reinterpret_cast<PyObject*>(&PyUnicode_Type);
        case Builtin::tuple: return v == reinterpret_cast<PyObject*>(&PyTuple_Type);
        case Builtin::list: return v == reinterpret_cast<PyObject*>(&PyList_Type);
        case Builtin::int_: return v == reinterpret_cast<PyObject*>(&PyLong_Type);
        case Builtin::float_: return v == reinterpret_cast<PyObject*>(&PyFloat_Type);
        case Builtin::bool_: return v == reinterpret_cast<PyObject*>(&PyBool_Type);
        case Builtin::ValueError: return v == PyExc_ValueError;
        case Builtin::KeyError: return v == PyExc_KeyError;
        case Builtin::Exception: return v == PyExc_Exception;
        case Builtin::len:
        case Builtin::isinstance: {
            if (!v || !PyCFunction_Check(v)) return false;
            auto* f = reinterpret_cast<PyCFunctionObject*>(v);
            return f->m_self == builtins_module() &&
                   std::strcmp(f->m_ml->ml_name, kNames[static_cast<unsigned>(b)]) == 0;
        }
        case Builtin::count_: break;
    }
    return false;
}

// One entry per module namespace seen (a module and a fresh import of it).
struct Memo {
    PyObject* globals = nullptr;  // identified by address and version, not owned
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    unsigned unchanged = 0;  // bit i: builtin i still finds the host's object
};
Memo g_memo[4];
unsigned g_next = 0;

unsigned compute(PyObject* globals) {
    PyObject* builtins = builtins_dict();
    ErrorStash pending;  // an `except` clause asks while its error is in flight
    unsigned mask = 0;
    for (unsigned i = 0; i < kCount; ++i) {
        const auto b = static_cast<Builtin>(i);
        PyObject* name = name_of(b);
        PyObject* shadow = PyDict_GetItemWithError(globals, name);
        if (shadow || PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        PyObject* v = PyDict_GetItemWithError(builtins, name);
        if (!v) PyErr_Clear();
        if (is_original(b, v)) mask |= 1u << i;
    }
    return mask;
}

}  // namespace

namespace detail {

LastAnswer g_last;
PyObject* g_builtins = nullptr;

unsigned unchanged_mask_slow(PyObject* globals) {
    PyObject* builtins = builtins_dict();
#ifdef PYAPI_DICT_VERSION
    const std::uint64_t gv = dict_version(globals), bv = dict_version(builtins);
    Memo* slot = nullptr;
    for (Memo& m : g_memo) {
        if (m.globals != globals) continue;
        if (m.globals_version == gv && m.builtins_version == bv) {
            g_last = {globals, gv, bv, m.unchanged};
            return m.unchanged;
        }
        slot = &m;
    }
    const unsigned mask = compute(globals);
    if (!slot) {
        slot = &g_memo[g_next];
        g_next = (g_next + 1) % 4;
    }
    // The look-ups run no caller code for str keys; remember only what holds.
    if (dict_version(globals) == gv && dict_version(builtins) == bv) {
        *slot = {globals, gv, bv, mask};
        g_last = {globals, gv, bv, mask};
    }
    return mask;
#else
    (void)builtins;
    return compute(globals);
#endif
}

}  // namespace detail

namespace {

Ref call1(PyObject* f, PyObject* a) { return check(PyObject_CallOneArg(f, a)); }

// The error of a failing clause or raise, chained to the error being handled.
[[noreturn]] void raise_with_context(Ref handled) {
    Ref now = fetch_exception();
    if (handled && now.get() != handled.get())
        PyException_SetContext(now.get(), handled.release());
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(now.get())));
    PyErr_Restore(type, now.release(), nullptr);
    raise();
}

bool valid_exception_classes(PyObject* classes) {
    if (PyTuple_Check(classes)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); ++i)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(classes, i))) return false;
        return true;
    }
    return PyExceptionClass_Check(classes);
}

}  // namespace

PyObject* builtins_dict() {
    static PyObject* d = nullptr;
    if (!d) {
        ErrorStash pending;
        d = PyModule_GetDict(builtins_module());
        detail::g_builtins = d;
    }
    return d;
}

Ref builtin(PyObject* globals, Builtin b) {
    PyObject* name = name_of(b);
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    v = PyDict_GetItemWithError(builtins_dict(), name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref b_str_shadowed(PyObject* globals, PyObject* o) {
    Ref f = builtin(globals, Builtin::str);
    return call1(f.get(), o);
}

Ref b_len(PyObject* globals, PyObject* o) {
    if (builtin_unchanged(globals, Builtin::len)) {
        const Py_ssize_t n = PyObject_Size(o);
        if (n < 0) raise();
        return check(PyLong_FromSsize_t(n));
    }
    Ref f = builtin(globals, Builtin::len);
    return call1(f.get(), o);
}

Ref b_int(PyObject* globals, PyObject* o) {
    if (builtin_unchanged(globals, Builtin::int_)) return check(PyNumber_Long(o));
    Ref f = builtin(globals, Builtin::int_);
    return call1(f.get(), o);
}

bool b_isinstance(PyObject* globals, PyObject* o, std::initializer_list<Builtin> classinfo) {
    // Source order: the function, the object, then each class name.
    Ref f = builtin(globals, Builtin::isinstance);
    Ref classes;
    if (classinfo.size() == 1) {
        classes = builtin(globals, *classinfo.begin());
    } else {
        classes = check(PyTuple_New(static_cast<Py_ssize_t>(classinfo.size())));
        Py_ssize_t i = 0;
        for (Builtin b : classinfo) PyTuple_SET_ITEM(classes.get(), i++, builtin(globals, b).release());
    }
    if (is_original(Builtin::isinstance, f.get())) return check_status(PyObject_IsInstance(o, classes.get())) != 0;
    PyObject* args[] = {o, classes.get()};
    Ref r = check(PyObject_Vectorcall(f.get(), args, 2, nullptr));
    return truthy(r.get());
}

bool b_isinstance_of(PyObject* globals, PyObject* o, PyObject* cls) {
    if (builtin_unchanged(globals, Builtin::isinstance))
        return check_status(PyObject_IsInstance(o, cls)) != 0;
    Ref f = builtin(globals, Builtin::isinstance);
    PyObject* args[] = {o, cls};
    Ref r = check(PyObject_Vectorcall(f.get(), args, 2, nullptr));
    return truthy(r.get());
}

Ref b_tuple_of_list(PyObject* globals, PyObject* list) {
    if (builtin_unchanged(globals, Builtin::tuple)) return check(PyList_AsTuple(list));
    Ref f = builtin(globals, Builtin::tuple);
    Ref it = check(PyObject_GetIter(list));
    return call1(f.get(), it.get());
}

bool b_except_matches(PyObject* globals, Builtin b) {
    if (builtin_unchanged(globals, b)) {
        PyObject* original = b == Builtin::ValueError ? PyExc_ValueError
                           : b == Builtin::KeyError   ? PyExc_KeyError
                                                      : PyExc_Exception;
        return PyErr_ExceptionMatches(original) != 0;
    }
    Ref handled = fetch_exception();
    Ref classes = Ref::steal(PyDict_GetItemWithError(globals, name_of(b)));
    if (classes) {
        Py_INCREF(classes.get());
    } else if (!PyErr_Occurred()) {
        PyObject* v = PyDict_GetItemWithError(builtins_dict(), name_of(b));
        if (v) classes = Ref::borrow(v);
    }
    if (!classes) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_of(b));
        raise_with_context(std::move(handled));
    }
    if (!valid_exception_classes(classes.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        raise_with_context(std::move(handled));
    }
    const bool matches = PyErr_GivenExceptionMatches(handled.get(), classes.get()) != 0;
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(handled.get())));
    PyErr_Restore(type, handled.release(), nullptr);
    return matches;
}

namespace {

// What `raise NAME(message)` raises, or the error that raising it gives.
Ref exception_to_raise(PyObject* globals, Builtin b, PyObject* message, const Ref& handled) {
    PyObject* v = PyDict_GetItemWithError(globals, name_of(b));
    if (!v && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(builtins_dict(), name_of(b));
        if (!v && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_of(b));
    }
    if (!v) raise_with_context(handled);
    Ref cls = Ref::borrow(v);
    Ref exc = Ref::steal(PyObject_CallOneArg(cls.get(), message));
    if (!exc) raise_with_context(handled);
    if (PyExceptionClass_Check(exc.get())) {  // raise instantiates a class
        Ref inst = Ref::steal(PyObject_CallNoArgs(exc.get()));
        if (!inst) raise_with_context(handled);
        if (!PyExceptionInstance_Check(inst.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         exc.get(), Py_TYPE(inst.get())->tp_name);
            raise_with_context(handled);
        }
        return inst;
    }
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        raise_with_context(handled);
    }
    return exc;
}

}  // namespace

Ref b_error_from(PyObject* globals, Builtin b, PyObject* message, Ref cause) {
    if (builtin_unchanged(globals, b)) {
        PyObject* original = b == Builtin::KeyError ? PyExc_KeyError : PyExc_ValueError;
        return error_from(original, message, std::move(cause));
    }
    Ref exc = exception_to_raise(globals, b, message, cause);
    PyException_SetContext(exc.get(), Ref(cause).release());
    PyException_SetCause(exc.get(), cause.release());
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(type, exc.release(), nullptr);
    return {};
}

Ref b_error(PyObject* globals, Builtin b, PyObject* message) {
    if (builtin_unchanged(globals, b)) {
        PyErr_SetObject(b == Builtin::KeyError ? PyExc_KeyError : PyExc_ValueError, message);
        return {};
    }
    Ref exc = exception_to_raise(globals, b, message, Ref());
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(type, exc.release(), nullptr);
    return {};
}

}  // namespace pyapi

namespace pyapi {

Ref generator(const char* source, PyObject* globals, std::initializer_list<PyObject*> args) {
    // Compiled once per source text (a handful of literals); kept for the process.
    struct Entry {
        const char* source;
        PyObject* code;
    };
    static Entry cache[8] = {};
    PyObject* code = nullptr;
    for (Entry& e : cache)
        if (e.source == source) code = e.code;
    if (!code) {
        Ref module_code = check(Py_CompileString(source, "<native>", Py_file_input));
        PyObject* consts = reinterpret_cast<PyCodeObject*>(module_code.get())->co_consts;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts) && !code; ++i)
            if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) code = PyTuple_GET_ITEM(consts, i);
        if (!code) raise(PyExc_SystemError, "no function in generator source");
        Py_INCREF(code);
        for (Entry& e : cache) {
            if (!e.source) {
                e = {source, code};
                break;
            }
        }
    }
    Ref fn = check(PyFunction_New(code, globals));
    return check(PyObject_Vectorcall(fn.get(), const_cast<PyObject* const*>(args.begin()),
                                     static_cast<Py_ssize_t>(args.size()), nullptr));
}

}  // namespace pyapi
