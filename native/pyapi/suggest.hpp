// "Did you mean ...?" for an unexpected keyword argument, as the running
// interpreter words it (3.13 and later; earlier versions give no suggestion).
#pragma once

#include "ref.hpp"

namespace pyapi {

// The parameter name closest to `key`, or an empty Ref.
Ref keyword_suggestion(PyObject* varnames, PyObject* key);

}  // namespace pyapi
