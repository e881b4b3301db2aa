// NumPy's C API, shared by every translation unit of this module; the table is
// imported once by the module's exec slot (module.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vantorel_logarithmic_ARRAY_API
#ifndef LOGARITHMIC_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
