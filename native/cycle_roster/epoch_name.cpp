// EpochName, its class method from_str, the epoch tables and
// valid_epochs_for_category.
#include "roster.hpp"

namespace roster {
namespace {

using namespace pyapi;

struct Member {
    const char* name;
    const char* value;
};
constexpr Member kMembers[kEpochCount] = {
    {"SIGNAL_IS", "signal_is"},     {"SIGNAL_IS_POOL", "signal_is_pool"}, {"SIGNAL_OS", "signal_os"},
    {"STRATEGY_IS", "strategy_is"}, {"STRATEGY_OS", "strategy_os"},
};
constexpr const char* kStandard[] = {"SIGNAL_IS", "SIGNAL_OS", "STRATEGY_IS", "STRATEGY_OS"};

// The error the enumeration's own lookup raises for a text that is not a
// value: ValueError("%r is not a valid %s" % (text, cls.__qualname__)), its
// context the exception being handled, if any, as a raise would set it.
Ref lookup_error(const State& st, PyObject* cls, PyObject* text) {
    Ref qualname = getattr(cls, st.names.qualname);
    Ref shown = check(PyObject_Repr(text));
    Ref name = str(qualname.get());
    Ref message = concat_strs({shown.get(), st.names.not_valid, name.get()});
    Ref exc = check(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    PyObject *type, *handled, *tb;
    PyErr_GetExcInfo(&type, &handled, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (handled && handled != Py_None) PyException_SetContext(exc.get(), handled);
    else Py_XDECREF(handled);
    return exc;
}

// raise ValueError(f"Unknown epoch '{value}'") from exc
Ref unknown_epoch(const FunctionObject& self, PyObject* value, Ref exc) {
    const Names& n = state(self).names;
    Ref shown = format_empty(value);
    Ref message = concat_strs({n.unknown_epoch, shown.get(), n.quote});
    return b_error_from(self, Builtin::ValueError, message.get(), std::move(exc));
}

// from_str(cls, value)
Ref from_str(FunctionObject& self, PyObject* const* argv) {
    PyObject* cls = argv[0];
    PyObject* value = argv[1];
    // isinstance(value, cls) is true at once for an instance of exactly cls
    // (the host's own first test), while `isinstance` is the host's.
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(cls)) && builtin_unchanged(self, Builtin::isinstance))
        return Ref::borrow(value);
    const State& st = state(self);
    const bool own_class = cls == st.epoch_class();
    // An exact str is no instance of the class (a subclass of str), and the
    // host's test says so without running code while the metaclass has no
    // __instancecheck__ of its own.
    const bool plain_str = own_class && PyUnicode_CheckExact(value) && builtin_unchanged(self, Builtin::isinstance) &&
                           st.plain_instancecheck.holds(Py_TYPE(cls));
    if (!plain_str && b_isinstance_of(self, value, cls)) return Ref::borrow(value);

    // try: return cls(str(value))
    // except ValueError as exc: raise ValueError(f"Unknown epoch '{value}'") from exc
    Found text;
    if (builtin_unchanged(self, Builtin::str)) {
        // str() of an exact str is that str.
        text = PyUnicode_CheckExact(value) ? Found::kept(value) : Found(Ref::steal(PyObject_Str(value)));
    } else {
        try {
            Ref f = builtin(self, Builtin::str);
            text = Found(Ref::steal(PyObject_CallOneArg(f.get(), value)));
        } catch (const py_error&) {
        }
    }
    if (text) {
        // The class's own lookup by value, without its Python-level __call__,
        // while the ValueError it would raise is still the host's.
        if (own_class && PyUnicode_CheckExact(text.get()) && builtin_unchanged(self, Builtin::ValueError)) {
            // The table is the module's alone and never changes after the
            // body: its entries are read borrowed, without a lock.
            PyObject* member = PyDict_GetItemWithError(st.epochs.by_value.get(), text.get());
            if (member) return Ref::borrow(member);
            if (PyErr_Occurred()) raise();
            return unknown_epoch(self, value, lookup_error(st, cls, text.get()));
        }
        Ref found = Ref::steal(PyObject_CallOneArg(cls, text.get()));
        if (found) return found;
    }
    if (!b_except_matches(self, Builtin::ValueError)) raise();
    return unknown_epoch(self, value, fetch_exception());
}

constexpr Param kFromStrParams[] = {{"cls"}, {"value", "'EpochName | str'"}};
const FunctionDef kFromStr{"from_str", kFromStrParams, "'EpochName'", from_str, "EpochName"};

// valid_epochs_for_category(category)
Ref valid_epochs_for_category(FunctionObject& self, PyObject* const* argv) {
    PyObject* category = argv[0];
    // try: return _VALID_EPOCHS_BY_CATEGORY[str(category)]
    // except KeyError as exc: raise ValueError(...) from exc
    constexpr DepMask kOwnTable = dep_bit(dep::VALID_EPOCHS_BY_CATEGORY) | bit(Builtin::str);
    const DepMask holding = self.guards->holding();
    if (PyUnicode_CheckExact(category) && (holding & kOwnTable) == kOwnTable) {
        // The table the body made, an exact dict: str(category) is category
        // itself. Asked by the very key object of an entry that is still the
        // body's, the lookup would find that entry by identity.
        for (unsigned id = dep::aggregations_entry; id <= dep::strategies_entry; ++id)
            if (category == self.guards->name(id) && (holding & dep_bit(id)))
                return Ref::borrow(self.guards->original(id));
        // Read as an owned entry: callers may change the table.
        PyObject* found = nullptr;
        const int rc = compat::dict_get_ref(self.guards->original(dep::VALID_EPOCHS_BY_CATEGORY), category, &found);
        if (rc > 0) return Ref::steal(found);
        if (rc == 0) PyErr_SetObject(PyExc_KeyError, category);  // the dict's own error
    } else {
        try {
            Ref table = load_global(self.globals, state(self).names.epochs_by_category);
            Ref text = b_str(self, category);
            Ref found = Ref::steal(PyObject_GetItem(table.get(), text.get()));
            if (found) return found;
        } catch (const py_error&) {
        }
    }
    if (!b_except_matches(self, Builtin::KeyError)) raise();
    Ref exc = fetch_exception();
    Ref shown = format_empty(category);
    Ref message = check(PyUnicode_FromFormat("Unknown epoch category '%U'", shown.get()));
    return b_error_from(self, Builtin::ValueError, message.get(), std::move(exc));
}

constexpr Param kCategoryParams[] = {{"category", "str"}};

}  // namespace

const FunctionDef kValidEpochsForCategory{"valid_epochs_for_category", kCategoryParams, "frozenset[EpochName]",
                                          valid_epochs_for_category};

void EpochMembers::fill(PyObject* cls, bool immortal) {
    by_value = check(PyDict_New());
    for (int i = 0; i < kEpochCount; ++i) {
        members[i] = getattr(cls, intern(kMembers[i].name).get());
        values[i] = intern(kMembers[i].value);
        roles[i] = check(PyUnicode_Replace(values[i].get(), intern("_").get(), intern("-").get(), -1));
        single_roles[i] = check(PyUnicode_Concat(roles[i].get(), intern("-only").get()));
        check_status(PyDict_SetItem(by_value.get(), values[i].get(), members[i].get()));
        // Every call that finds or walks a member takes a reference to it.
        share_with_threads(members[i].get());
        if (immortal) make_immortal(members[i].get());
    }
}

Ref make_epoch_name(PyObject* module, PyObject* enum_base) {
    Ref bases = check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_base));
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(enum_base));
    return new_class(metaclass, module, "EpochName", bases.get(), [&](PyObject* ns) {
        // Interned, as the literals of a class body are: each member's value is
        // the one object `values` holds too, and lookups by another thread
        // compare it without taking a reference.
        for (const Member& m : kMembers) {
            Ref value = intern(m.value);
            ns_set(ns, m.name, value.get());
        }
        // Wrapped in classmethod: a bare callable in an enum body would become a member.
        Ref fn = make_function(kFromStr, module);
        Ref method = check(PyClassMethod_New(fn.get()));
        ns_set(ns, "from_str", method.get());
    });
}

void bind_epoch_tables(PyObject* module, State& state) {
    // valid_epochs_for_category hands these out on any thread; marked while
    // this thread alone holds them.
    auto for_threads = [&](Ref set) {
        share_with_threads(set.get());
        if (state.immortal) make_immortal(set.get());
        return set;
    };
    Ref epoch_name = getattr(module, intern("EpochName").get());

    Ref standard_set = check(PySet_New(nullptr));
    for (const char* name : kStandard) {
        Ref member = getattr(epoch_name.get(), intern(name).get());
        check_status(PySet_Add(standard_set.get(), member.get()));
    }
    Ref standard = for_threads(check(PyFrozenSet_New(standard_set.get())));
    setattr(module, intern("_STANDARD_EPOCH_NAMES").get(), standard.get());

    Ref all = for_threads(check(PyFrozenSet_New(epoch_name.get())));
    setattr(module, intern("_ALL_EPOCH_NAMES").get(), all.get());

    Ref strategies_set = check(PySet_New(nullptr));
    for (const char* name : {"STRATEGY_IS", "STRATEGY_OS"}) {
        Ref member = getattr(epoch_name.get(), intern(name).get());
        check_status(PySet_Add(strategies_set.get(), member.get()));
    }
    Ref strategies = for_threads(check(PyFrozenSet_New(strategies_set.get())));

    Ref table = check(PyDict_New());
    check_status(PyDict_SetItemString(table.get(), "aggregations", standard.get()));
    check_status(PyDict_SetItemString(table.get(), "features", standard.get()));
    check_status(PyDict_SetItemString(table.get(), "signals", all.get()));
    check_status(PyDict_SetItemString(table.get(), "universes", standard.get()));
    check_status(PyDict_SetItemString(table.get(), "strategies", strategies.get()));
    setattr(module, intern("_VALID_EPOCHS_BY_CATEGORY").get(), table.get());
    state.standard = standard;
    for (int i = 0; i < kEpochCount; ++i)
        if (check_status(PySet_Contains(standard.get(), state.epochs.members[i].get())))
            state.standard_members |= 1u << i;

    add_function(module, kValidEpochsForCategory);
}

Found aggregation_epochs(const FunctionObject& self) {
    // Our function, reading the body's table, whose entry is still the
    // body's set: that set, without a lookup or a reference taken (threads
    // calling at once would contend on its count).
    constexpr DepMask kOwnSet = dep_bit(dep::valid_epochs_for_category) | dep_bit(dep::VALID_EPOCHS_BY_CATEGORY) |
                                dep_bit(dep::aggregations_entry) | bit(Builtin::str);
    const State& st = state(self);
    if (self.guards->hold_all(kOwnSet) && self.guards->original(dep::aggregations_entry) == st.standard.get())
        return Found::kept(st.standard.get());
    return Found(call_declared(self, dep::valid_epochs_for_category, kValidEpochsForCategory, {st.names.aggregations}));
}

namespace {
// Whether `epoch in s`, for a frozen set s, can be known without the lookup:
// hashing and comparing as str does, the lookup runs no code of the caller's,
// finds a member it holds by identity and no equal key of one it does not.
bool hashes_as_str(PyTypeObject* type) noexcept {
    return type->tp_hash == PyUnicode_Type.tp_hash && type->tp_richcompare == PyUnicode_Type.tp_richcompare;
}
}  // namespace

bool epoch_in(const State& st, PyObject* valid, PyObject* epoch, int index) {
    if (index >= 0 && valid == st.standard.get() && hashes_as_str(Py_TYPE(epoch)))
        return (st.standard_members >> index) & 1u;
    return check_status(PySequence_Contains(valid, epoch)) != 0;
}

Ref unknown(const FunctionObject& self, PyObject* opening, PyObject* value) {
    Ref shown = format_empty(value);
    Ref message = concat_strs({opening, shown.get(), state(self).names.quote});
    return b_error(self, Builtin::ValueError, message.get());
}

}  // namespace roster
