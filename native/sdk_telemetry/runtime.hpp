// `TelemetryRuntime`: call-site registration and bounded anomaly rings.
#pragma once

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

extern PyTypeObject TelemetryRuntimeType;

void ready_runtime_type();

}  // namespace sdk_telemetry
