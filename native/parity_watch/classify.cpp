// projection_mismatch_reason, _projection_version, _projection_shape_axes.
#include "classify.hpp"

#include <string>
#include <string_view>

namespace parity_watch {

Ref mapping_get(const State& st, PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        if (Ref v = dict_item(mapping, key)) return v;
        if (PyErr_Occurred()) pyapi::raise();
        return Ref::borrow(fallback ? fallback : Py_None);
    }
    PyObject* args[] = {mapping, key, fallback};
    const size_t n = fallback ? 3 : 2;
    return pyapi::check(PyObject_VectorcallMethod(st.names.get, args, n, nullptr));
}

namespace {

// The reason code from the lowered, space-joined messages; `has(needle)`
// answers whether that text contains the needle.
template <class Has>
PyObject* reason_code(const Names& n, Has&& has) {
    if (has("not an object") || has("missing")) return n.invalid_projection;
    if (has("market_id") || has("era_number")) return n.market_era_mismatch;
    if (has("shape_key")) return n.shape_mismatch;
    return n.projection_mismatch;
}

// Messages that are all exact ASCII strs in an exact list or tuple: str()
// and str.lower run no caller code and lower only A-Z, so the text is built
// and searched natively. False (nothing done) for anything else.
bool ascii_reason(const Names& names, PyObject* items, PyObject*& code) {
    const bool list = PyList_CheckExact(items);
    if (!list && !PyTuple_CheckExact(items)) return false;
    // No caller code runs below: the list stays locked while its items are read.
    ContainerLock lock(items);
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
    code = reason_code(names, [&](const char* needle) { return joined.find(needle) != std::string_view::npos; });
    return true;
}

Ref reason_body(FunctionObject& self, PyObject* const* argv) {
    const Names& n = state(self).names;
    PyObject* code = nullptr;
    if (pyapi::builtin_unchanged(self, pyapi::Builtin::str) && ascii_reason(n, argv[0], code)) return Ref::borrow(code);
    Ref pieces = pyapi::check(PyList_New(0));
    for_each_item(argv[0], [&](PyObject* item) {
        // str(item).lower(): a subclass's own lower() is the one called.
        Ref text = pyapi::b_str(self, item);
        PyObject* args[] = {text.get()};
        Ref low = pyapi::check(PyObject_VectorcallMethod(n.lower, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        pyapi::check_status(PyList_Append(pieces.get(), low.get()));
    });
    Ref text = pyapi::check(PyUnicode_Join(n.space, pieces.get()));
    code = reason_code(n, [&](const char* needle) {
        Ref sub = pyapi::new_str(needle);
        return pyapi::check_status(PyUnicode_Contains(text.get(), sub.get())) != 0;
    });
    return Ref::borrow(code);
}

Ref version_body(FunctionObject& self, PyObject* const* argv) {
    const State& st = state(self);
    const Names& n = st.names;
    PyObject* projection = argv[0];
    if (!is_mapping(self, projection)) return Ref::borrow(n.none);
    for (PyObject* key : {n.projection_version_key, n.version, n.schema_version}) {
        Ref value = mapping_get(st, projection, key);
        if (pyapi::truthy(value.get())) return bounded_text(self, value.get());
    }
    return bounded_text(self, n.unspecified);
}

// (str(field) for field in it if isinstance(field, str) and field)
Ref declared_axis(const FunctionObject& f, PyObject* field, PyObject* const*) {
    if (!pyapi::b_isinstance(f, field, {pyapi::Builtin::str}) || !pyapi::truthy(field)) return {};
    return pyapi::b_str(f, field);
}

// (str(key) for key in it)
Ref key_axis(const FunctionObject& f, PyObject* key, PyObject* const*) { return pyapi::b_str(f, key); }

// `tuple(<generator expression>)` with a shadowed `tuple`: the replacement
// gets a lazy generator over `iterable`, as the reference hands it one.
Ref shadowed_tuple(const FunctionObject& self, PyObject* iterable, pyapi::LazyStep step) {
    Ref tuple = pyapi::builtin(self, pyapi::Builtin::tuple);
    Ref gen = pyapi::lazy_generator(self, "_projection_shape_axes", iterable, step);
    return pyapi::call(tuple.get(), {gen.get()});
}

Ref shape_axes_body(FunctionObject& self, PyObject* const* argv) {
    using pyapi::Builtin;
    const State& st = state(self);
    PyObject* projection = argv[0];
    PyObject* shape_key = argv[1];
    if (!is_mapping(self, projection)) return pyapi::check(PyTuple_New(0));
    Ref declared = mapping_get(st, projection, st.names.shape_fields);
    Ref axes = pyapi::check(PyList_New(0));
    if (is_list_or_tuple(self, declared.get())) {
        Ref result;
        if (!pyapi::builtin_unchanged(self, Builtin::tuple)) {
            result = shadowed_tuple(self, declared.get(), declared_axis);
        } else {
            for_each_item(declared.get(), [&](PyObject* field) {
                bool keep;
                if (!pyapi::builtins_unchanged(self, {Builtin::isinstance, Builtin::str}))
                    keep = pyapi::b_isinstance(self, field, {Builtin::str}) && pyapi::truthy(field);
                else if (PyUnicode_CheckExact(field)) keep = PyUnicode_GET_LENGTH(field) != 0;
                else
                    keep = pyapi::is_instance(field, reinterpret_cast<PyObject*>(&PyUnicode_Type)) &&
                           pyapi::truthy(field);
                if (!keep) return;
                Ref text = pyapi::b_str(self, field);
                pyapi::check_status(PyList_Append(axes.get(), text.get()));
            });
            // `tuple(...)` then `if axes`
            result = pyapi::b_tuple_of_list(self, axes.get());
            axes = pyapi::check(PyList_New(0));
        }
        if (pyapi::truthy(result.get())) return result;
    }
    if (!is_mapping(self, shape_key)) return pyapi::check(PyTuple_New(0));
    if (!pyapi::builtin_unchanged(self, Builtin::tuple)) {
        Ref keys = pyapi::call_method(shape_key, st.names.keys);
        return shadowed_tuple(self, keys.get(), key_axis);
    }
    auto add = [&](PyObject* key) {
        Ref text = pyapi::b_str(self, key);
        pyapi::check_status(PyList_Append(axes.get(), text.get()));
    };
    if (PyDict_CheckExact(shape_key)) {
        for_each_entry(st, shape_key, [&](PyObject* key, PyObject*) { add(key); });
    } else {
        Ref keys = pyapi::call_method(shape_key, st.names.keys);
        for_each_item(keys.get(), add);
    }
    return pyapi::b_tuple_of_list(self, axes.get());
}

const pyapi::Param kReasonParams[] = {{"mismatches", "tuple[str, ...] | list[str]"}};
const pyapi::Param kVersionParams[] = {{"projection", "Mapping[str, Any] | None"}};
const pyapi::Param kShapeAxesParams[] = {{"projection", "Mapping[str, Any] | None"},
                                         {"shape_key", "Mapping[str, Any] | None"}};

}  // namespace

Found bounded_text_global(const FunctionObject& self) { return read_global(self, dep::bounded_text); }

Ref call_bounded_text(const FunctionObject& self, PyObject* target, PyObject* value) {
    if (pyapi::is_function(self, target, kBoundedText)) {
        auto* f = reinterpret_cast<FunctionObject*>(target);
        if (f->defaults && PyTuple_GET_SIZE(f->defaults) == 1) {
            Ref bound = Ref::borrow(PyTuple_GET_ITEM(f->defaults, 0));
            PyObject* args[] = {value, bound.get()};
            Ref text = kBoundedText.body(*f, args);
            if (!text) pyapi::raise();
            return text;
        }
    }
    return pyapi::call(target, {value});
}

Ref bounded_text(const FunctionObject& self, PyObject* value) {
    Found target = bounded_text_global(self);
    return call_bounded_text(self, target.get(), value);
}

const FunctionDef kProjectionMismatchReason = {"projection_mismatch_reason", kReasonParams, "str", reason_body};
const FunctionDef kProjectionVersion = {"_projection_version", kVersionParams, "str", version_body};
const FunctionDef kProjectionShapeAxes = {"_projection_shape_axes", kShapeAxesParams, "tuple[str, ...]",
                                          shape_axes_body};

}  // namespace parity_watch
