// Interpreter-version specifics of the module-state layer.
#pragma once

#include "ref.hpp"

namespace pyapi {

// The module that made `type` or the first of its bases made by a module of
// `def` (borrowed), or nullptr with TypeError set: how a slot or a getter,
// which receives no defining class, finds its module's state, subclasses
// included. PyType_GetModuleByDef exists from 3.11 on; 3.10 has every piece
// of it in public structures (a heap type's ht_module), so the same walk over
// the MRO stands in for it there.
inline PyObject* module_by_def(PyTypeObject* type, PyModuleDef* def) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetModuleByDef(type, def);
#else
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(base)->ht_module;
        if (module && PyModule_GetDef(module) == def) return module;
    }
    PyErr_Format(PyExc_TypeError,
                 "PyType_GetModuleByDef: No superclass of '%s' has the given module",
                 type->tp_name);
    return nullptr;
#endif
}

}  // namespace pyapi
