#include "builtins.hpp"

#include <cstdint>
#include <cstring>

#include "ops.hpp"

namespace pyapi {
namespace {

constexpr const char* kNames[kBuiltinCount] = {"str",   "len",  "isinstance", "tuple",    "list",     "int",
                                               "float", "bool", "ValueError", "KeyError", "Exception"};

}  // namespace

void BuiltinNames::init() {
    for (unsigned i = 0; i < kBuiltinCount; ++i) names_[i] = check(PyUnicode_InternFromString(kNames[i]));
    module_ = check(PyImport_ImportModule("builtins"));
    dict_ = Ref::borrow(PyModule_GetDict(module_.get()));
}

// The host's own object for `b`. Functions are recognised by what they are
// (the builtins module's C function of that name), so a name replaced before
// this module was first imported is not taken for the original.
bool BuiltinNames::is_original(Builtin b, PyObject* v) const {
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
            return f->m_self == module_.get() && std::strcmp(f->m_ml->ml_name, kNames[static_cast<unsigned>(b)]) == 0;
        }
        case Builtin::count_: break;
    }
    return false;
}

unsigned BuiltinNames::unchanged_mask_slow(PyObject* globals) {
    PyObject* builtins = dict_.get();
#ifdef PYAPI_DICT_VERSION
    const std::uint64_t gv = dict_version(globals), bv = dict_version(builtins);
#endif
    ErrorStash pending;  // an `except` clause asks while its error is in flight
    unsigned mask = 0;
    for (unsigned i = 0; i < kBuiltinCount; ++i) {
        PyObject* name = names_[i].get();
        PyObject* shadow = PyDict_GetItemWithError(globals, name);
        if (shadow || PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        PyObject* v = PyDict_GetItemWithError(builtins, name);
        if (!v) PyErr_Clear();
        if (is_original(static_cast<Builtin>(i), v)) mask |= 1u << i;
    }
#ifdef PYAPI_DICT_VERSION
    // The look-ups run no caller code for str keys; remember only what holds.
    if (dict_version(globals) == gv && dict_version(builtins) == bv) {
        memo_valid_ = true;
        memo_globals_version_ = gv;
        memo_builtins_version_ = bv;
        memo_unchanged_ = mask;
    }
#endif
    return mask;
}

namespace {

Ref call1(PyObject* f, PyObject* a) { return check(PyObject_CallOneArg(f, a)); }

// Sets `exc` as the error in flight.
void restore(Ref exc) {
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(type, exc.release(), nullptr);
}

// The object `b` names for `fn` (borrowed), or NULL with an error set.
PyObject* lookup(const FunctionObject& fn, Builtin b) {
    PyObject* name = fn.builtins->name(b);
    PyObject* v = PyDict_GetItemWithError(fn.globals, name);
    if (!v && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(fn.builtins->dict(), name);
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v;
}

bool call_isinstance(PyObject* f, PyObject* o, PyObject* classes) {
    PyObject* args[] = {o, classes};
    Ref r = check(PyObject_Vectorcall(f, args, 2, nullptr));
    return truthy(r.get());
}

// The error of a failing clause or raise, chained to the error being handled.
[[noreturn]] void raise_with_context(Ref handled) {
    Ref now = fetch_exception();
    if (handled && now.get() != handled.get()) PyException_SetContext(now.get(), handled.release());
    restore(std::move(now));
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

Ref builtin(const FunctionObject& f, Builtin b) {
    PyObject* v = lookup(f, b);
    if (!v) raise();
    return Ref::borrow(v);
}

Ref b_str_shadowed(const FunctionObject& fn, PyObject* o) { return call1(builtin(fn, Builtin::str).get(), o); }

Ref b_len(const FunctionObject& fn, PyObject* o) {
    if (builtin_unchanged(fn, Builtin::len)) {
        const Py_ssize_t n = PyObject_Size(o);
        if (n < 0) raise();
        return check(PyLong_FromSsize_t(n));
    }
    return call1(builtin(fn, Builtin::len).get(), o);
}

Ref b_int(const FunctionObject& fn, PyObject* o) {
    if (builtin_unchanged(fn, Builtin::int_)) return check(PyNumber_Long(o));
    return call1(builtin(fn, Builtin::int_).get(), o);
}

bool b_isinstance(const FunctionObject& fn, PyObject* o, std::initializer_list<Builtin> classinfo) {
    // Source order: the function, the object, then each class name.
    Ref f = builtin(fn, Builtin::isinstance);
    Ref classes;
    if (classinfo.size() == 1) {
        classes = builtin(fn, *classinfo.begin());
    } else {
        classes = check(PyTuple_New(static_cast<Py_ssize_t>(classinfo.size())));
        Py_ssize_t i = 0;
        for (Builtin b : classinfo) PyTuple_SET_ITEM(classes.get(), i++, builtin(fn, b).release());
    }
    if (fn.builtins->is_original(Builtin::isinstance, f.get()))
        return check_status(PyObject_IsInstance(o, classes.get())) != 0;
    return call_isinstance(f.get(), o, classes.get());
}

bool b_isinstance_of(const FunctionObject& fn, PyObject* o, PyObject* cls) {
    if (builtin_unchanged(fn, Builtin::isinstance)) return check_status(PyObject_IsInstance(o, cls)) != 0;
    return call_isinstance(builtin(fn, Builtin::isinstance).get(), o, cls);
}

Ref b_tuple_of_list(const FunctionObject& fn, PyObject* list) {
    if (builtin_unchanged(fn, Builtin::tuple)) return check(PyList_AsTuple(list));
    Ref f = builtin(fn, Builtin::tuple);
    Ref it = check(PyObject_GetIter(list));
    return call1(f.get(), it.get());
}

bool b_except_matches(const FunctionObject& fn, Builtin b) {
    if (builtin_unchanged(fn, b)) {
        PyObject* original = b == Builtin::ValueError ? PyExc_ValueError
                             : b == Builtin::KeyError ? PyExc_KeyError
                                                      : PyExc_Exception;
        return PyErr_ExceptionMatches(original) != 0;
    }
    Ref handled = fetch_exception();
    Ref classes = Ref::borrow(lookup(fn, b));
    if (!classes) raise_with_context(std::move(handled));
    if (!valid_exception_classes(classes.get())) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        raise_with_context(std::move(handled));
    }
    const bool matches = PyErr_GivenExceptionMatches(handled.get(), classes.get()) != 0;
    restore(std::move(handled));
    return matches;
}

namespace {

// What `raise NAME(message)` raises, or the error that raising it gives.
Ref exception_to_raise(const FunctionObject& fn, Builtin b, PyObject* message, const Ref& handled) {
    Ref cls = Ref::borrow(lookup(fn, b));
    if (!cls) raise_with_context(handled);
    Ref exc = Ref::steal(PyObject_CallOneArg(cls.get(), message));
    if (!exc) raise_with_context(handled);
    if (PyExceptionClass_Check(exc.get())) {  // raise instantiates a class
        Ref inst = Ref::steal(PyObject_CallNoArgs(exc.get()));
        if (!inst) raise_with_context(handled);
        if (!PyExceptionInstance_Check(inst.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
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

Ref b_error_from(const FunctionObject& fn, Builtin b, PyObject* message, Ref cause) {
    if (builtin_unchanged(fn, b)) {
        PyObject* original = b == Builtin::KeyError ? PyExc_KeyError : PyExc_ValueError;
        return error_from(original, message, std::move(cause));
    }
    Ref exc = exception_to_raise(fn, b, message, cause);
    PyException_SetContext(exc.get(), Ref(cause).release());
    PyException_SetCause(exc.get(), cause.release());
    restore(std::move(exc));
    return {};
}

Ref b_error(const FunctionObject& fn, Builtin b, PyObject* message) {
    if (builtin_unchanged(fn, b)) {
        PyErr_SetObject(b == Builtin::KeyError ? PyExc_KeyError : PyExc_ValueError, message);
        return {};
    }
    restore(exception_to_raise(fn, b, message, Ref()));
    return {};
}

}  // namespace pyapi
