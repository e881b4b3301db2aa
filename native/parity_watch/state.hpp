// The state of one vantorel._parity_watch module object: its interned names,
// the host objects its body bound, the memo of its global reads and the
// caches of its Mapping tests. The function definitions' identity drives the
// direct-call fast path of late-bound globals.
#pragma once

#include <cstdint>

#include "canonical_json.hpp"
#include "pyapi/pyapi.hpp"

namespace parity_watch {

using pyapi::FunctionDef;
using pyapi::FunctionObject;
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

// The name list, laid out by hand.
// clang-format off
#define PW_NAMES(X) \
    /* module globals and imported attributes */ \
    X(Mapping) X(json) X(dumps) X(hashlib) X(sha256) X(hexdigest) X(time) X(time_ns) X(property) \
    X(JSONEncoder) X(c_make_encoder) X(encode_basestring_ascii) X(json_safe, "_json_safe") \
    X(bounded_text, "_bounded_text") X(projection_hash) X(projection_version, "_projection_version") \
    X(projection_shape_axes, "_projection_shape_axes") X(projection_mismatch_reason) X(tags, "_tags") \
    X(str) X(PARENT_HOME, "_PARENT_HOME") X(DEFAULT_TELEMETRY, "_DEFAULT_TELEMETRY") \
    X(default_parity_watch) X(record_projection_mismatch) X(SimulationContractSdkTelemetry) \
    X(TelemetryRuntime) X(Severity) X(WARN) X(CALL_SITE_NAME, "_CALL_SITE_NAME") \
    X(TAG_KEYS, "_TAG_KEYS") X(dunder_file, "__file__") \
    /* attributes and methods */ \
    X(get) X(items) X(keys) X(lower) X(encode) X(runtime) X(warn) X(register_call_site) \
    X(clock_ns_attr, "_clock_ns") X(site_attr, "_projection_mismatch_site") X(dropped_count) \
    X(snapshot_anomalies) X(drain_anomalies) \
    /* keyword names */ \
    X(component) X(lanes) X(ring_capacity) X(name) X(description) X(message_template) X(value_unit) \
    X(severity_default) X(file) X(line) X(tag_keys) X(epoch_ns) X(reason) X(severity) \
    X(tags_key, "tags") X(data) X(projection) X(reason_code) X(mismatches) X(sort_keys) X(separators) \
    X(default_, "default") \
    /* mapping keys */ \
    X(version) X(schema_version) X(projection_version_key, "projection_version") X(shape_fields) \
    X(shape_key) X(market_id) X(era_id) X(era_number) X(slot_id) X(parent_home) X(consumer) X(decision) \
    X(surface) \
    /* texts */ \
    X(invalid_projection) X(market_era_mismatch) X(shape_mismatch) X(projection_mismatch) X(none) \
    X(unspecified) X(unknown) X(mismatch) X(sdk_runtime) X(vantorel_sdk) \
    X(simulation_data_contract_projection) X(space, " ") X(semicolon, "; ") X(ellipsis, "...") \
    X(utf_8, "utf-8") \
    X(site_description, "Vantorel SDK observed a local/server simulation-contract projection mismatch.") \
    X(site_template, "simulation contract projection mismatch reason={reason_code} " \
                     "market={market_id} era={era_number} hash={projection_hash}")
// clang-format on
PYAPI_NAMES(Names, PW_NAMES)
#undef PW_NAMES

// The host objects bound by this module's body. The projection hash takes its
// native road only while the module's globals still hold them.
// `encoder_module` is json.encoder; `c_make_encoder` and `abc_cache_token`
// (_abc.get_cache_token) are empty where the host lacks them.
struct Originals {
    Ref Mapping, json, dumps, JSONEncoder, encoder_module, c_make_encoder, encode_basestring_ascii;
    Ref hashlib, sha256, abc_cache_token;
};

// Names read from one dict since its last change (globals.cpp).
struct DictMemo {
    static constexpr int kSlotBits = 7;
    PyObject* dict = nullptr;  // not owned: identified by address and version tag
    std::uint64_t version = 0;
    struct Slot {
        PyObject* name;
        PyObject* value;  // borrowed from the dict, valid while its version holds
    } slots[1 << kSlotBits] = {};
};

// Whether the exact built-in types list, tuple, str, int, float, bool and
// NoneType are Mappings, per ABC cache token (values.cpp).
struct MappingAnswers {
    signed char answers[7] = {-1, -1, -1, -1, -1, -1, -1};
    unsigned long long token = 0;
    bool token_known = false;
};

struct State : pyapi::ModuleState {
    Names names;
    Originals originals;
    // The module's namespace, json, json.encoder and hashlib: four dicts in turn.
    DictMemo memos[4];
    int next_memo = 0;
    MappingAnswers mapping_answers;
    HashScratch hash_scratch;

    // Keyword-name tuples of the calls the module makes.
    Ref runtime_kw;  // TelemetryRuntime(component=, lanes=, ring_capacity=)
    Ref site_kw;     // register_call_site(name=, ..., tag_keys=)
    Ref warn_kw;     // warn(site, 1.0, epoch_ns=, reason=, tags=, severity=)
    Ref tags_kw;     // _tags(data=, projection=, reason_code=)
    Ref record_kw;   // record_projection_mismatch(data=, projection=, mismatches=, epoch_ns=)
    Ref dumps_kw;    // json.dumps(value, sort_keys=, separators=, default=)
    // Constants of the module's source.
    Ref one, ring_capacity, site_line, one_float, three, first16, json_separators;
    Ref list_tuple_types, scalar_types;  // (list, tuple), (str, int, float, bool)
    Ref tags_template;                   // _tags' dict display, its constant entries filled

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        Originals& o = originals;
        for (Ref* r : {&o.Mapping,
                       &o.json,
                       &o.dumps,
                       &o.JSONEncoder,
                       &o.encoder_module,
                       &o.c_make_encoder,
                       &o.encode_basestring_ascii,
                       &o.hashlib,
                       &o.sha256,
                       &o.abc_cache_token,
                       &runtime_kw,
                       &site_kw,
                       &warn_kw,
                       &tags_kw,
                       &record_kw,
                       &dumps_kw,
                       &one,
                       &ring_capacity,
                       &site_line,
                       &one_float,
                       &three,
                       &first16,
                       &json_separators,
                       &list_tuple_types,
                       &scalar_types,
                       &tags_template})
            f(*r);
    }
};

inline State& state(const FunctionObject& f) { return pyapi::state_of<State>(f); }

// Module body pieces (module.cpp runs them in source order).
void init_state(PyObject* module, State& state);
void capture_originals(PyObject* module, State& state);
Ref make_telemetry_class(PyObject* module, State& state);

// ------------------------------------------------------------- global reads
// Every read happens at the moment of use, answered from a memo while the
// dict's version tag is unchanged: a record reads some thirty globals, and a
// dict lookup each would cost more than the rest of its work.

// The value bound to `name` in `dict` right now (borrowed), or nullptr when
// absent (no error set); only a failing lookup raises.
PyObject* dict_read(State& st, PyObject* dict, PyObject* name);
// A module global of the calling function: its globals, then builtins, else
// the host's NameError.
Ref read_global(const FunctionObject& fn, PyObject* name);
// getattr(obj, name); a plain module answers from its dict (no caller code).
Ref module_attr(State& st, PyObject* obj, PyObject* name);

// isinstance(value, Mapping) with `Mapping` read from the module globals now.
bool is_mapping(const FunctionObject& fn, PyObject* value);
// isinstance(value, (list, tuple)), the three names read now
bool is_list_or_tuple(const FunctionObject& fn, PyObject* value);

}  // namespace parity_watch
