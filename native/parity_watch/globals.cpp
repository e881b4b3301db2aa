#include "globals.hpp"

#include <cstdint>

namespace parity_watch {
namespace {

// The host's version tag of a dict: a new value from a process-wide counter
// at every change, so an equal tag means an unchanged dict. The field is
// deprecated from 3.12 on but still maintained through 3.13.
#if PY_VERSION_HEX < 0x030E0000
#define PARITY_WATCH_DICT_VERSION 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline std::uint64_t dict_version(PyObject* d) {
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
#pragma GCC diagnostic pop
#endif

#ifdef PARITY_WATCH_DICT_VERSION
// Names read from one dict since its last change. Direct-mapped on the name's
// address (our names are interned and live for the process); a collision
// only costs a lookup.
struct DictMemo {
    static constexpr int kSlotBits = 7;
    static constexpr int kSlots = 1 << kSlotBits;
    PyObject* dict = nullptr;  // not owned: identified by address and version
    std::uint64_t version = 0;
    struct Slot {
        PyObject* name;
        PyObject* value;  // borrowed from the dict, valid while its version holds
    } slots[kSlots] = {};

    void reset(PyObject* d, std::uint64_t v) {
        dict = d;
        version = v;
        for (auto& s : slots) s = {nullptr, nullptr};
    }
    static Slot& slot_of(DictMemo& m, PyObject* name) {
        // Fibonacci hashing: names allocated close together spread out.
        const std::uint64_t a = reinterpret_cast<std::uintptr_t>(name) >> 4;
        return m.slots[(a * 0x9E3779B97F4A7C15ULL) >> (64 - kSlotBits)];
    }
};

// The module's namespace, json, json.encoder and hashlib: four dicts in turn.
DictMemo g_memos[4];
int g_next_memo = 0;

DictMemo& memo_for(PyObject* dict) {
    for (auto& m : g_memos)
        if (m.dict == dict) return m;
    DictMemo& m = g_memos[g_next_memo];
    g_next_memo = (g_next_memo + 1) % 4;
    m.reset(dict, dict_version(dict));
    return m;
}
#endif

}  // namespace

PyObject* dict_read(PyObject* dict, PyObject* name) {
#ifdef PARITY_WATCH_DICT_VERSION
    if (PyDict_CheckExact(dict) && PyUnicode_CheckExact(name)) {
        DictMemo& m = memo_for(dict);
        const std::uint64_t v = dict_version(dict);
        if (m.version != v) m.reset(dict, v);
        DictMemo::Slot& s = DictMemo::slot_of(m, name);
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
    if (PyObject* v = dict_read(fn.globals, name)) return Ref::borrow(v);
    return pyapi::load_global(fn.globals, name);  // builtins, or the host's NameError
}

Ref module_attr(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj) == &PyModule_Type) {
        if (PyObject* v = dict_read(PyModule_GetDict(obj), name)) return Ref::borrow(v);
    }
    return pyapi::getattr(obj, name);
}

Ref call_named_global(const FunctionObject& fn, PyObject* name, const FunctionDef& def,
                std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref target = read_global(fn, name);
    if (pyapi::is_function(target.get(), def) && args.size() == def.params.size()) {
        auto* f = reinterpret_cast<FunctionObject*>(target.get());
        Ref result = def.body(*f, args.begin());
        if (!result) pyapi::raise();
        return result;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return pyapi::check(PyObject_Vectorcall(target.get(),
                                            const_cast<PyObject* const*>(args.begin()),
                                            static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}

}  // namespace parity_watch
