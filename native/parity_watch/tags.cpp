// _tags: the tag dictionary of one recorded mismatch.
#include "classify.hpp"
#include "globals.hpp"
#include "values.hpp"

namespace parity_watch {
namespace {

void put(PyObject* tags, PyObject* key, PyObject* value) {
    pyapi::check_status(PyDict_SetItem(tags, key, value));
}

Ref tags_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* data = argv[0];
    PyObject* projection = argv[1];
    PyObject* reason_code = argv[2];
    const Names& n = names();

    Ref projected_shape_key = is_mapping(self, projection)
                                  ? mapping_get(projection, PW_NAME("shape_key"))
                                  : Ref::borrow(Py_None);
    PyObject* shape_key =
        is_mapping(self, projected_shape_key.get()) ? projected_shape_key.get() : data;

    PyObject* unknown = PW_NAME("unknown");
    Ref parent_home = read_global(self, n.PARENT_HOME);
    // Each `_bounded_text` is read before its argument's data.get runs.
    Ref market;
    {
        Ref fn = bounded_text_global(self);
        Ref value = mapping_get(data, PW_NAME("market_id"), unknown);
        market = call_bounded_text(fn.get(), value.get());
    }
    Ref era;
    {
        Ref fn = bounded_text_global(self);
        // The outer data.get is looked up before the inner one runs.
        Ref outer_get = PyDict_CheckExact(data) ? Ref() : pyapi::getattr(data, n.get);
        Ref era_id = mapping_get(data, PW_NAME("era_id"), unknown);
        Ref era_number = outer_get ? pyapi::call(outer_get.get(), {PW_NAME("era_number"),
                                                                   era_id.get()})
                                   : mapping_get(data, PW_NAME("era_number"), era_id.get());
        era = call_bounded_text(fn.get(), era_number.get());
    }
    Ref reason = bounded_text(self, reason_code);
    Ref version = call_named_global(self, n.projection_version, kProjectionVersion, {projection});
    Ref hash = call_named_global(self, n.projection_hash, kProjectionHash, {projection});

    // Sized for its ten entries, as the host sizes a ten-entry dict display.
    Ref tags = pyapi::check(_PyDict_NewPresized(10));
    put(tags.get(), PW_NAME("slot_id"), PW_NAME("simulation_data_contract_projection"));
    put(tags.get(), PW_NAME("parent_home"), parent_home.get());
    put(tags.get(), PW_NAME("market_id"), market.get());
    put(tags.get(), PW_NAME("era_number"), era.get());
    put(tags.get(), PW_NAME("reason_code"), reason.get());
    put(tags.get(), PW_NAME("projection_version"), version.get());
    put(tags.get(), PW_NAME("projection_hash"), hash.get());
    put(tags.get(), PW_NAME("consumer"), PW_NAME("vantorel_sdk"));
    put(tags.get(), PW_NAME("decision"), PW_NAME("mismatch"));
    put(tags.get(), PW_NAME("surface"), PW_NAME("sdk_runtime"));

    Ref axes = call_named_global(self, n.projection_shape_axes, kProjectionShapeAxes,
                                  {projection, projected_shape_key.get()});
    for_each_item(axes.get(), [&](PyObject* field_name) {
        Ref fn = bounded_text_global(self);
        Ref value = mapping_get(shape_key, field_name, unknown);
        Ref text = call_bounded_text(fn.get(), value.get());
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

const FunctionDef kTags = {
    "_tags", "_tags",
    "_tags(*, data: Mapping[str, Any], projection: Mapping[str, Any] | None, reason_code: str) -> "
    "dict[str, object]",
    kTagsParams, "dict[str, object]", tags_body};

}  // namespace parity_watch
