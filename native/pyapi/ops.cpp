#include "ops.hpp"

#include <algorithm>

#include "check.hpp"

namespace pyapi {

Ref format_empty(PyObject* o) { return check(PyObject_Format(o, nullptr)); }

Ref interned_tuple(std::initializer_list<const char*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const char* s : items) PyTuple_SET_ITEM(t.get(), i++, intern(s).release());
    return t;
}

Ref concat_strs(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (PyObject* part : parts) {
        PYAPI_ASSERT(PyUnicode_Check(part));
        length += PyUnicode_GET_LENGTH(part);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(part));
    }
    Ref out = check(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        check_size(PyUnicode_CopyCharacters(out.get(), at, part, 0, n));
        at += n;
    }
    return out;
}

Ref kwnames(std::initializer_list<PyObject*> names) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(name));
    return t;
}

void unpack_two(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return;
    }
    if (PyList_CheckExact(value)) {
        // The size and both items read at one moment: another thread may
        // resize the list, or free an item it replaces, meanwhile.
        Ref first, second;
        {
            CriticalSection lock(value);
            if (PyList_GET_SIZE(value) == 2) {
                first = Ref::borrow(PyList_GET_ITEM(value, 0));
                second = Ref::borrow(PyList_GET_ITEM(value, 1));
            }
        }
        if (first) {
            a = std::move(first);
            b = std::move(second);
            return;
        }
    }
    PyObject* it = PyObject_GetIter(value);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        raise();
    }
    Ref iter = Ref::steal(it);
    Ref got[2];
    for (int i = 0; i < 2; ++i) {
        got[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!got[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise();
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(iter.get()))) {
        // The size as the host reads it then, after the iteration.
        if (compat::kUnpackNamesSize &&
            (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value))) {
            const Py_ssize_t size = PyDict_CheckExact(value) ? PyDict_Size(value) : Py_SIZE(value);
            if (size > 2) raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
        }
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise();
    a = std::move(got[0]);
    b = std::move(got[1]);
}

Ref import_module(const char* dotted) { return check(PyImport_ImportModule(dotted)); }

Ref import_from(PyObject* module, PyObject* name) {
    PyObject* v = PyObject_GetAttr(module, name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    // As the import statement does: a submodule may be in sys.modules already.
    Ref pkgname = check(PyObject_GetAttrString(module, "__name__"));
    Ref full = check(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
    PyObject* sub = PyImport_GetModule(full.get());
    if (sub) return Ref::steal(sub);
    if (PyErr_Occurred()) raise();
    PyObject* file = PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr;
    if (!file) PyErr_Clear();
    Ref path = Ref::steal(file);
    Ref msg =
        path ? check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, pkgname.get(), path.get()))
             : check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, pkgname.get()));
    PyErr_SetImportError(msg.get(), pkgname.get(), path ? path.get() : Py_None);
    raise();
}

Ref load_global(PyObject* globals, PyObject* name) {
    // Owned: another thread may rebind the name, and free what it held.
    PyObject* v = nullptr;
    if (check_status(compat::dict_get_ref(globals, name, &v))) return Ref::steal(v);
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && check_status(compat::dict_get_ref(builtins, name, &v))) return Ref::steal(v);
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace pyapi

namespace pyapi {

Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

Ref error_from(PyObject* type, PyObject* message, Ref cause) {
    Ref exc = Ref::steal(PyObject_CallOneArg(type, message));
    if (!exc) return {};
    PyException_SetContext(exc.get(), Ref(cause).release());
    PyException_SetCause(exc.get(), cause.release());
    // Restore, not SetObject: the context is already the caught exception.
    PyObject* exc_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(exc_type, exc.release(), nullptr);
    return {};
}

}  // namespace pyapi
