// vantorel.cycle_roster: shared declarations of the module's translation units.
#pragma once

#include "pyapi/pyapi.hpp"

namespace roster {

using pyapi::FunctionObject;
using pyapi::Ref;

inline constexpr int kEpochCount = 5;

// The name list, laid out by hand.
// clang-format off
#define ROSTER_NAMES(X) \
    X(EpochName) X(value) X(startswith) X(strip) X(lower) X(replace) X(signal) X(strategy) \
    X(aggregations) X(underscore, "_") X(hyphen, "-") X(only, "-only") X(empty, "") \
    X(epochs_by_category, "_VALID_EPOCHS_BY_CATEGORY") X(qualname, "__qualname__") \
    X(quote, "'") X(not_valid, " is not a valid ") X(unknown_epoch, "Unknown epoch '") \
    X(unknown_role, "Unknown process role '") X(unknown_type, "Unknown submission type '")
// clang-format on
PYAPI_NAMES(Names, ROSTER_NAMES)

// What the module's shortcuts depend on (pyapi/guards.hpp): while the
// `EpochName` global is still the class the body made, a call walks the
// members below instead of the enumeration's Python-level iteration and
// `value` lookups; while the category table is the dict the body made, a
// lookup reads it without a global lookup first; while an entry of it is
// still the body's set, asking for that category by the very key the table
// holds (an interned literal) gives that set without a lookup, and the
// aggregation epochs are known the same way.
namespace dep {
enum Id : unsigned {
    EpochName = pyapi::kBuiltinCount,
    VALID_EPOCHS_BY_CATEGORY,
    aggregations_entry,
    features_entry,
    signals_entry,
    universes_entry,
    strategies_entry,
    valid_epochs_for_category,
    standard_aggregation_epochs,
    epoch_partition,
    normalize_process_role,
    epochs_for_submission_type,
};
}  // namespace dep
// The module's functions reach one another through their globals: while one
// still finds ours, its body is entered directly (pyapi::call_declared).
inline constexpr pyapi::Dependency kDependencies[] = {
    {dep::EpochName, pyapi::DepKind::global, "EpochName"},
    {dep::VALID_EPOCHS_BY_CATEGORY, pyapi::DepKind::global, "_VALID_EPOCHS_BY_CATEGORY"},
    {dep::aggregations_entry, pyapi::DepKind::entry, "aggregations", dep::VALID_EPOCHS_BY_CATEGORY},
    {dep::features_entry, pyapi::DepKind::entry, "features", dep::VALID_EPOCHS_BY_CATEGORY},
    {dep::signals_entry, pyapi::DepKind::entry, "signals", dep::VALID_EPOCHS_BY_CATEGORY},
    {dep::universes_entry, pyapi::DepKind::entry, "universes", dep::VALID_EPOCHS_BY_CATEGORY},
    {dep::strategies_entry, pyapi::DepKind::entry, "strategies", dep::VALID_EPOCHS_BY_CATEGORY},
    {dep::valid_epochs_for_category, pyapi::DepKind::global, "valid_epochs_for_category"},
    {dep::standard_aggregation_epochs, pyapi::DepKind::global, "_standard_aggregation_epochs"},
    {dep::epoch_partition, pyapi::DepKind::global, "_epoch_partition"},
    {dep::normalize_process_role, pyapi::DepKind::global, "_normalize_process_role"},
    {dep::epochs_for_submission_type, pyapi::DepKind::global, "epochs_for_submission_type"},
};
static_assert(pyapi::well_numbered(kDependencies, pyapi::kBuiltinCount));

// The members of the class the module body made, in definition order.
// Filled by the module body and never changed after, so any thread reads
// them without a lock; a call takes them only while the guards say the
// `EpochName` global is still that class.
struct EpochMembers {
    Ref members[kEpochCount];
    Ref values[kEpochCount];  // each member's value (an exact str)
    // What epochs_for_process_role derives from each value: value.replace("_", "-")
    // and f"{that}-only" (exact strs, only compared with, so made once).
    Ref roles[kEpochCount];
    Ref single_roles[kEpochCount];
    Ref by_value;  // dict: value -> member (private: no caller reaches it)

    void fill(PyObject* cls, bool immortal);
};

struct State : pyapi::ModuleState {
    Names names;
    EpochMembers epochs;
    Ref serving_roles, signal_roles, strategy_roles;  // tuples of role texts
    // The set the body made for "aggregations" and which members (bit i:
    // members[i]) it holds; frozen, so the answer stays while the members
    // hash and compare as str does.
    Ref standard;
    unsigned standard_members = 0;
    // Whether EpochName's metaclass leaves isinstance() to the host's test.
    mutable pyapi::PlainInstanceCheck plain_instancecheck;
    // Whether the members and the category sets were made immortal (see exec).
    bool immortal = false;

    static std::span<const pyapi::Dependency> dependencies() { return kDependencies; }
    // The class the module body made (its `EpochName` when sealed).
    PyObject* epoch_class() const noexcept { return guards.original(dep::EpochName); }

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        f(epochs.by_value);
        for (Ref& r : epochs.members) f(r);
        for (Ref& r : epochs.values) f(r);
        for (Ref& r : epochs.roles) f(r);
        for (Ref& r : epochs.single_roles) f(r);
        f(serving_roles);
        f(signal_roles);
        f(strategy_roles);
        f(standard);
    }
};

inline State& state(const FunctionObject& f) { return pyapi::state_of<State>(f); }

// Module body pieces, in the order they run.
Ref make_epoch_name(PyObject* module, PyObject* enum_base);
void bind_epoch_tables(PyObject* module, State& state);
void bind_selection_functions(PyObject* module, State& state);

extern const pyapi::FunctionDef kValidEpochsForCategory;
extern const pyapi::FunctionDef kStandardAggregationEpochs;
extern const pyapi::FunctionDef kEpochPartition;
extern const pyapi::FunctionDef kNormalizeProcessRole;
extern const pyapi::FunctionDef kEpochsForSubmissionType;

// `valid_epochs_for_category("aggregations")`, resolved as a module global;
// borrowed while that call would find the body's own set.
pyapi::Found aggregation_epochs(const FunctionObject& self);

// `epoch in valid`; `index`: the epoch's position among the module's own
// members, or -1 (as for_each_epoch passes it).
bool epoch_in(const State& st, PyObject* valid, PyObject* epoch, int index);

// Sets ValueError(opening + format(value, "") + "'"), no cause; returns an
// empty Ref for the body to return.
Ref unknown(const FunctionObject& self, PyObject* opening, PyObject* value);

}  // namespace roster
