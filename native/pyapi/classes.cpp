#include "classes.hpp"

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

}  // namespace pyapi
