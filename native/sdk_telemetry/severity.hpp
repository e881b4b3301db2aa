// `Severity`: an IntEnum made through the host's enum machinery at module load.
#pragma once

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

// Builds the class for `module` and makes it the one that coerce_severity uses
// (the latest load wins, so a reloaded module keeps working).
pyapi::Ref make_severity(PyObject* module);

// A member of Severity for `value`: a member itself, or anything Severity(value)
// accepts (30 gives Severity.WARN); the host's ValueError otherwise.
pyapi::Ref coerce_severity(PyObject* value);

}  // namespace sdk_telemetry
