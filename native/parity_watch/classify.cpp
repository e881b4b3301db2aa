// projection_mismatch_reason, _projection_version, _projection_shape_axes.
#include "classify.hpp"

#include "globals.hpp"
#include "values.hpp"

namespace parity_watch {

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) pyapi::raise();
        return Ref::borrow(fallback ? fallback : Py_None);
    }
    PyObject* args[] = {mapping, key, fallback};
    const size_t n = fallback ? 3 : 2;
    return pyapi::check(PyObject_VectorcallMethod(names().get, args, n, nullptr));
}

void for_each_item(PyObject* iterable, const std::function<void(PyObject*)>& f) {
    if (PyList_CheckExact(iterable)) {
        // As the list iterator does: the length is read afresh at every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            f(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i)
            f(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref iter = pyapi::check(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(iter.get())) {
        Ref held = Ref::steal(item);
        f(item);
    }
    if (PyErr_Occurred()) pyapi::raise();
}

namespace {

Ref str_lower(PyObject* text) {
    static PyObject* const lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (!lower) pyapi::raise();
    return pyapi::call(lower, {text});
}

bool contains(PyObject* text, PyObject* needle) {
    return pyapi::check_status(PyUnicode_Contains(text, needle)) != 0;
}

Ref reason_body(FunctionObject&, PyObject* const* argv) {
    Ref pieces = pyapi::check(PyList_New(0));
    for_each_item(argv[0], [&](PyObject* item) {
        Ref text = pyapi::str(item);
        Ref low = str_lower(text.get());
        pyapi::check_status(PyList_Append(pieces.get(), low.get()));
    });
    static PyObject* const space = PW_NAME(" ");
    Ref text = pyapi::check(PyUnicode_Join(space, pieces.get()));
    PyObject* t = text.get();
    PyObject* code = PW_NAME("projection_mismatch");
    if (contains(t, PW_NAME("not an object")) || contains(t, PW_NAME("missing")))
        code = PW_NAME("invalid_projection");
    else if (contains(t, PW_NAME("market_id")) || contains(t, PW_NAME("era_number")))
        code = PW_NAME("market_era_mismatch");
    else if (contains(t, PW_NAME("shape_key")))
        code = PW_NAME("shape_mismatch");
    return Ref::borrow(code);
}

Ref version_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* projection = argv[0];
    if (!is_mapping(self, projection)) return Ref::borrow(PW_NAME("none"));
    PyObject* const keys[] = {PW_NAME("projection_version"), PW_NAME("version"),
                              PW_NAME("schema_version")};
    Ref value;
    for (PyObject* key : keys) {
        value = mapping_get(projection, key);
        if (pyapi::truthy(value.get())) break;
        value = Ref();
    }
    if (!value) value = Ref::borrow(PW_NAME("unspecified"));
    return bounded_text(self, value.get());
}

Ref shape_axes_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* projection = argv[0];
    PyObject* shape_key = argv[1];
    if (!is_mapping(self, projection)) return pyapi::check(PyTuple_New(0));
    Ref declared = mapping_get(projection, PW_NAME("shape_fields"));
    Ref axes = pyapi::check(PyList_New(0));
    if (is_list_or_tuple(declared.get())) {
        for_each_item(declared.get(), [&](PyObject* field) {
            bool keep;
            if (PyUnicode_CheckExact(field)) {
                keep = PyUnicode_GET_LENGTH(field) != 0;
            } else {
                keep = pyapi::is_instance(field, reinterpret_cast<PyObject*>(&PyUnicode_Type)) &&
                       pyapi::truthy(field);
            }
            if (!keep) return;
            Ref text = pyapi::str(field);
            pyapi::check_status(PyList_Append(axes.get(), text.get()));
        });
        if (PyList_GET_SIZE(axes.get())) return pyapi::check(PyList_AsTuple(axes.get()));
    }
    if (is_mapping(self, shape_key)) {
        auto add = [&](PyObject* key) {
            Ref text = pyapi::str(key);
            pyapi::check_status(PyList_Append(axes.get(), text.get()));
        };
        if (PyDict_CheckExact(shape_key)) {
            DictWalk walk(shape_key);
            Ref key, value;
            while (walk.next(key, value)) add(key.get());
        } else {
            Ref keys = pyapi::call_method(shape_key, names().keys);
            for_each_item(keys.get(), add);
        }
        return pyapi::check(PyList_AsTuple(axes.get()));
    }
    return pyapi::check(PyTuple_New(0));
}

const pyapi::Param kReasonParams[] = {{"mismatches", "tuple[str, ...] | list[str]"}};
const pyapi::Param kVersionParams[] = {{"projection", "Mapping[str, Any] | None"}};
const pyapi::Param kShapeAxesParams[] = {{"projection", "Mapping[str, Any] | None"},
                                         {"shape_key", "Mapping[str, Any] | None"}};

}  // namespace

Ref bounded_text(const FunctionObject& self, PyObject* value) {
    Ref target = read_global(self, names().bounded_text);
    if (pyapi::is_function(target.get(), kBoundedText)) {
        auto* f = reinterpret_cast<FunctionObject*>(target.get());
        if (f->defaults && PyTuple_GET_SIZE(f->defaults) == 1) {
            Ref bound = Ref::borrow(PyTuple_GET_ITEM(f->defaults, 0));
            PyObject* args[] = {value, bound.get()};
            return kBoundedText.body(*f, args);
        }
    }
    return pyapi::call(target.get(), {value});
}

const FunctionSpec kProjectionMismatchReason = {
    "projection_mismatch_reason", "projection_mismatch_reason",
    "projection_mismatch_reason(mismatches: tuple[str, ...] | list[str]) -> str", kReasonParams,
    "str", reason_body};
const FunctionSpec kProjectionVersion = {
    "_projection_version", "_projection_version",
    "_projection_version(projection: Mapping[str, Any] | None) -> str", kVersionParams, "str",
    version_body};
const FunctionSpec kProjectionShapeAxes = {
    "_projection_shape_axes", "_projection_shape_axes",
    "_projection_shape_axes(projection: Mapping[str, Any] | None, shape_key: Mapping[str, Any] | "
    "None) -> tuple[str, ...]",
    kShapeAxesParams, "tuple[str, ...]", shape_axes_body};

}  // namespace parity_watch
