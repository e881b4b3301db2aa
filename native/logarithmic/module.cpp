// vantorel.functions.rotations.batch_references.longitudinal.logarithmic
#include "pyapi/pyapi.hpp"

namespace {
const char kDoc[] =
    "Batch reference implementations for logarithmic rotations.\n"
    "\n"
    "Extracted from vantorel/functions/rotations/longitudinal/logarithmic.\n"
    "Each reference evaluates every cell afresh from its own trailing window.\n"
    "\n"
    "NaN doctrine (T-NAN-LOG, longitudinal_nan_semantic.md):\n"
    "- Output NaN if any NaN/inf in window (matches streaming nobs >= W gate).\n"
    "- Output NaN if current x is NaN/inf or current x <= 0 (matches streaming\n"
    "  current-x strict gate).\n"
    "- Otherwise: 0 if any past zero in window; else sign * product (or\n"
    "  geo_mean = product ** (1/nobs)).\n";
void exec(PyObject*) {}
}  // namespace

PYAPI_MODULE(logarithmic, "vantorel.functions.rotations.batch_references.longitudinal.logarithmic",
             kDoc, exec)
