// `AnomalyRecord`: one immutable record of a `warn` call.
#pragma once

#include <cstdint>

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

struct AnomalyRecordObject {
    PyObject_HEAD
    PyObject* component;  // exact str: the runtime's component
    PyObject* call_site;  // exact str: the call site's name
    PyObject* severity;   // Severity member
    double value;
    long long epoch_ns;
    PyObject* reason;   // exact str
    PyObject* message;  // exact str: the template filled from the tags
    PyObject* tags;     // dict of exact str to exact str, never handed out itself
    std::uint64_t sequence;  // the runtime's insertion number; set before the record is shared
};

struct State;

struct RecordFields {
    pyapi::Ref component, call_site, severity;
    double value;
    long long epoch_ns;
    pyapi::Ref reason, message, tags;
};

// A new record (sequence 0) of `state`'s module, taking the references in `f`.
AnomalyRecordObject* new_anomaly_record(State& state, RecordFields&& f);

}  // namespace sdk_telemetry
