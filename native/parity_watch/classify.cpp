// projection_mismatch_reason, _projection_version, _projection_shape_axes.
#include "classify.hpp"

#include <string>
#include <string_view>

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

namespace {

Ref str_lower(PyObject* text) {
    static PyObject* const lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (!lower) pyapi::raise();
    return pyapi::call(lower, {text});
}

// The reason code from the lowered, space-joined messages; `has(needle)`
// answers whether that text contains the needle.
template <class Has>
PyObject* reason_code(Has&& has) {
    if (has("not an object") || has("missing")) return PW_NAME("invalid_projection");
    if (has("market_id") || has("era_number")) return PW_NAME("market_era_mismatch");
    if (has("shape_key")) return PW_NAME("shape_mismatch");
    return PW_NAME("projection_mismatch");
}

// Messages that are all exact ASCII strs in an exact list or tuple: str()
// and str.lower run no caller code and lower only A-Z, so the text is built
// and searched natively. False (nothing done) for anything else.
bool ascii_reason(PyObject* items, PyObject*& code) {
    const bool list = PyList_CheckExact(items);
    if (!list && !PyTuple_CheckExact(items)) return false;
    const Py_ssize_t n = list ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items);
    PyObject* const* item = PySequence_Fast_ITEMS(items);
    std::size_t length = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(item[i]) || !PyUnicode_IS_ASCII(item[i])) return false;
        length += static_cast<std::size_t>(PyUnicode_GET_LENGTH(item[i])) + 1;
    }
    char small[512];
    std::string large;
    char* text = small;
    if (length > sizeof small) {
        large.resize(length);
        text = large.data();
    }
    char* p = text;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) *p++ = ' ';
        const auto* s = PyUnicode_1BYTE_DATA(item[i]);
        for (Py_ssize_t k = 0, m = PyUnicode_GET_LENGTH(item[i]); k < m; ++k) {
            const char c = static_cast<char>(s[k]);
            *p++ = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    const std::string_view joined(text, static_cast<std::size_t>(p - text));
    code = reason_code([&](const char* needle) {
        return joined.find(needle) != std::string_view::npos;
    });
    return true;
}

Ref reason_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* code = nullptr;
    if (pyapi::builtin_unchanged(self.globals, pyapi::Builtin::str) && ascii_reason(argv[0], code))
        return Ref::borrow(code);
    Ref pieces = pyapi::check(PyList_New(0));
    for_each_item(argv[0], [&](PyObject* item) {
        // str(item).lower(): a subclass's own lower() is the one called.
        Ref text = pyapi::b_str(self.globals, item);
        static PyObject* const lower = PW_NAME("lower");
        Ref low = PyUnicode_CheckExact(text.get()) ? str_lower(text.get())
                                                   : pyapi::call_method(text.get(), lower);
        pyapi::check_status(PyList_Append(pieces.get(), low.get()));
    });
    static PyObject* const space = PW_NAME(" ");
    Ref text = pyapi::check(PyUnicode_Join(space, pieces.get()));
    code = reason_code([&](const char* needle) {
        Ref sub = pyapi::new_str(needle);
        return pyapi::check_status(PyUnicode_Contains(text.get(), sub.get())) != 0;
    });
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
    PyObject* const globals = self.globals;
    using pyapi::Builtin;
    const bool declared_sequence = is_list_or_tuple(self, declared.get());
    if (declared_sequence && !pyapi::builtin_unchanged(globals, Builtin::tuple)) {
        // A shadowed `tuple` receives the reference's own generator.
        Ref tuple = pyapi::builtin(globals, Builtin::tuple);
        Ref it = pyapi::check(PyObject_GetIter(declared.get()));
        Ref gen = pyapi::generator(
            "def _projection_shape_axes(it):\n"
            "    return (str(field) for field in it if isinstance(field, str) and field)\n",
            globals, {it.get()});
        Ref result = pyapi::call(tuple.get(), {gen.get()});
        if (pyapi::truthy(result.get())) return result;
    } else if (declared_sequence) {
        for_each_item(declared.get(), [&](PyObject* field) {
            bool keep;
            if (!pyapi::builtins_unchanged(globals, {pyapi::Builtin::isinstance, pyapi::Builtin::str})) {
                keep = pyapi::b_isinstance(globals, field, {pyapi::Builtin::str}) &&
                       pyapi::truthy(field);
            } else if (PyUnicode_CheckExact(field)) {
                keep = PyUnicode_GET_LENGTH(field) != 0;
            } else {
                keep = pyapi::is_instance(field, reinterpret_cast<PyObject*>(&PyUnicode_Type)) &&
                       pyapi::truthy(field);
            }
            if (!keep) return;
            Ref text = pyapi::b_str(globals, field);
            pyapi::check_status(PyList_Append(axes.get(), text.get()));
        });
        // `tuple(...)` then `if axes`
        Ref result = pyapi::b_tuple_of_list(globals, axes.get());
        if (pyapi::truthy(result.get())) return result;
        axes = pyapi::check(PyList_New(0));
    }
    const bool keyed = is_mapping(self, shape_key);
    if (keyed && !pyapi::builtin_unchanged(globals, Builtin::tuple)) {
        Ref tuple = pyapi::builtin(globals, Builtin::tuple);
        Ref keys = pyapi::call_method(shape_key, names().keys);
        Ref it = pyapi::check(PyObject_GetIter(keys.get()));
        Ref gen = pyapi::generator("def _projection_shape_axes(it):\n"
                                   "    return (str(key) for key in it)\n",
                                   globals, {it.get()});
        return pyapi::call(tuple.get(), {gen.get()});
    }
    if (keyed) {
        auto add = [&](PyObject* key) {
            Ref text = pyapi::b_str(globals, key);
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
        return pyapi::b_tuple_of_list(globals, axes.get());
    }
    return pyapi::check(PyTuple_New(0));
}

const pyapi::Param kReasonParams[] = {{"mismatches", "tuple[str, ...] | list[str]"}};
const pyapi::Param kVersionParams[] = {{"projection", "Mapping[str, Any] | None"}};
const pyapi::Param kShapeAxesParams[] = {{"projection", "Mapping[str, Any] | None"},
                                         {"shape_key", "Mapping[str, Any] | None"}};

}  // namespace

Ref bounded_text_global(const FunctionObject& self) {
    return read_global(self, names().bounded_text);
}

Ref call_bounded_text(PyObject* target, PyObject* value) {
    if (pyapi::is_function(target, kBoundedText)) {
        auto* f = reinterpret_cast<FunctionObject*>(target);
        if (f->defaults && PyTuple_GET_SIZE(f->defaults) == 1) {
            Ref bound = Ref::borrow(PyTuple_GET_ITEM(f->defaults, 0));
            PyObject* args[] = {value, bound.get()};
            return kBoundedText.body(*f, args);
        }
    }
    return pyapi::call(target, {value});
}

Ref bounded_text(const FunctionObject& self, PyObject* value) {
    Ref target = bounded_text_global(self);
    return call_bounded_text(target.get(), value);
}

const FunctionDef kProjectionMismatchReason = {
    "projection_mismatch_reason", "projection_mismatch_reason",
    "projection_mismatch_reason(mismatches: tuple[str, ...] | list[str]) -> str", kReasonParams,
    "str", reason_body};
const FunctionDef kProjectionVersion = {
    "_projection_version", "_projection_version",
    "_projection_version(projection: Mapping[str, Any] | None) -> str", kVersionParams, "str",
    version_body};
const FunctionDef kProjectionShapeAxes = {
    "_projection_shape_axes", "_projection_shape_axes",
    "_projection_shape_axes(projection: Mapping[str, Any] | None, shape_key: Mapping[str, Any] | "
    "None) -> tuple[str, ...]",
    kShapeAxesParams, "tuple[str, ...]", shape_axes_body};

}  // namespace parity_watch
