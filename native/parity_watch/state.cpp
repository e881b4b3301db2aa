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

void capture_originals(PyObject* module, State& st) {
    const Names& n = st.names;
    PyObject* globals = PyModule_GetDict(module);
    Originals& o = st.originals;
    o.Mapping = pyapi::load_global(globals, n.Mapping);
    o.json = pyapi::load_global(globals, n.json);
    o.dumps = pyapi::getattr(o.json.get(), n.dumps);
    o.JSONEncoder = pyapi::getattr(o.json.get(), n.JSONEncoder);
    o.encoder_module = pyapi::import_module("json.encoder");
    // An attribute the host may lack (no C accelerators): left empty then.
    auto optional = [](PyObject* obj, const char* name) {
        PyObject* value = obj ? PyObject_GetAttrString(obj, name) : nullptr;
        if (!value) PyErr_Clear();
        return Ref::steal(value);
    };
    o.c_make_encoder = optional(o.encoder_module.get(), "c_make_encoder");
    o.encode_basestring_ascii = pyapi::getattr(o.encoder_module.get(), n.encode_basestring_ascii);
    o.hashlib = pyapi::load_global(globals, n.hashlib);
    o.sha256 = pyapi::getattr(o.hashlib.get(), n.sha256);
    Ref abc = Ref::steal(PyImport_ImportModule("_abc"));
    o.abc_cache_token = optional(abc.get(), "get_cache_token");
}

}  // namespace parity_watch
