// vantorel._sdk_telemetry: the SDK's in-process telemetry runtime.
#include "pyapi/pyapi.hpp"

namespace {
const char kDoc[] = "In-process telemetry runtime of the vantorel SDK: call sites, bounded anomaly rings.";
void exec(PyObject*) {}
}  // namespace

PYAPI_MODULE(_sdk_telemetry, "vantorel._sdk_telemetry", kDoc, exec)
