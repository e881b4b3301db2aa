// vantorel.cycle_roster: shared declarations of the module's translation units.
#pragma once

#include "pyapi/pyapi.hpp"

namespace roster {

using pyapi::FunctionObject;
using pyapi::Ref;

inline constexpr int kEpochCount = 5;

// What the module body created, kept so that a call can tell whether the
// module's `EpochName` global is still that class and, if so, skip the
// enumeration's Python-level iteration and `value` lookups. A module that is
// imported afresh replaces it; functions of an older module object then simply
// take the general path.
struct EpochCache {
    PyObject* cls = nullptr;
    PyObject* members[kEpochCount] = {};
    PyObject* values[kEpochCount] = {};  // each member's value (an exact str)
    PyObject* by_value = nullptr;        // dict: value -> member

    void reset(PyObject* new_cls);  // releases the old entries, fills from new_cls
};
EpochCache& epoch_cache();

// Module body pieces, in the order they run.
Ref make_epoch_name(PyObject* module, PyObject* enum_base);
void bind_epoch_tables(PyObject* module);
void bind_selection_functions(PyObject* module);

extern const pyapi::FunctionDef kValidEpochsForCategory;
extern const pyapi::FunctionDef kStandardAggregationEpochs;
extern const pyapi::FunctionDef kEpochPartition;
extern const pyapi::FunctionDef kNormalizeProcessRole;
extern const pyapi::FunctionDef kEpochsForSubmissionType;

// `valid_epochs_for_category("aggregations")`, resolved as a module global.
Ref aggregation_epochs(const FunctionObject& self);

// Sets ValueError(opening + format(value, "") + "'"), no cause; returns an
// empty Ref for the body to return.
Ref unknown(const FunctionObject& self, const char* opening, PyObject* value);

}  // namespace roster
