// vantorel.cycle_roster: the module body.
#include <atomic>

#include "pyapi/interpreter_compat.hpp"
#include "roster.hpp"

namespace {

const char kDoc[] =
    "Lightweight epoch-name helpers shared by storage and era config.\n"
    "\n"
    "This module intentionally avoids importing ``vantorel.era_config``. Data/control\n"
    "plane services need epoch validation for path layout without pulling in the\n"
    "full simulator-engine and era-data-vault import surface.\n";

void exec(PyObject* module, roster::State& state) {
    using namespace pyapi;
    // from enum import Enum
    Ref enum_module = import_module("enum");
    Ref enum_name = intern("Enum");
    Ref enum_base = import_from(enum_module.get(), enum_name.get());
    setattr(module, enum_name.get(), enum_base.get());

    Ref epoch_name = roster::make_epoch_name(module, enum_base.get());
    // Every call hands the members and category sets out, on any thread.
    // Before the class is reachable from the module: no other thread holds a
    // member while it is made immortal.
    static std::atomic<bool> taken{false};
    state.immortal = immortal_for_module(taken);
    state.epochs.fill(epoch_name.get(), state.immortal);
    setattr(module, state.names.EpochName, epoch_name.get());

    roster::bind_epoch_tables(module, state);
    roster::bind_selection_functions(module, state);
}

}  // namespace

PYAPI_MODULE(cycle_roster, "vantorel.cycle_roster", kDoc, roster::State, exec)
