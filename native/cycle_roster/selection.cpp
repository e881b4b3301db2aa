// Epoch selection by submission type and process role.
#include "roster.hpp"

namespace roster {
namespace {

using namespace pyapi;

// `text == "literal"` as the host evaluates it.
bool equals(PyObject* o, PyObject* literal) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_Compare(o, literal) == 0;
    Ref r = check(PyObject_RichCompare(o, literal, Py_EQ));
    return truthy(r.get());
}

// `text in ("a", "b", ...)`: entry by entry, in order.
bool in_list(PyObject* o, PyObject* literals) {
    if (PyUnicode_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(literals); ++i)
            if (PyUnicode_Compare(o, PyTuple_GET_ITEM(literals, i)) == 0) return true;
        return false;
    }
    return check_status(PySequence_Contains(literals, o)) != 0;
}

// Walks the module's `EpochName` global in iteration order. `visit(member,
// index)` returns true to stop; `index` is the member's position when the
// global is still the class the module made (so cached values apply), else -1.
template <class Visit>
void for_each_epoch(const FunctionObject& self, Visit&& visit) {
    const State& st = state(self);
    auto members = [&] {
        for (int i = 0; i < kEpochCount; ++i)
            if (visit(st.epochs.members[i].get(), i)) return;
    };
    if (self.guards->holds(dep::EpochName)) return members();
    Ref cls = load_global(self.globals, st.names.EpochName);
    if (cls.get() == st.epoch_class()) return members();
    Ref it = check(PyObject_GetIter(cls.get()));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
        if (visit(member.get(), -1)) return;
    }
    if (PyErr_Occurred()) raise();
}

// member.value
Ref value_of(const FunctionObject& self, PyObject* member, int index) {
    if (index >= 0) return state(self).epochs.values[index];
    return getattr(member, state(self).names.value);
}

// Collects picked members into a tuple; the common case (at most the five
// members of the module's own class) stays off the heap.
class Picked {
public:
    void add(PyObject* item) {
        if (n_ < kInline) {
            inline_[n_++] = Ref::borrow(item);
            return;
        }
        if (!overflow_) overflow_ = check(PyList_New(0));
        check_status(PyList_Append(overflow_.get(), item));
    }
    // `tuple(<the generator>)` with `tuple` looked up now.
    Ref to_tuple(const FunctionObject& self) {
        if (!builtin_unchanged(self, Builtin::tuple)) {
            Ref list = check(PyList_New(0));
            for (Py_ssize_t i = 0; i < n_; ++i) check_status(PyList_Append(list.get(), inline_[i].get()));
            if (overflow_) {
                Ref all = check(PySequence_Concat(list.get(), overflow_.get()));
                list = all;
            }
            return b_tuple_of_list(self, list.get());
        }
        Py_ssize_t extra = overflow_ ? PyList_GET_SIZE(overflow_.get()) : 0;
        Ref t = check(PyTuple_New(n_ + extra));
        for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(t.get(), i, inline_[i].release());
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyObject* item = PyList_GET_ITEM(overflow_.get(), i);
            Py_INCREF(item);
            PyTuple_SET_ITEM(t.get(), n_ + i, item);
        }
        return t;
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    Ref inline_[kInline];
    Py_ssize_t n_ = 0;
    Ref overflow_;
};

// `tuple(<generator over EpochName>)` with a shadowed `tuple`: the
// replacement gets a lazy generator, as the reference hands it one.
Ref shadowed_tuple(const FunctionObject& self, const char* qualname, LazyStep step,
                   std::initializer_list<PyObject*> extra) {
    Ref tuple = builtin(self, Builtin::tuple);
    Ref cls = load_global(self.globals, state(self).names.EpochName);
    Ref gen = lazy_generator(self, qualname, cls.get(), step, extra);
    return call(tuple.get(), {gen.get()});
}

// (epoch for epoch in it if epoch in valid)
Ref if_valid(const FunctionObject&, PyObject* epoch, PyObject* const* extra) {
    if (!check_status(PySequence_Contains(extra[0], epoch))) return {};
    return Ref::borrow(epoch);
}

// (epoch for epoch in it if epoch in valid and epoch.value.startswith(prefix_text))
Ref if_valid_with_prefix(const FunctionObject& self, PyObject* epoch, PyObject* const* extra) {
    if (!check_status(PySequence_Contains(extra[0], epoch))) return {};
    Ref value = getattr(epoch, state(self).names.value);
    Ref starts = call_method(value.get(), state(self).names.startswith, {extra[1]});
    if (!truthy(starts.get())) return {};
    return Ref::borrow(epoch);
}

// _standard_aggregation_epochs()
Ref standard_aggregation_epochs(FunctionObject& self, PyObject* const*) {
    Found valid = aggregation_epochs(self);
    if (!builtin_unchanged(self, Builtin::tuple))
        return shadowed_tuple(self, "_standard_aggregation_epochs", if_valid, {valid.get()});
    const State& st = state(self);
    Picked picked;
    for_each_epoch(self, [&](PyObject* epoch, int index) {
        if (epoch_in(st, valid.get(), epoch, index)) picked.add(epoch);
        return false;
    });
    return picked.to_tuple(self);
}

// _epoch_partition(prefix)
Ref epoch_partition(FunctionObject& self, PyObject* const* argv) {
    const Names& n = state(self).names;
    Ref shown = format_empty(argv[0]);
    Ref prefix_text = check(PyUnicode_Concat(shown.get(), n.underscore));
    Found valid = aggregation_epochs(self);
    if (!builtin_unchanged(self, Builtin::tuple))
        return shadowed_tuple(self, "_epoch_partition", if_valid_with_prefix, {valid.get(), prefix_text.get()});
    const State& st = state(self);
    Picked picked;
    for_each_epoch(self, [&](PyObject* epoch, int index) {
        if (!epoch_in(st, valid.get(), epoch, index)) return false;
        Ref value = value_of(self, epoch, index);
        bool starts;
        if (PyUnicode_CheckExact(value.get())) {
            starts = check_size(PyUnicode_Tailmatch(value.get(), prefix_text.get(), 0, PY_SSIZE_T_MAX, -1)) != 0;
        } else {
            Ref r = call_method(value.get(), n.startswith, {prefix_text.get()});
            starts = truthy(r.get());
        }
        if (starts) picked.add(epoch);
        return false;
    });
    return picked.to_tuple(self);
}

// str.isspace() for the ASCII range.
constexpr bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// _normalize_process_role(role): str(role or "").strip().lower().replace("_", "-")
Ref normalize_process_role(FunctionObject& self, PyObject* const* argv) {
    const Names& n = state(self).names;
    PyObject* role = truthy(argv[0]) ? argv[0] : n.empty;
    Ref text = b_str(self, role);
    if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get())) {
        // The three str methods in one pass; identical for ASCII text.
        const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(text.get()));
        Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text.get());
        while (begin < end && ascii_space(s[begin])) ++begin;
        while (end > begin && ascii_space(s[end - 1])) --end;
        Ref out = check(PyUnicode_New(end - begin, 127));
        auto* d = static_cast<unsigned char*>(PyUnicode_DATA(out.get()));
        for (Py_ssize_t i = begin; i < end; ++i) {
            unsigned char c = s[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
            else if (c == '_') c = '-';
            d[i - begin] = c;
        }
        return out;
    }
    text = call_method(text.get(), n.strip);
    text = call_method(text.get(), n.lower);
    return call_method(text.get(), n.replace, {n.underscore, n.hyphen});
}

Ref call_normalize(const FunctionObject& self, PyObject* value) {
    return call_declared(self, dep::normalize_process_role, kNormalizeProcessRole, {value});
}

// epochs_for_submission_type(submission_type)
Ref epochs_for_submission_type(FunctionObject& self, PyObject* const* argv) {
    const Names& n = state(self).names;
    Ref normalized = call_normalize(self, argv[0]);
    if (equals(normalized.get(), n.signal))
        return call_declared(self, dep::epoch_partition, kEpochPartition, {n.signal});
    if (equals(normalized.get(), n.strategy))
        return call_declared(self, dep::epoch_partition, kEpochPartition, {n.strategy});
    return unknown(self, n.unknown_type, argv[0]);
}

// epochs_for_process_role(role)
Ref epochs_for_process_role(FunctionObject& self, PyObject* const* argv) {
    const State& st = state(self);
    const Names& n = st.names;
    PyObject* role = argv[0];
    if (role == Py_None) return call_declared(self, dep::standard_aggregation_epochs, kStandardAggregationEpochs, {});
    Ref normalized = call_normalize(self, role);
    if (equals(normalized.get(), n.empty)) return unknown(self, n.unknown_role, role);
    if (in_list(normalized.get(), st.serving_roles.get()))
        return call_declared(self, dep::standard_aggregation_epochs, kStandardAggregationEpochs, {});
    if (in_list(normalized.get(), st.signal_roles.get()))
        return call_declared(self, dep::epochs_for_submission_type, kEpochsForSubmissionType, {n.signal});
    if (in_list(normalized.get(), st.strategy_roles.get()))
        return call_declared(self, dep::epochs_for_submission_type, kEpochsForSubmissionType, {n.strategy});

    Found valid = aggregation_epochs(self);
    Ref chosen;
    for_each_epoch(self, [&](PyObject* epoch, int index) {
        if (!epoch_in(st, valid.get(), epoch, index)) return false;
        // A member of the module's own class: its value's derived texts are made already.
        const bool known = index >= 0;
        Ref value = value_of(self, epoch, index);
        Ref epoch_role = known ? st.epochs.roles[index]
                         : PyUnicode_CheckExact(value.get())
                             ? check(PyUnicode_Replace(value.get(), n.underscore, n.hyphen, -1))
                             : call_method(value.get(), n.replace, {n.underscore, n.hyphen});
        if (equals(normalized.get(), epoch_role.get())) {
            chosen = Ref::borrow(epoch);
            return true;
        }
        Ref single;
        if (known) {
            single = st.epochs.single_roles[index];
        } else {
            Ref shown = format_empty(epoch_role.get());
            single = check(PyUnicode_Concat(shown.get(), n.only));
        }
        if (equals(normalized.get(), single.get())) {
            chosen = Ref::borrow(epoch);
            return true;
        }
        return false;
    });
    if (chosen) return check(PyTuple_Pack(1, chosen.get()));
    return unknown(self, n.unknown_role, role);
}

constexpr Param kPrefixParams[] = {{"prefix", "str"}};
constexpr Param kRoleParams[] = {{"role", "str | None"}};
constexpr Param kSubmissionParams[] = {{"submission_type", "str | None"}};
constexpr Param kRoleForProcessParams[] = {{"role", "str | None"}};

const FunctionDef kEpochsForProcessRole{"epochs_for_process_role", kRoleForProcessParams, "tuple[EpochName, ...]",
                                        epochs_for_process_role};

}  // namespace

const FunctionDef kStandardAggregationEpochs{
    "_standard_aggregation_epochs", {}, "tuple[EpochName, ...]", standard_aggregation_epochs};
const FunctionDef kEpochPartition{"_epoch_partition", kPrefixParams, "tuple[EpochName, ...]", epoch_partition};
const FunctionDef kNormalizeProcessRole{"_normalize_process_role", kRoleParams, "str", normalize_process_role};
const FunctionDef kEpochsForSubmissionType{"epochs_for_submission_type", kSubmissionParams, "tuple[EpochName, ...]",
                                           epochs_for_submission_type};

void bind_selection_functions(PyObject* module, State& state) {
    state.serving_roles = interned_tuple({"api", "api-server", "all", "all-serving", "server"});
    state.signal_roles = interned_tuple({"backtest", "correlation", "mi", "signal", "signal-backtest",
                                         "signal-correlation", "signal-mi", "signal-validation"});
    state.strategy_roles = interned_tuple({"strategy", "strategy-mi", "strategy-validation"});
    add_function(module, kStandardAggregationEpochs);
    add_function(module, kEpochPartition);
    add_function(module, kNormalizeProcessRole);
    add_function(module, kEpochsForSubmissionType);
    add_function(module, kEpochsForProcessRole);
}

}  // namespace roster
