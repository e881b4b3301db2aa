// vantorel._parity_watch: projection-mismatch telemetry.
#include "pyapi/pyapi.hpp"

namespace {
const char kDoc[] = "SDK-local telemetry for simulation-contract projection mismatches.";
void exec(PyObject*) {}
}  // namespace

PYAPI_MODULE(_parity_watch, "vantorel._parity_watch", kDoc, exec)
