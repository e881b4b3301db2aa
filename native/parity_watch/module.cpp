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
        Ref value = pyapi::import_from(source.get(), pyapi::intern(name));
        bind(module, name, value.get());
    }
}

void exec(PyObject* module) {
    pyapi::ready_function_type();
    for (const char* name : {"hashlib", "json", "time"}) {
        Ref m = pyapi::import_module(name);
        bind(module, name, m.get());
    }
    import_names(module, "collections.abc", {"Mapping"});
    import_names(module, "typing", {"Any"});
    import_names(module, "vantorel._sdk_telemetry", {"AnomalyRecord", "Severity", "TelemetryRuntime"});

    Ref tag_keys = pyapi::check(Py_BuildValue(
        "(ssssssssss)", "slot_id", "parent_home", "market_id", "era_number", "reason_code",
        "projection_version", "projection_hash", "consumer", "decision", "surface"));
    bind(module, "_TAG_KEYS", tag_keys.get());
    Ref parent_home = pyapi::new_str("src.data_platform.era_data_vault.simulation_data_contract");
    bind(module, "_PARENT_HOME", parent_home.get());
    Ref site_name = pyapi::new_str("simulation_contract.projection_mismatch");
    bind(module, "_CALL_SITE_NAME", site_name.get());

    Ref cls = make_telemetry_class(module);
    bind(module, "SimulationContractSdkTelemetry", cls.get());
    bind(module, "_DEFAULT_TELEMETRY", Py_None);

    Ref none_default = pyapi::check(PyTuple_Pack(1, Py_None));
    Ref record_kwdefaults = pyapi::check(PyDict_New());
    pyapi::check_status(PyDict_SetItemString(record_kwdefaults.get(), "epoch_ns", Py_None));
    Ref bound_default = pyapi::check(Py_BuildValue("(i)", 96));

    pyapi::add_function(module, kDefaultParityWatch);
    pyapi::add_function(module, kConfigureParityWatch, none_default.get());
    pyapi::add_function(module, kRecordProjectionMismatch, nullptr, record_kwdefaults.get());
    pyapi::add_function(module, kProjectionMismatchReason);
    pyapi::add_function(module, kProjectionHash);
    pyapi::add_function(module, kTags);
    pyapi::add_function(module, kProjectionShapeAxes);
    pyapi::add_function(module, kProjectionVersion);
    pyapi::add_function(module, kJsonSafe);
    pyapi::add_function(module, kBoundedText, bound_default.get());

    Ref all = pyapi::check(Py_BuildValue("[ssssss]", "SimulationContractSdkTelemetry",
                                         "configure_parity_watch", "default_parity_watch",
                                         "projection_hash", "projection_mismatch_reason",
                                         "record_projection_mismatch"));
    bind(module, "__all__", all.get());
    capture_originals(module);
}

}  // namespace
}  // namespace parity_watch

PYAPI_MODULE(_parity_watch, "vantorel._parity_watch", parity_watch::kDoc, parity_watch::exec)
