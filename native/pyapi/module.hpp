// Multi-phase module definition. The exec slot runs the module body; a fresh
// import (after removal from sys.modules) runs it again on a new module object.
// importlib.reload does not: the import system marks every multi-phase module
// as initialised (even with no state of its own) and skips its exec slots, and
// it refuses a negative m_size, the only way around that mark.
#pragma once

#include "ref.hpp"

// PYAPI_MODULE(leaf, "dotted.name", doc, exec): defines PyInit_<leaf>.
// `exec` is `void exec(PyObject* module)`, throwing py_error on failure.
#if PY_VERSION_HEX >= 0x030C0000
#define PYAPI_MODULE_EXTRA_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define PYAPI_MODULE_EXTRA_SLOTS
#endif

#define PYAPI_MODULE(leaf, dotted, doc, exec_body)                                  \
    namespace {                                                                     \
    int pyapi_exec_##leaf(PyObject* m) noexcept {                                            \
        return ::pyapi::guarded_status([&] { exec_body(m); });                      \
    }                                                                               \
    PyModuleDef_Slot pyapi_slots_##leaf[] = {                                       \
        {Py_mod_exec, reinterpret_cast<void*>(::pyapi::slot(pyapi_exec_##leaf))},                  \
        PYAPI_MODULE_EXTRA_SLOTS{0, nullptr}};                                      \
    PyModuleDef pyapi_def_##leaf = {PyModuleDef_HEAD_INIT, dotted, doc, 0, nullptr, \
                                    pyapi_slots_##leaf, nullptr, nullptr, nullptr}; \
    }                                                                               \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##leaf() noexcept { \
        return PyModuleDef_Init(&pyapi_def_##leaf);                                 \
    }
