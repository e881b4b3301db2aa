#include "builtins.hpp"

#include <cstring>
#include <iterator>

#include "ops.hpp"

namespace pyapi {
namespace {

bool is_type(PyObject* v, PyTypeObject* t) { return v == reinterpret_cast<PyObject*>(t); }
template <PyTypeObject* T>
bool own_type(PyObject* v) {
    return is_type(v, T);
}
template <PyObject** E>
bool own_exception(PyObject* v) {
    return v == *E;
}
// The builtins module's C function of that name: a function replaced before
// this module was first imported is not taken for the original.
template <const char* Name>
bool own_function(PyObject* v) {
    if (!PyCFunction_Check(v)) return false;
    auto* f = reinterpret_cast<PyCFunctionObject*>(v);
    if (!f->m_self || !PyModule_Check(f->m_self) || std::strcmp(f->m_ml->ml_name, Name) != 0) return false;
    const char* module = PyModule_GetName(f->m_self);
    if (!module) PyErr_Clear();
    return module && std::strcmp(module, "builtins") == 0;
}
constexpr char kLen[] = "len";
constexpr char kIsinstance[] = "isinstance";

constexpr unsigned id(Builtin b) { return static_cast<unsigned>(b); }
constexpr DepKind kB = DepKind::builtin;
constexpr Dependency kBuiltins[] = {
    {id(Builtin::str), kB, "str", 0, own_type<&PyUnicode_Type>},
    {id(Builtin::len), kB, "len", 0, own_function<kLen>},
    {id(Builtin::isinstance), kB, "isinstance", 0, own_function<kIsinstance>},
    {id(Builtin::tuple), kB, "tuple", 0, own_type<&PyTuple_Type>},
    {id(Builtin::list), kB, "list", 0, own_type<&PyList_Type>},
    {id(Builtin::int_), kB, "int", 0, own_type<&PyLong_Type>},
    {id(Builtin::float_), kB, "float", 0, own_type<&PyFloat_Type>},
    {id(Builtin::bool_), kB, "bool", 0, own_type<&PyBool_Type>},
    {id(Builtin::ValueError), kB, "ValueError", 0, own_exception<&PyExc_ValueError>},
    {id(Builtin::KeyError), kB, "KeyError", 0, own_exception<&PyExc_KeyError>},
    {id(Builtin::Exception), kB, "Exception", 0, own_exception<&PyExc_Exception>},
};
static_assert(well_numbered(kBuiltins, 0) && std::size(kBuiltins) == kBuiltinCount);

}  // namespace

std::span<const Dependency> builtin_dependencies() { return kBuiltins; }

namespace {

Ref call1(PyObject* f, PyObject* a) { return check(PyObject_CallOneArg(f, a)); }

// Sets `exc` as the error in flight.
void restore(Ref exc) {
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(type, exc.release(), nullptr);
}

// The object `b` names for `fn`, or empty with an error set. Owned: another
// thread may rebind the name, and free what it held, while we use it.
Ref lookup(const FunctionObject& fn, unsigned id) {
    PyObject* name = fn.guards->name(id);
    PyObject* v = nullptr;
    int found = compat::dict_get_ref(fn.globals, name, &v);
    if (found == 0) {
        found = compat::dict_get_ref(fn.guards->builtins_dict(), name, &v);
        if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(v);
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
    Ref v = lookup(f, id(b));
    if (!v) raise();
    return v;
}

Found dependency(const FunctionObject& f, unsigned id) {
    Guards& g = *f.guards;
    if (g.holds(id)) return Found::kept(g.original(id));
    const Dependency& d = g.entry(id);
    switch (d.kind) {
        case DepKind::global: return load_global(f.globals, g.name(id));
        case DepKind::builtin: {
            Ref v = lookup(f, id);
            if (!v) raise();
            return v;
        }
        case DepKind::attribute: break;
        case DepKind::entry: {
            Found table = dependency(f, d.owner);
            return check(PyObject_GetItem(table.get(), g.name(id)));
        }
    }
    Found owner = dependency(f, d.owner);
    return getattr(owner.get(), g.name(id));
}

Found dependency_of(const FunctionObject& f, PyObject* obj, unsigned id) {
    Guards& g = *f.guards;
    const unsigned owner = g.entry(id).owner;
    if (obj == g.original(owner) && obj && g.holds(id)) return Found::kept(g.original(id));
    if (g.entry(id).kind == DepKind::entry) return check(PyObject_GetItem(obj, g.name(id)));
    return getattr(obj, g.name(id));
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
    PyObject* own = fn.guards->original(static_cast<unsigned>(Builtin::isinstance));
    if (own ? f.get() == own : kBuiltins[id(Builtin::isinstance)].own(f.get()))
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
    Ref classes = lookup(fn, id(b));
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
    Ref cls = lookup(fn, id(b));
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
