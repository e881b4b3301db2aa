// What differs between the interpreter versions the layer supports (3.10 to
// 3.15), and the interpreter internals it reads, each with the reason no
// public interface serves. Nothing else in the modules names a version.
#pragma once

#include <atomic>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pyapi::compat {

#if PY_VERSION_HEX < 0x030C0000
#define PYAPI_DICT_VERSION 1
// The version tag of a dict (`ma_version_tag`, internal): a new value from a
// process-wide counter at every change, so an equal tag means an unchanged
// dict. On 3.10/3.11, which have no dict watchers, it tells the memo of
// late-bound names (pyapi/guards.hpp) that nothing moved; from 3.12 on the
// public watchers do (the tag is deprecated there and gone from 3.14).
inline std::uint64_t dict_version(PyObject* d) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
}
#endif

// A type's version tag (`tp_version_tag`, a public field that no function
// reads): nonzero, it stays the same until the type or one of its bases
// changes, which gives it up (to 0, 3.12 on; earlier, clearing the flag that
// validates it). Read atomically: a free-threaded host assigns it while
// other threads read it.
inline unsigned type_version(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return __atomic_load_n(&t->tp_version_tag, __ATOMIC_ACQUIRE);
}

// From 3.14 on, unpacking an exact list, tuple or dict with more items than
// targets names the count: "too many values to unpack (expected 2, got 3)";
// other iterables, and earlier versions, say only what was expected.
#if PY_VERSION_HEX >= 0x030E0000
inline constexpr bool kUnpackNamesSize = true;
#else
inline constexpr bool kUnpackNamesSize = false;
#endif

// Readies a str's canonical representation before its data is read directly;
// from 3.12 on every str is ready and the call is deprecated.
inline int ensure_ready(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

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
    PyErr_Format(PyExc_TypeError, "PyType_GetModuleByDef: No superclass of '%s' has the given module", type->tp_name);
    return nullptr;
#endif
}

// `*out = dict[key]` as an owned reference: 1 found, 0 absent (no error),
// -1 error. A borrowed entry of a dict another thread may change can be
// freed before it is used (free-threaded builds); 3.13's PyDict_GetItemRef
// takes the reference under the dict's own lock. Before 3.13 the GIL makes
// the borrowed read and the increment one step.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject* v = PyDict_GetItemWithError(dict, key);
    *out = Py_XNewRef(v);
    return v ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
// `dict.setdefault(key, value)` as an owned reference, or nullptr with an
// error: the insert and the read of what is then in place are one step, so
// two threads inserting at once agree on one value.
inline PyObject* dict_setdefault_ref(PyObject* dict, PyObject* key, PyObject* value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* kept = nullptr;
    return PyDict_SetDefaultRef(dict, key, value, &kept) < 0 ? nullptr : kept;
#else
    return Py_XNewRef(PyDict_SetDefault(dict, key, value));
#endif
}
#endif

}  // namespace pyapi::compat

#ifdef Py_GIL_DISABLED
// Free-threaded build: no GIL orders the threads running our code.
#define PYAPI_FREE_THREADED 1
#endif

namespace pyapi {

// The host's per-object lock for a scope (Py_BEGIN_CRITICAL_SECTION, as
// RAII so that a C++ throw ends it): free-threaded builds lock `op`, GIL
// builds compile it away. It is suspended while the thread blocks, yet the
// scope must not call into Python code: that code may take the same object's
// lock in another order, or run long under it.
class CriticalSection {
public:
#ifdef PYAPI_FREE_THREADED
    explicit CriticalSection(PyObject* op) noexcept { PyCriticalSection_Begin(&cs_, op); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef PYAPI_FREE_THREADED
    PyCriticalSection cs_;
#endif
};

// An object the module made and keeps, that other threads will read out of a
// dict or list (a module global, a table's value). On a free-threaded build
// such a read takes a reference only if it can without the owning thread's
// help; for an object no other thread holds yet it cannot, and the read falls
// back to locking the container, which threads reading at once then contend
// for. Marked once here (3.14 on), those reads stay lock-free.
inline void share_with_threads(PyObject* op) noexcept {
#if defined(PYAPI_FREE_THREADED) && PY_VERSION_HEX >= 0x030E0000
    PyUnstable_EnableTryIncRef(op);
#else
    (void)op;
#endif
}

#if defined(PYAPI_FREE_THREADED) && PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F00A7
// Exported by 3.14t: the host's own immortalisation, which it uses for None
// and its other shared objects; 3.15 names it PyUnstable_SetImmortal.
extern "C" void _Py_SetImmortal(PyObject* op);
#define PYAPI_IMMORTAL_OBJECTS 1
#elif defined(PYAPI_FREE_THREADED) && PY_VERSION_HEX >= 0x030F00A7
#define PYAPI_IMMORTAL_OBJECTS 1
#else
#define PYAPI_IMMORTAL_OBJECTS 0
#endif

// An object every call hands back or collects into its result, on any thread
// (an enumeration's members, a table's sets). On a free-threaded build each of
// those counts is an atomic add on the object's one shared count, which two
// threads calling at once contend for: immortal, it is not counted at all, as
// the host's own constants of a code object are not. Immortal also means never
// freed, so only for objects of a module that lives as long as the process
// (see immortal_for_module), made by this thread and not yet seen by another.
// The host may decline (3.15's public call takes only an object no other
// thread holds); GIL builds do not count in parallel and leave it as it is.
inline void make_immortal(PyObject* op) noexcept {
#if PYAPI_IMMORTAL_OBJECTS && PY_VERSION_HEX >= 0x030F00A7
    (void)PyUnstable_SetImmortal(op);
#elif PYAPI_IMMORTAL_OBJECTS
    _Py_SetImmortal(op);
#else
    (void)op;
#endif
}

// Whether the module being made may make its shared objects immortal: a
// free-threaded build, the main interpreter, and the first module of its kind
// in the process (`taken`, one per kind), which lives as long as the process
// does. A fresh import's module, or a subinterpreter's, is freed with its
// objects, so theirs stay counted.
inline bool immortal_for_module(std::atomic<bool>& taken) noexcept {
    return PYAPI_IMMORTAL_OBJECTS && PyInterpreterState_Get() == PyInterpreterState_Main() && !taken.exchange(true);
}

// A function object of a module, loaded by every call from any thread (a
// global, a module attribute, a closure's cell). Deferred, as the host makes
// its own functions, a free-threaded build's interpreter loads it without
// counting a reference, so threads calling at once do not contend on its
// count; it is then freed by the cyclic collector only, as its module's
// functions are anyway.
#if defined(PYAPI_FREE_THREADED) && PY_VERSION_HEX >= 0x030E0000
#define PYAPI_FUNCTIONS_DEFERRED 1
#else
#define PYAPI_FUNCTIONS_DEFERRED 0
#endif
inline void defer_refcount(PyObject* op) noexcept {
#if PYAPI_FUNCTIONS_DEFERRED
    PyUnstable_Object_EnableDeferredRefcount(op);
#else
    (void)op;
#endif
}

}  // namespace pyapi

// Module slots: from 3.12 a module says whether it may be loaded in several
// interpreters, and whether each may have its own GIL. Ours keep all their
// state per module object, so they support both. From 3.13 it also says
// whether it needs the GIL (read by free-threaded builds only): ours do not,
// their shared state being atomic or under the host's locks.
#if PY_VERSION_HEX >= 0x030D0000
#define PYAPI_MODULE_EXTRA_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define PYAPI_MODULE_EXTRA_SLOTS {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define PYAPI_MODULE_EXTRA_SLOTS
#endif
