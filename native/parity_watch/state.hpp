// Shared pieces of vantorel._parity_watch: interned names, the function definitions
// (whose identity drives the direct-call fast path of late-bound globals) and
// the host objects the module body bound at import.
#pragma once

#include "pyapi/pyapi.hpp"

// An interned str made once per use site and kept for the process.
#define PW_NAME(text)                                                \
    ([]() -> PyObject* {                                             \
        static PyObject* const cached_name = ::pyapi::intern(text); \
        return cached_name;                                          \
    }())

namespace parity_watch {

using pyapi::FunctionObject;
using pyapi::FunctionDef;
using pyapi::Ref;

// Module functions, defined in their own files.
extern const FunctionDef kDefaultParityWatch;
extern const FunctionDef kConfigureParityWatch;
extern const FunctionDef kRecordProjectionMismatch;
extern const FunctionDef kProjectionMismatchReason;
extern const FunctionDef kProjectionHash;
extern const FunctionDef kTags;
extern const FunctionDef kProjectionShapeAxes;
extern const FunctionDef kProjectionVersion;
extern const FunctionDef kJsonSafe;
extern const FunctionDef kBoundedText;

// Makes the class SimulationContractSdkTelemetry (module body step 5).
Ref make_telemetry_class(PyObject* module);

// Interned names used across files.
struct Names {
    PyObject* Mapping;
    PyObject* json;
    PyObject* dumps;
    PyObject* hashlib;
    PyObject* sha256;
    PyObject* hexdigest;
    PyObject* json_safe;
    PyObject* bounded_text;
    PyObject* projection_hash;
    PyObject* projection_version;
    PyObject* projection_shape_axes;
    PyObject* projection_mismatch_reason;
    PyObject* tags;
    PyObject* get;
    PyObject* items;
    PyObject* keys;
    PyObject* str;
    PyObject* PARENT_HOME;
    PyObject* DEFAULT_TELEMETRY;
    PyObject* default_parity_watch;
    PyObject* record_projection_mismatch;
    PyObject* SimulationContractSdkTelemetry;
    PyObject* TelemetryRuntime;
    PyObject* Severity;
    PyObject* WARN;
    PyObject* runtime;
    PyObject* warn;
    PyObject* clock_ns_attr;
    PyObject* site_attr;
    PyObject* register_call_site;
    PyObject* CALL_SITE_NAME;
    PyObject* TAG_KEYS;
    PyObject* file;
    PyObject* dropped_count;
    PyObject* snapshot_anomalies;
    PyObject* drain_anomalies;
    PyObject* JSONEncoder;
    PyObject* encoder;
    PyObject* c_make_encoder;
    PyObject* encode_basestring_ascii;
};
const Names& names();

// The host objects bound by the module body at its last run. The projection
// hash takes its native road only while the module's globals still hold them.
struct Originals {
    Ref Mapping;
    Ref json;
    Ref dumps;
    Ref JSONEncoder;
    Ref encoder_module;  // json.encoder
    Ref c_make_encoder;
    Ref encode_basestring_ascii;
    Ref hashlib;
    Ref sha256;
    Ref abc_cache_token;  // _abc.get_cache_token, or empty
};
Originals& originals();
void capture_originals(PyObject* module);

// isinstance(value, Mapping) with `Mapping` read from the module globals now.
bool is_mapping(const FunctionObject& fn, PyObject* value);
// isinstance(value, (list, tuple)), the three names read now
bool is_list_or_tuple(const FunctionObject& fn, PyObject* value);

}  // namespace parity_watch
