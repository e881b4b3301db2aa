// vantorel.functions.rotations.batch_references.longitudinal.logarithmic
#define LOGARITHMIC_IMPORTS_NUMPY
#include "numpy_api.hpp"

#include "pyapi/pyapi.hpp"
#include "reference.hpp"

namespace {

using logarithmic::Kind;
using pyapi::Ref;

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

constexpr pyapi::Param kParams[] = {{"instance"}, {"data"}};

template <Kind K>
constexpr pyapi::FunctionDef def(const char* name, const char* summary) {
    auto body = [](pyapi::FunctionObject& self, PyObject* const* argv) {
        return logarithmic::run_reference(self, K, argv[0], argv[1]);
    };
    return {.name = name, .params = kParams, .return_annotation = nullptr, .body = body, .summary = summary};
}

const pyapi::FunctionDef kProduct =
    def<Kind::Product>("longitudinal_logarithmic_694eff_batch_reference",
                       "Non-streaming ground truth for longitudinal_logarithmic_694eff.");
const pyapi::FunctionDef kGeoMean =
    def<Kind::GeoMean>("longitudinal_logarithmic_665270_batch_reference",
                       "Non-streaming ground truth for longitudinal_logarithmic_665270.");

// The module body: `import math`, `import numpy as np`, then the two functions.
// Where NumPy refuses the interpreter (one with its own GIL), its ImportError
// is the import's.
void exec(PyObject* m, logarithmic::State& state) {
    Ref math = pyapi::import_module("math");
    pyapi::setattr(m, state.names.math, math.get());
    Ref np = pyapi::import_module("numpy");
    pyapi::setattr(m, state.names.np, np.get());
    if (PyArray_ImportNumPyAPI() < 0) pyapi::raise();
    logarithmic::init_constants(state);
    pyapi::add_function(m, kProduct);
    pyapi::add_function(m, kGeoMean);
}

}  // namespace

PYAPI_MODULE(logarithmic, "vantorel.functions.rotations.batch_references.longitudinal.logarithmic", kDoc,
             logarithmic::State, exec)
