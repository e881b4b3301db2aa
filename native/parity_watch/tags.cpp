// _tags: the tag dictionary of one recorded mismatch.
#include "classify.hpp"

namespace parity_watch {
namespace {

Ref tags_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* data = argv[0];
    PyObject* projection = argv[1];
    PyObject* reason_code = argv[2];
    const State& st = state(self);
    const Names& n = st.names;

    Ref projected_shape_key = is_mapping(self, projection) ? mapping_get(st, projection, n.shape_key)
                                                           : Ref::borrow(Py_None);
    PyObject* shape_key = is_mapping(self, projected_shape_key.get()) ? projected_shape_key.get() : data;

    Found parent_home = read_global(self, dep::PARENT_HOME);
    // Each `_bounded_text` is read before its argument's data.get runs.
    Ref market;
    {
        Found fn = bounded_text_global(self);
        Ref value = mapping_get(st, data, n.market_id, n.unknown);
        market = call_bounded_text(self, fn.get(), value.get());
    }
    Ref era;
    {
        Found fn = bounded_text_global(self);
        // The outer data.get is looked up before the inner one runs.
        Ref outer_get = PyDict_CheckExact(data) ? Ref() : pyapi::getattr(data, n.get);
        Ref era_id = mapping_get(st, data, n.era_id, n.unknown);
        Ref era_number = outer_get ? pyapi::call(outer_get.get(), {n.era_number, era_id.get()})
                                   : mapping_get(st, data, n.era_number, era_id.get());
        era = call_bounded_text(self, fn.get(), era_number.get());
    }
    Ref reason = bounded_text(self, reason_code);
    Ref version = pyapi::call_declared(self, dep::projection_version_fn, kProjectionVersion, {projection});
    Ref hash = pyapi::call_declared(self, dep::projection_hash_fn, kProjectionHash, {projection});

    // The ten entries in display order, the constant ones already in place.
    Ref tags = pyapi::check(PyDict_Copy(st.tags_template.get()));
    for (const auto& [key, value] : {std::pair{n.parent_home, parent_home.get()},
                                     {n.market_id, market.get()},
                                     {n.era_number, era.get()},
                                     {n.reason_code, reason.get()},
                                     {n.projection_version_key, version.get()},
                                     {n.projection_hash, hash.get()}})
        pyapi::check_status(PyDict_SetItem(tags.get(), key, value));

    Ref axes = pyapi::call_declared(self, dep::projection_shape_axes_fn, kProjectionShapeAxes,
                                    {projection, projected_shape_key.get()});
    for_each_item(axes.get(), [&](PyObject* field_name) {
        Found fn = bounded_text_global(self);
        Ref value = mapping_get(st, shape_key, field_name, n.unknown);
        Ref text = call_bounded_text(self, fn.get(), value.get());
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

const FunctionDef kTags = {"_tags", kTagsParams, "dict[str, object]", tags_body};

}  // namespace parity_watch
