// _json_safe and _bounded_text.
#include "values.hpp"

namespace parity_watch {

// ------------------------------------------------------------- Mapping test

void MappingTest::refresh() {
    mapping_ = read_global(fn_, dep::Mapping);
    plain_builtins_ = json_safe_builtins_unchanged(fn_);
    original_ = mapping_.get() == state(fn_).original(dep::Mapping) && plain_builtins_;
    json_safe_fresh_ = false;
    token_checked_ = false;
    plain_leaves_ = 0;
    fresh_ = true;
}

bool MappingTest::json_safe_is_ours_slow() {
    if (!fresh_) refresh();
    if (!json_safe_fresh_) {
        Found js = read_global(fn_, dep::json_safe);
        json_safe_ours_ = pyapi::is_function(fn_, js.get(), kJsonSafe);
        json_safe_fresh_ = true;
    }
    return json_safe_ours_;
}

bool MappingTest::builtin_answer(int index, PyTypeObject* type) {
    // Asked only while the refreshed global is still the original Mapping.
    PYAPI_ASSERT(fresh_ && original_ && mapping_ && 0 <= index && index < 7);
    MappingAnswers& cache = state(fn_).mapping_answers;
    if (!token_checked_) {
        PyObject* get_token = state(fn_).abc_cache_token.get();
        if (!get_token)
            return pyapi::check_status(PyObject_IsSubclass(reinterpret_cast<PyObject*>(type), mapping_.get())) != 0;
        Ref token = pyapi::check(PyObject_CallNoArgs(get_token));
        unsigned long long value = PyLong_AsUnsignedLongLong(token.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) pyapi::raise();
        cache.use_token(value);
        token_ = value;
        token_checked_ = true;
        note_plain_leaves();
    }
    // Another thread may have moved the memo to a later token meanwhile: then
    // the answer is asked again and not kept.
    int answer = cache.get(token_, index);
    if (answer < 0) {
        // The first answer may run hooks of registered subclasses.
        answer = pyapi::check_status(PyObject_IsSubclass(reinterpret_cast<PyObject*>(type), mapping_.get()));
        cache.put(token_, index, answer != 0);
        touched();
    } else if (answer == 0 && index >= 2) {
        plain_leaves_ |= static_cast<std::uint8_t>(1u << index);
    }
    return answer != 0;
}

// The scalar types (str .. NoneType) whose answer under token_ is known to
// be no: their values pass _json_safe unchanged. Read once per refresh;
// another thread moving the memo to a later token meanwhile is a race the
// host's own tests would lose or win the same way.
void MappingTest::note_plain_leaves() noexcept {
    plain_leaves_ = 0;
    if (!fresh_ || !original_ || !plain_builtins_ || !token_checked_) return;
    const MappingAnswers& cache = state(fn_).mapping_answers;
    for (int index = 2; index < 7; ++index)
        if (cache.get(token_, index) == 0) plain_leaves_ |= static_cast<std::uint8_t>(1u << index);
}

bool MappingTest::operator()(PyObject* value) {
    if (!fresh_) refresh();
    if (original_) {
        if (PyDict_CheckExact(value)) return true;
        int index = builtin_index(Py_TYPE(value));
        if (index >= 0) return builtin_answer(index, Py_TYPE(value));
    }
    Found mapping = mapping_;  // the call may refresh this test
    bool r = pyapi::b_isinstance_of(fn_, value, mapping.get());
    touched();  // __class__, __instancecheck__ and subclass hooks are caller code
    return r;
}

namespace {

bool exact_scalar(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyDict_Type || t == &PyBytes_Type;
}

}  // namespace

SafeKind classify_safe(MappingTest& is_mapping, PyObject* value) {
    if (is_mapping(value)) return SafeKind::Mapping;
    if (!is_mapping.plain_builtins()) {
        const FunctionObject& fn = is_mapping.fn();
        // The literal tests, each name read at its use.
        using pyapi::Builtin;
        is_mapping.touched();
        if (pyapi::b_isinstance(fn, value, {Builtin::list, Builtin::tuple})) return SafeKind::Sequence;
        if (value == Py_None ||
            pyapi::b_isinstance(fn, value, {Builtin::str, Builtin::int_, Builtin::float_, Builtin::bool_}))
            return SafeKind::Passthrough;
        return SafeKind::Stringify;
    }
    if (PyList_Check(value) || PyTuple_Check(value)) return SafeKind::Sequence;
    const bool plain = exact_scalar(Py_TYPE(value));
    // isinstance also believes a __class__ that claims one of `types`.
    auto claims = [&](PyObject* types) {
        bool r = pyapi::is_instance(value, types);
        is_mapping.touched();
        return r;
    };
    if (!plain && claims(state(is_mapping.fn()).list_tuple_types.get())) return SafeKind::Sequence;
    if (value == Py_None || PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value))
        return SafeKind::Passthrough;
    if (!plain && claims(state(is_mapping.fn()).scalar_types.get())) return SafeKind::Passthrough;
    return SafeKind::Stringify;
}

bool is_mapping(const FunctionObject& fn, PyObject* value) {
    MappingTest test(fn);
    return test(value);
}

bool is_list_or_tuple(const FunctionObject& fn, PyObject* value) {
    using pyapi::Builtin;
    if (!pyapi::builtins_unchanged(fn, {Builtin::isinstance, Builtin::list, Builtin::tuple}))
        return pyapi::b_isinstance(fn, value, {Builtin::list, Builtin::tuple});
    if (PyList_Check(value) || PyTuple_Check(value)) return true;
    if (exact_scalar(Py_TYPE(value))) return false;
    return pyapi::is_instance(value, state(fn).list_tuple_types.get());
}

// ------------------------------------------------------------- _json_safe

Ref call_json_safe(const FunctionObject& fn, PyObject* item) {
    return pyapi::call_declared(fn, dep::json_safe, kJsonSafe, {item});
}

namespace {

Ref json_safe_mapping(const FunctionObject& fn, PyObject* value) {
    Ref result = pyapi::check(PyDict_New());
    for_each_entry(state(fn), value, [&](PyObject* key, PyObject* item) {
        Ref text = pyapi::b_str(fn, key);
        Ref safe = call_json_safe(fn, item);
        pyapi::check_status(PyDict_SetItem(result.get(), text.get(), safe.get()));
    });
    return result;
}

Ref json_safe_sequence(const FunctionObject& fn, PyObject* value) {
    Ref result = pyapi::check(PyList_New(0));
    for_each_item(value, [&](PyObject* item) {
        Ref safe = call_json_safe(fn, item);
        pyapi::check_status(PyList_Append(result.get(), safe.get()));
    });
    return result;
}

}  // namespace

Ref json_safe_value(const FunctionObject& fn, PyObject* value) {
    MappingTest is_mapping(fn);
    switch (const SafeKind kind = classify_safe(is_mapping, value)) {
        case SafeKind::Mapping:
        case SafeKind::Sequence: {
            pyapi::RecursionGuard guard(" while making a value JSON-safe");
            return kind == SafeKind::Mapping ? json_safe_mapping(fn, value) : json_safe_sequence(fn, value);
        }
        case SafeKind::Passthrough: return Ref::borrow(value);
        case SafeKind::Stringify: break;
    }
    return pyapi::b_str(fn, value);
}

namespace {

Ref json_safe_body(FunctionObject& self, PyObject* const* argv) { return json_safe_value(self, argv[0]); }

// _bounded_text(value, max_len=96)
Ref bounded_text_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* max_len = argv[1];
    Ref text = pyapi::b_str(self, argv[0]);
    if (PyUnicode_CheckExact(text.get()) && PyLong_CheckExact(max_len) &&
        pyapi::builtin_unchanged(self, pyapi::Builtin::len)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
        int overflow = 0;
        long long m = PyLong_AsLongLongAndOverflow(max_len, &overflow);
        if (m == -1 && PyErr_Occurred()) pyapi::raise();
        if (overflow > 0 || (overflow == 0 && n <= m)) return text;
        if (overflow == 0 && m > -(1LL << 60)) {
            // text[: m - 3] with the host's slice clamping, then the marker.
            long long end = m - 3;
            if (end < 0) end += n;
            if (end < 0) end = 0;
            if (end > n) end = n;
            Ref head = pyapi::check(PyUnicode_Substring(text.get(), 0, static_cast<Py_ssize_t>(end)));
            return pyapi::check(PyUnicode_Concat(head.get(), state(self).names.ellipsis));
        }
    }
    Ref length = pyapi::b_len(self, text.get());
    Ref fits = pyapi::check(PyObject_RichCompare(length.get(), max_len, Py_LE));
    if (pyapi::truthy(fits.get())) return text;
    Ref end = pyapi::check(PyNumber_Subtract(max_len, state(self).three.get()));
    Ref slice = pyapi::check(PySlice_New(nullptr, end.get(), nullptr));
    Ref head = pyapi::check(PyObject_GetItem(text.get(), slice.get()));
    return pyapi::check(PyNumber_Add(head.get(), state(self).names.ellipsis));
}

const pyapi::Param kJsonSafeParams[] = {{"value", "Any"}};
const pyapi::Param kBoundedTextParams[] = {{"value", "Any"}, {"max_len", "int", false, "96"}};

}  // namespace

const FunctionDef kJsonSafe = {"_json_safe", kJsonSafeParams, "Any", json_safe_body};
const FunctionDef kBoundedText = {"_bounded_text", kBoundedTextParams, "str", bounded_text_body};

}  // namespace parity_watch
