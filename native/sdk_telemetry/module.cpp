// vantorel._sdk_telemetry: the SDK's in-process telemetry runtime.
#include "anomaly_record.hpp"
#include "call_site.hpp"
#include "pyapi/pyapi.hpp"
#include "runtime.hpp"
#include "severity.hpp"

namespace {

const char kDoc[] =
    "In-process telemetry runtime of the vantorel SDK: call sites, bounded anomaly rings.";

void add(PyObject* module, const char* name, PyObject* value) {
    pyapi::check_status(PyModule_AddObjectRef(module, name, value));
}

void exec(PyObject* module) {
    using namespace sdk_telemetry;
    ready_call_site_type();
    ready_anomaly_record_type();
    ready_runtime_type();
    pyapi::Ref severity = make_severity(module);
    add(module, "Severity", severity.get());
    add(module, "CallSite", reinterpret_cast<PyObject*>(&CallSiteType));
    add(module, "AnomalyRecord", reinterpret_cast<PyObject*>(&AnomalyRecordType));
    add(module, "TelemetryRuntime", reinterpret_cast<PyObject*>(&TelemetryRuntimeType));
    pyapi::Ref all = pyapi::check(
        Py_BuildValue("[ssss]", "AnomalyRecord", "CallSite", "Severity", "TelemetryRuntime"));
    add(module, "__all__", all.get());
}

}  // namespace

PYAPI_MODULE(_sdk_telemetry, "vantorel._sdk_telemetry", kDoc, exec)
