#include "classes.hpp"

#include "interpreter_compat.hpp"
#include "ops.hpp"

namespace pyapi {

void ns_set(PyObject* ns, const char* key, PyObject* value) {
    check_status(PyObject_SetItem(ns, intern(key).get(), value));
}

Ref new_class(PyObject* metaclass, PyObject* module, const char* name, PyObject* bases,
              const std::function<void(PyObject* ns)>& body) {
    Ref cls_name = new_str(name);
    Ref prepare = getattr(metaclass, intern("__prepare__").get());
    Ref ns = call(prepare.get(), {cls_name.get(), bases});
    Ref module_name = getattr(module, intern("__name__").get());
    ns_set(ns.get(), "__module__", module_name.get());
    ns_set(ns.get(), "__qualname__", cls_name.get());
    body(ns.get());
    return call(metaclass, {cls_name.get(), bases, ns.get()});
}

bool PlainInstanceCheck::holds(PyTypeObject* metatype) noexcept {
    const unsigned before = compat::type_version(metatype);
    if (before != 0 && tag_.load(std::memory_order_acquire) == before) return true;
    // getattr(metatype, "__instancecheck__") is type's own method descriptor
    // unless the metaclass or a class between it and type defines one. The
    // lookup gives the metatype a version if it had none.
    PyObject* name = PyUnicode_InternFromString("__instancecheck__");
    if (!name) {
        PyErr_Clear();
        return false;
    }
    PyObject* own = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyType_Type), name);
    PyObject* found = own ? PyObject_GetAttr(reinterpret_cast<PyObject*>(metatype), name) : nullptr;
    if (!found) PyErr_Clear();  // either lookup failed: not known, the host's test then runs
    const bool plain = found && found == own;
    Py_XDECREF(found);
    Py_XDECREF(own);
    Py_DECREF(name);
    const unsigned after = compat::type_version(metatype);
    if (!plain || after == 0 || (before != 0 && before != after)) return plain;
    tag_.store(after, std::memory_order_release);
    return true;
}

}  // namespace pyapi
