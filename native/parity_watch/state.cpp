#include "state.hpp"

#include <utility>

namespace parity_watch {

using pyapi::check;

void init_state(PyObject*, State& st) {
    const Names& n = st.names;
    st.runtime_kw = pyapi::kwnames({n.component, n.lanes, n.ring_capacity});
    st.site_kw = pyapi::kwnames(
        {n.name, n.description, n.message_template, n.value_unit, n.severity_default, n.file, n.line, n.tag_keys});
    st.warn_kw = pyapi::kwnames({n.epoch_ns, n.reason, n.tags_key, n.severity});
    st.tags_kw = pyapi::kwnames({n.data, n.projection, n.reason_code});
    st.record_kw = pyapi::kwnames({n.data, n.projection, n.mismatches, n.epoch_ns});
    st.dumps_kw = pyapi::kwnames({n.sort_keys, n.separators, n.default_});
    st.one = check(PyLong_FromLong(1));
    st.ring_capacity = check(PyLong_FromLong(128));
    st.site_line = check(PyLong_FromLong(47));
    st.one_float = check(PyFloat_FromDouble(1.0));
    st.three = check(PyLong_FromLong(3));
    Ref sixteen = check(PyLong_FromLong(16));
    st.first16 = check(PySlice_New(nullptr, sixteen.get(), nullptr));
    st.json_separators = check(Py_BuildValue("(ss)", ",", ":"));
    st.list_tuple_types = check(PyTuple_Pack(2, &PyList_Type, &PyTuple_Type));
    st.scalar_types = check(PyTuple_Pack(4, &PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type));
    st.tags_template = check(PyDict_New());
    const std::pair<PyObject*, PyObject*> entries[] = {{n.slot_id, n.simulation_data_contract_projection},
                                                       {n.parent_home, Py_None},
                                                       {n.market_id, Py_None},
                                                       {n.era_number, Py_None},
                                                       {n.reason_code, Py_None},
                                                       {n.projection_version_key, Py_None},
                                                       {n.projection_hash, Py_None},
                                                       {n.consumer, n.vantorel_sdk},
                                                       {n.decision, n.mismatch},
                                                       {n.surface, n.sdk_runtime}};
    for (const auto& [key, value] : entries) pyapi::check_status(PyDict_SetItem(st.tags_template.get(), key, value));
}

namespace {

bool not_none(PyObject* v) { return v != Py_None; }

using pyapi::DepKind;
constexpr DepKind G = DepKind::global, A = DepKind::attribute;

}  // namespace

constexpr pyapi::Dependency kDependencies[dep::end - dep::Mapping] = {
    {dep::Mapping, G, "Mapping"},
    {dep::json, G, "json"},
    {dep::dumps, A, "dumps", dep::json},
    {dep::JSONEncoder, A, "JSONEncoder", dep::json},
    {dep::encoder_module, A, "encoder", dep::json},
    // Absent (or None) where the host has no C accelerator: then it never holds.
    {dep::c_make_encoder, A, "c_make_encoder", dep::encoder_module, not_none},
    {dep::encode_basestring_ascii, A, "encode_basestring_ascii", dep::encoder_module},
    {dep::hashlib, G, "hashlib"},
    {dep::sha256, A, "sha256", dep::hashlib},
    {dep::json_safe, G, "_json_safe"},
    {dep::bounded_text, G, "_bounded_text"},
    {dep::TelemetryRuntime, G, "TelemetryRuntime"},
    {dep::Severity, G, "Severity"},
    {dep::CALL_SITE_NAME, G, "_CALL_SITE_NAME"},
    {dep::file, G, "__file__"},
    {dep::TAG_KEYS, G, "_TAG_KEYS"},
    {dep::PARENT_HOME, G, "_PARENT_HOME"},
    {dep::telemetry_class, G, "SimulationContractSdkTelemetry"},
    {dep::projection_version_fn, G, "_projection_version"},
    {dep::projection_hash_fn, G, "projection_hash"},
    {dep::projection_shape_axes_fn, G, "_projection_shape_axes"},
    {dep::projection_mismatch_reason_fn, G, "projection_mismatch_reason"},
    {dep::tags_fn, G, "_tags"},
    {dep::default_parity_watch_fn, G, "default_parity_watch"},
};
static_assert(pyapi::well_numbered(kDependencies, dep::Mapping));

void keep_host_helpers(State& st) {
    // The ABC cache token tells when a Mapping answer may have moved; the
    // host may lack it (left empty then).
    Ref abc = Ref::steal(PyImport_ImportModule("_abc"));
    PyObject* token = abc ? PyObject_GetAttrString(abc.get(), "get_cache_token") : nullptr;
    if (!token) PyErr_Clear();
    st.abc_cache_token = Ref::steal(token);
}

}  // namespace parity_watch
