#include <cstdint>

#include "state.hpp"

namespace parity_watch {
namespace {

#ifdef PYAPI_DICT_VERSION
using pyapi::compat::dict_version;

void reset(DictMemo& m, PyObject* d, std::uint64_t v) {
    m.dict = d;
    m.version = v;
    for (auto& s : m.slots) s = {nullptr, nullptr};
}

// Direct-mapped on the name's address (the names are the state's interned
// strs); a collision only costs a lookup.
DictMemo::Slot& slot_of(DictMemo& m, PyObject* name) {
    // Fibonacci hashing: names allocated close together spread out.
    const std::uint64_t a = reinterpret_cast<std::uintptr_t>(name) >> 4;
    return m.slots[(a * 0x9E3779B97F4A7C15ULL) >> (64 - DictMemo::kSlotBits)];
}

DictMemo& memo_for(State& st, PyObject* dict) {
    for (auto& m : st.memos)
        if (m.dict == dict) return m;
    DictMemo& m = st.memos[st.next_memo];
    st.next_memo = (st.next_memo + 1) % 4;
    reset(m, dict, dict_version(dict));
    return m;
}
#endif

}  // namespace

PyObject* dict_read([[maybe_unused]] State& st, PyObject* dict, PyObject* name) {
#ifdef PYAPI_DICT_VERSION
    if (PyDict_CheckExact(dict) && PyUnicode_CheckExact(name)) {
        DictMemo& m = memo_for(st, dict);
        const std::uint64_t v = dict_version(dict);
        if (m.version != v) reset(m, dict, v);
        DictMemo::Slot& s = slot_of(m, name);
        if (s.name == name) return s.value;
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (!value) {
            if (PyErr_Occurred()) pyapi::raise();
            return nullptr;  // absence is not remembered: rare, and cheap to ask again
        }
        // A lookup may run caller code (a key's __eq__) that changes the dict
        // or uses this memo: remember only what still holds now.
        if (m.dict == dict && m.version == v && dict_version(dict) == v) s = {name, value};
        return value;
    }
#endif
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value && PyErr_Occurred()) pyapi::raise();
    return value;
}

Ref read_global(const FunctionObject& fn, PyObject* name) {
    if (PyObject* v = dict_read(state(fn), fn.globals, name)) return Ref::borrow(v);
    return pyapi::load_global(fn.globals, name);  // builtins, or the host's NameError
}

Ref module_attr(State& st, PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj) == &PyModule_Type) {
        if (PyObject* v = dict_read(st, PyModule_GetDict(obj), name)) return Ref::borrow(v);
    }
    return pyapi::getattr(obj, name);
}

}  // namespace parity_watch
