// Multi-phase module definition with one state object per module object:
// its types, interned names, imported objects and caches live in the module's
// own state memory, so a fresh import, a second interpreter or a
// subinterpreter each get their own. Code reaches it from the object it is
// called on, never through a process-wide variable. (importlib.reload returns
// the module as it is: a module whose state exists is not executed again.)
#pragma once

#include <new>

#include "builtins.hpp"
#include "guards.hpp"
#include "interpreter_compat.hpp"
#include "ref.hpp"

namespace pyapi {

// What the layer itself keeps per module, the base of every module's state.
struct ModuleState {
    Ref function_type;  // native functions made by this module
    Ref lazy_type;      // lazy generator stand-ins (builtins.hpp)
    Guards guards;      // the module's late-bound names and their originals

    // The object references the state owns, for the garbage collector.
    template <class F>
    void each_ref(F&& f) {
        f(function_type);
        f(lazy_type);
        guards.each_ref(f);
    }
};

// Readies the layer's part of `state` for `module`: the function type, the
// builtin names. Run by the exec slot before the module body; after it, the
// slot seals the module's dependency table, `State::dependencies()`.
void init_module_state(PyObject* module, ModuleState& state);

namespace detail {

// The state memory of a module object: zeroed by the host, constructed by
// the exec slot, so `live` tells whether there is a state to visit or free.
struct StateHeader {
    ModuleState* layer;  // the same object as `live` below, as the layer's part
};
template <class S>
struct StateSlot : StateHeader {
    S* live;
    alignas(S) unsigned char storage[sizeof(S)];
};

template <class S>
StateSlot<S>* slot_of(PyObject* module) noexcept {
    return static_cast<StateSlot<S>*>(PyModule_GetState(module));
}

template <class S>
int traverse_state(PyObject* module, visitproc visit, void* arg) noexcept {
    StateSlot<S>* slot = slot_of<S>(module);
    if (!slot || !slot->live) return 0;
    int rc = 0;
    slot->live->each_ref([&](const Ref& r) {
        if (!rc && r) rc = visit(r.get(), arg);
    });
    return rc;
}

template <class S>
int clear_state(PyObject* module) noexcept {
    StateSlot<S>* slot = slot_of<S>(module);
    if (slot && slot->live) {
        slot->live->guards.invalidate();
        slot->live->each_ref([](Ref& r) { r = Ref(); });
    }
    return 0;
}

template <class S>
void free_state(void* module) noexcept {
    StateSlot<S>* slot = slot_of<S>(static_cast<PyObject*>(module));
    if (!slot || !slot->live) return;
    slot->live->~S();
    slot->live = nullptr;
    slot->layer = nullptr;
}

template <class S, class Exec>
int exec_module(PyObject* module, Exec&& exec) noexcept {
    return guarded_status([&] {
        StateSlot<S>* slot = slot_of<S>(module);
        if (!slot) raise();
        if (!slot->live) slot->layer = slot->live = new (slot->storage) S();
        init_module_state(module, *slot->live);
        exec(module, *slot->live);
        slot->live->guards.seal(S::dependencies());
    });
}

}  // namespace detail

// The layer's part of the state of `module` (one of ours, its body running or run).
inline ModuleState& layer_state(PyObject* module) noexcept {
    return *static_cast<detail::StateHeader*>(PyModule_GetState(module))->layer;
}

// The state of `module`, one of ours made with state type S.
template <class S>
S& module_state(PyObject* module) noexcept {
    return *detail::slot_of<S>(module)->live;
}

}  // namespace pyapi

// PYAPI_MODULE(leaf, "dotted.name", doc, State, exec): defines PyInit_<leaf>.
// `State` derives from pyapi::ModuleState, lists its references in each_ref
// and declares what its shortcuts depend on in `static std::span<const
// pyapi::Dependency> dependencies()` (guards.hpp); `exec` is `void exec(PyObject* module, State& state)`, throwing
// py_error on failure.
#define PYAPI_MODULE(leaf, dotted, doc, State, exec_body) \
    namespace { \
    int pyapi_exec_##leaf(PyObject* m) noexcept { return ::pyapi::detail::exec_module<State>(m, exec_body); } \
    PyModuleDef_Slot pyapi_slots_##leaf[] = {{Py_mod_exec, reinterpret_cast<void*>(::pyapi::slot(pyapi_exec_##leaf))}, \
                                             PYAPI_MODULE_EXTRA_SLOTS{0, nullptr}}; \
    PyModuleDef pyapi_def_##leaf = {PyModuleDef_HEAD_INIT, \
                                    dotted, \
                                    doc, \
                                    sizeof(::pyapi::detail::StateSlot<State>), \
                                    nullptr, \
                                    pyapi_slots_##leaf, \
                                    ::pyapi::slot(::pyapi::detail::traverse_state<State>), \
                                    ::pyapi::slot(::pyapi::detail::clear_state<State>), \
                                    ::pyapi::slot(::pyapi::detail::free_state<State>)}; \
    } \
    PyMODINIT_FUNC PyInit_##leaf() noexcept { return PyModuleDef_Init(&pyapi_def_##leaf); }
