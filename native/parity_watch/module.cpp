// vantorel._parity_watch: projection-mismatch telemetry. The module body, run
// in the order a Python module body runs its statements.
#include "state.hpp"

namespace parity_watch {
namespace {

const char kDoc[] = "SDK-local telemetry for simulation-contract projection mismatches.";

void bind(PyObject* module, const char* name, PyObject* value) {
    pyapi::check_status(PyObject_SetAttrString(module, name, value));
}

void import_names(PyObject* module, const char* from, std::initializer_list<const char*> names) {
    // `from <from> import a, b`: the leaf module itself, then each name.
    Ref source = pyapi::import_module(from);
    for (const char* name : names) {
        Ref value = pyapi::import_from(source.get(), pyapi::intern(name).get());
        bind(module, name, value.get());
    }
}

void exec(PyObject* module, State& state) {
    init_state(module, state);
    for (const char* name : {"hashlib", "json", "time"}) {
        Ref m = pyapi::import_module(name);
        bind(module, name, m.get());
    }
    import_names(module, "collections.abc", {"Mapping"});
    import_names(module, "typing", {"Any"});
    import_names(module, "vantorel._sdk_telemetry", {"AnomalyRecord", "Severity", "TelemetryRuntime"});

    // The body's string constants are interned, as a code object's are: every
    // record and tag set holds them, and a free-threaded build's interned
    // strings are immortal, so threads recording at once do not count them.
    Ref tag_keys = pyapi::interned_tuple({"slot_id", "parent_home", "market_id", "era_number", "reason_code",
                                          "projection_version", "projection_hash", "consumer", "decision", "surface"});
    bind(module, "_TAG_KEYS", tag_keys.get());
    Ref parent_home = pyapi::intern("src.data_platform.era_data_vault.simulation_data_contract");
    bind(module, "_PARENT_HOME", parent_home.get());
    Ref site_name = pyapi::intern("simulation_contract.projection_mismatch");
    bind(module, "_CALL_SITE_NAME", site_name.get());

    Ref cls = make_telemetry_class(module, state);
    bind(module, "SimulationContractSdkTelemetry", cls.get());
    bind(module, "_DEFAULT_TELEMETRY", Py_None);

    for (const FunctionDef* def :
         {&kDefaultParityWatch, &kConfigureParityWatch, &kRecordProjectionMismatch, &kProjectionMismatchReason,
          &kProjectionHash, &kTags, &kProjectionShapeAxes, &kProjectionVersion, &kJsonSafe, &kBoundedText})
        pyapi::add_function(module, *def);

    Ref all = pyapi::check(Py_BuildValue("[ssssss]", "SimulationContractSdkTelemetry", "configure_parity_watch",
                                         "default_parity_watch", "projection_hash", "projection_mismatch_reason",
                                         "record_projection_mismatch"));
    bind(module, "__all__", all.get());
    keep_host_helpers(state);
}

}  // namespace
}  // namespace parity_watch

PYAPI_MODULE(_parity_watch, "vantorel._parity_watch", parity_watch::kDoc, parity_watch::State, parity_watch::exec)
