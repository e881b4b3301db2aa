#include "state.hpp"

namespace parity_watch {

const Names& names() {
    using pyapi::intern;
    static const Names n = {
        intern("Mapping"),
        intern("json"),
        intern("dumps"),
        intern("hashlib"),
        intern("sha256"),
        intern("hexdigest"),
        intern("_json_safe"),
        intern("_bounded_text"),
        intern("projection_hash"),
        intern("_projection_version"),
        intern("_projection_shape_axes"),
        intern("projection_mismatch_reason"),
        intern("_tags"),
        intern("get"),
        intern("items"),
        intern("keys"),
        intern("str"),
        intern("_PARENT_HOME"),
        intern("_DEFAULT_TELEMETRY"),
        intern("default_parity_watch"),
        intern("record_projection_mismatch"),
        intern("SimulationContractSdkTelemetry"),
        intern("TelemetryRuntime"),
        intern("Severity"),
        intern("WARN"),
        intern("runtime"),
        intern("warn"),
        intern("_clock_ns"),
        intern("_projection_mismatch_site"),
        intern("register_call_site"),
        intern("_CALL_SITE_NAME"),
        intern("_TAG_KEYS"),
        intern("__file__"),
        intern("dropped_count"),
        intern("snapshot_anomalies"),
        intern("drain_anomalies"),
        intern("JSONEncoder"),
        intern("encoder"),
        intern("c_make_encoder"),
        intern("encode_basestring_ascii"),
    };
    return n;
}

Originals& originals() {
    // Lives for the process: the module may be imported afresh and
    // refresh it, but it is never torn down while the interpreter runs.
    static Originals* o = new Originals();
    return *o;
}

void capture_originals(PyObject* module) {
    const Names& n = names();
    PyObject* globals = PyModule_GetDict(module);
    Originals fresh;
    fresh.Mapping = pyapi::load_global(globals, n.Mapping);
    fresh.json = pyapi::load_global(globals, n.json);
    fresh.dumps = pyapi::getattr(fresh.json.get(), n.dumps);
    fresh.JSONEncoder = pyapi::getattr(fresh.json.get(), n.JSONEncoder);
    fresh.encoder_module = pyapi::import_module("json.encoder");
    PyObject* make = PyObject_GetAttr(fresh.encoder_module.get(), n.c_make_encoder);
    if (!make) PyErr_Clear();
    fresh.c_make_encoder = Ref::steal(make);
    fresh.encode_basestring_ascii =
        pyapi::getattr(fresh.encoder_module.get(), n.encode_basestring_ascii);
    fresh.hashlib = pyapi::load_global(globals, n.hashlib);
    fresh.sha256 = pyapi::getattr(fresh.hashlib.get(), n.sha256);
    PyObject* abc = PyImport_ImportModule("_abc");
    if (abc) {
        PyObject* token = PyObject_GetAttrString(abc, "get_cache_token");
        Py_DECREF(abc);
        if (!token) PyErr_Clear();
        fresh.abc_cache_token = Ref::steal(token);
    } else {
        PyErr_Clear();
    }
    originals() = std::move(fresh);
}

}  // namespace parity_watch
