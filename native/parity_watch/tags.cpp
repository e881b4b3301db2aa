// _tags: the tag dictionary of one recorded mismatch.
#include "classify.hpp"
#include "values.hpp"

namespace parity_watch {
namespace {

void put(PyObject* tags, const char* key, PyObject* value) {
    pyapi::check_status(PyDict_SetItem(tags, pyapi::intern(key), value));
}

// data.get(key, fallback) with the method read before the fallback is worked out,
// as `data.get(key, <expr>)` evaluates.
Ref data_get(PyObject* data, const char* key, PyObject* fallback) {
    return mapping_get(data, pyapi::intern(key), fallback);
}

Ref tags_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* data = argv[0];
    PyObject* projection = argv[1];
    PyObject* reason_code = argv[2];
    const Names& n = names();

    Ref projected_shape_key = is_mapping(self, projection)
                                  ? mapping_get(projection, pyapi::intern("shape_key"))
                                  : Ref::borrow(Py_None);
    PyObject* shape_key =
        is_mapping(self, projected_shape_key.get()) ? projected_shape_key.get() : data;

    PyObject* unknown = pyapi::intern("unknown");
    Ref parent_home = pyapi::global(self, n.PARENT_HOME);
    Ref market = bounded_text(self, data_get(data, "market_id", unknown).get());
    Ref era;
    {
        // The outer data.get is looked up before the inner one runs.
        Ref outer_get = PyDict_CheckExact(data) ? Ref() : pyapi::getattr(data, n.get);
        Ref era_id = data_get(data, "era_id", unknown);
        Ref era_number = outer_get ? pyapi::call(outer_get.get(), {pyapi::intern("era_number"),
                                                                   era_id.get()})
                                   : data_get(data, "era_number", era_id.get());
        era = bounded_text(self, era_number.get());
    }
    Ref reason = bounded_text(self, reason_code);
    Ref version = pyapi::call_global(self, n.projection_version, kProjectionVersion, {projection});
    Ref hash = pyapi::call_global(self, n.projection_hash, kProjectionHash, {projection});

    Ref tags = pyapi::check(PyDict_New());
    put(tags.get(), "slot_id", pyapi::intern("simulation_data_contract_projection"));
    put(tags.get(), "parent_home", parent_home.get());
    put(tags.get(), "market_id", market.get());
    put(tags.get(), "era_number", era.get());
    put(tags.get(), "reason_code", reason.get());
    put(tags.get(), "projection_version", version.get());
    put(tags.get(), "projection_hash", hash.get());
    put(tags.get(), "consumer", pyapi::intern("vantorel_sdk"));
    put(tags.get(), "decision", pyapi::intern("mismatch"));
    put(tags.get(), "surface", pyapi::intern("sdk_runtime"));

    Ref axes = pyapi::call_global(self, n.projection_shape_axes, kProjectionShapeAxes,
                                  {projection, projected_shape_key.get()});
    for_each_item(axes.get(), [&](PyObject* field_name) {
        Ref value = mapping_get(shape_key, field_name, unknown);
        Ref text = bounded_text(self, value.get());
        pyapi::check_status(PyObject_SetItem(tags.get(), field_name, text.get()));
    });
    return tags;
}

const pyapi::Param kTagsParams[] = {
    {"data", "Mapping[str, Any]", true},
    {"projection", "Mapping[str, Any] | None", true},
    {"reason_code", "str", true},
};

}  // namespace

const FunctionSpec kTags = {
    "_tags", "_tags",
    "_tags(*, data: Mapping[str, Any], projection: Mapping[str, Any] | None, reason_code: str) -> "
    "dict[str, object]",
    kTagsParams, "dict[str, object]", tags_body};

}  // namespace parity_watch
