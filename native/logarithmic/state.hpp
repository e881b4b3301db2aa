// The objects the module body bound at import, kept so that a call can tell
// whether the module's globals (and what they hold) are still the originals:
// only then may the native kernels stand in for the Python-level steps.
#pragma once

#include "pyapi/pyapi.hpp"

namespace logarithmic {

enum class Kind { Product, GeoMean };

// Interned names used by both paths.
struct Names {
    PyObject *np, *math, *shape, *full, *nan, *float64, *window, *range, *max, *isnan, *isinf,
        *sum, *prod, *any, *log, *abs, *exp, *size, *dtype, *geterr;
};
const Names& names();

struct Originals {
    PyObject* numpy = nullptr;
    PyObject* math = nullptr;
    // numpy attributes, in the order of kNumpyAttrs (state.cpp)
    PyObject* np_attr[9] = {};
    // math attributes: nan, isnan, isinf, exp
    PyObject* math_attr[4] = {};
    PyObject* range = nullptr;
    PyObject* max = nullptr;
};

// Records the originals; called by the module body after its imports.
void remember_originals(PyObject* module);

// True when the globals seen by `globals` still hold the imported `np` and
// `math` with the attributes the per-cell steps use, and `range`/`max` are the
// builtins. Looks names up without side effects (dict reads only).
bool globals_are_original(PyObject* globals);

const Originals& originals();

}  // namespace logarithmic
