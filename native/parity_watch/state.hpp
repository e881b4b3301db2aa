// The state of one vantorel._parity_watch module object: its interned names,
// the table of what its shortcuts depend on and the caches of its Mapping
// tests. The function definitions' identity drives the
// direct-call fast path of late-bound globals.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "canonical_json.hpp"
#include "pyapi/pyapi.hpp"

namespace parity_watch {

using pyapi::Found;
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

// What the module's shortcuts depend on (pyapi/guards.hpp), each the object
// the module body bound: while they hold, a record reads no global in full,
// and the projection hash takes its native road (its own walk, canonical
// writer and SHA-256) only while `json.dumps`, the encoder machinery it
// reaches and `hashlib.sha256` are the library's own.
namespace dep {
enum Id : unsigned {
    Mapping = pyapi::kBuiltinCount,
    json,
    dumps,
    JSONEncoder,
    encoder_module,  // json.encoder, whose globals JSONEncoder reaches
    c_make_encoder,
    encode_basestring_ascii,
    hashlib,
    sha256,
    json_safe,
    bounded_text,
    TelemetryRuntime,
    Severity,
    CALL_SITE_NAME,
    file,
    TAG_KEYS,
    PARENT_HOME,
    telemetry_class,
    // The module's own functions, as they reach one another (pyapi::call_declared).
    projection_version_fn,
    projection_hash_fn,
    projection_shape_axes_fn,
    projection_mismatch_reason_fn,
    tags_fn,
    default_parity_watch_fn,
    end
};
}  // namespace dep
extern const pyapi::Dependency kDependencies[dep::end - dep::Mapping];

// Whether the exact built-in types list, tuple, str, int, float, bool and
// NoneType are Mappings, per ABC cache token (values.cpp). Every call reads
// and fills it, on any thread: the token and the seven answers share one
// atomic word, so an answer is never read under a token it was not asked
// under. Bits 0-13 hold two bits per type (0 unknown, 1 no, 2 yes), bit 14
// says a token is set, the token takes the bits from 16 on; a token too large
// for them (never seen: it counts ABC registrations) is not cached.
class MappingAnswers {
public:
    static constexpr unsigned long long kMaxToken = (1ULL << 48) - 1;

    // Makes `token` the word's token unless a later one is there already:
    // its answers start unknown.
    void use_token(unsigned long long token) noexcept {
        if (token > kMaxToken) return;
        std::uint64_t w = word_.load(std::memory_order_acquire);
        while (!(w & kKnown) || (w >> kTokenShift) < token) {
            if (word_.compare_exchange_weak(w, kKnown | (std::uint64_t(token) << kTokenShift),
                                            std::memory_order_acq_rel))
                return;
        }
    }
    // -1 (unknown), 0 or 1 for type `index` under `token`.
    int get(unsigned long long token, int index) const noexcept {
        const std::uint64_t w = word_.load(std::memory_order_acquire);
        if (!(w & kKnown) || (w >> kTokenShift) != token) return -1;
        return static_cast<int>((w >> (2 * index)) & 3u) - 1;
    }
    // Keeps `answer` for type `index` while `token` is still the word's token.
    void put(unsigned long long token, int index, bool answer) noexcept {
        std::uint64_t w = word_.load(std::memory_order_acquire);
        while ((w & kKnown) && (w >> kTokenShift) == token) {
            const std::uint64_t set = (w & ~(std::uint64_t(3) << (2 * index))) |
                                      (std::uint64_t(answer ? 2 : 1) << (2 * index));
            if (word_.compare_exchange_weak(w, set, std::memory_order_acq_rel)) return;
        }
    }

private:
    static constexpr std::uint64_t kKnown = std::uint64_t(1) << 14;
    static constexpr int kTokenShift = 16;
    std::atomic<std::uint64_t> word_{0};
};

struct State : pyapi::ModuleState {
    Names names;
    Ref abc_cache_token;  // _abc.get_cache_token, empty where the host lacks it
    MappingAnswers mapping_answers;

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

    static std::span<const pyapi::Dependency> dependencies() { return kDependencies; }
    // The object the module body bound for `d` (valid while it holds).
    PyObject* original(dep::Id d) const noexcept { return guards.original(d); }

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        for (Ref* r : {&abc_cache_token, &runtime_kw, &site_kw, &warn_kw, &tags_kw, &record_kw, &dumps_kw, &one,
                       &ring_capacity, &site_line, &one_float, &three, &first16, &json_separators, &list_tuple_types,
                       &scalar_types, &tags_template})
            f(*r);
    }
};

inline State& state(const FunctionObject& f) { return pyapi::state_of<State>(f); }

// Module body pieces (module.cpp runs them in source order).
void init_state(PyObject* module, State& state);
void keep_host_helpers(State& state);
Ref make_telemetry_class(PyObject* module, State& state);

// ------------------------------------------------------------- global reads
// Every read happens at the moment of use; a declared name that still holds
// its original is answered without a lookup (a record reads some thirty).

// What `d` finds now: the module global (then builtins, else the host's
// NameError), or the attribute of what its owner finds now.
inline pyapi::Found read_global(const FunctionObject& fn, dep::Id d) { return pyapi::dependency(fn, d); }

// isinstance(value, Mapping) with `Mapping` read from the module globals now.
bool is_mapping(const FunctionObject& fn, PyObject* value);
// isinstance(value, (list, tuple)), the three names read now
bool is_list_or_tuple(const FunctionObject& fn, PyObject* value);

}  // namespace parity_watch
