// _json_safe and _bounded_text.
#include "globals.hpp"
#include "values.hpp"

namespace parity_watch {

// ------------------------------------------------------------- Mapping test

namespace {

// Exact built-in types whose Mapping answer is cached: list, tuple, str, int,
// float, bool, NoneType. dict needs no cache (registered, never unregistered).
int builtin_index(PyTypeObject* t) {
    if (t == &PyList_Type) return 0;
    if (t == &PyTuple_Type) return 1;
    if (t == &PyUnicode_Type) return 2;
    if (t == &PyLong_Type) return 3;
    if (t == &PyFloat_Type) return 4;
    if (t == &PyBool_Type) return 5;
    if (t == Py_TYPE(Py_None)) return 6;
    return -1;
}

signed char g_answers[7] = {-1, -1, -1, -1, -1, -1, -1};
unsigned long long g_token = 0;  // the ABC cache token the answers belong to
bool g_token_known = false;

}  // namespace

void MappingTest::refresh() {
    mapping_ = read_global(fn_, names().Mapping);
    plain_builtins_ = json_safe_builtins_unchanged(fn_);
    original_ = mapping_.get() == originals().Mapping.get() && plain_builtins_;
    json_safe_fresh_ = false;
    token_checked_ = false;
    fresh_ = true;
}

bool MappingTest::json_safe_is_ours() {
    if (!fresh_) refresh();
    if (!json_safe_fresh_) {
        Ref js = read_global(fn_, names().json_safe);
        json_safe_ours_ = pyapi::is_function(js.get(), kJsonSafe);
        json_safe_fresh_ = true;
    }
    return json_safe_ours_;
}

bool MappingTest::builtin_answer(int index, PyTypeObject* type) {
    if (!token_checked_) {
        PyObject* get_token = originals().abc_cache_token.get();
        if (!get_token) return pyapi::check_status(PyObject_IsSubclass(
                                   reinterpret_cast<PyObject*>(type), mapping_.get())) != 0;
        Ref token = pyapi::check(PyObject_CallNoArgs(get_token));
        unsigned long long value = PyLong_AsUnsignedLongLong(token.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) pyapi::raise();
        if (!g_token_known || value != g_token) {
            for (auto& a : g_answers) a = -1;
            g_token = value;
            g_token_known = true;
        }
        token_checked_ = true;
    }
    if (g_answers[index] < 0) {
        // The first answer may run hooks of registered subclasses.
        int r = pyapi::check_status(
            PyObject_IsSubclass(reinterpret_cast<PyObject*>(type), mapping_.get()));
        g_answers[index] = static_cast<signed char>(r);
        fresh_ = false;
    }
    return g_answers[index] != 0;
}

bool MappingTest::known_plain_leaf(PyObject* value) const noexcept {
    if (!fresh_ || !original_ || !plain_builtins_ || !token_checked_) return false;
    const int index = builtin_index(Py_TYPE(value));
    return index >= 2 && g_answers[index] == 0;  // 0, 1: list and tuple
}

bool MappingTest::operator()(PyObject* value) {
    if (!fresh_) refresh();
    if (original_) {
        if (PyDict_CheckExact(value)) return true;
        int index = builtin_index(Py_TYPE(value));
        if (index >= 0) return builtin_answer(index, Py_TYPE(value));
    }
    Ref mapping = mapping_;  // the call may refresh this test
    bool r = pyapi::b_isinstance_of(fn_.globals, value, mapping.get());
    fresh_ = false;  // __class__, __instancecheck__ and subclass hooks are caller code
    return r;
}

namespace {

bool exact_scalar(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || t == Py_TYPE(Py_None) || t == &PyDict_Type ||
           t == &PyBytes_Type;
}

PyObject* list_tuple_types() {
    static PyObject* t = Py_BuildValue("(OO)", &PyList_Type, &PyTuple_Type);
    return t;
}
PyObject* scalar_types() {
    static PyObject* t =
        Py_BuildValue("(OOOO)", &PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type);
    return t;
}

}  // namespace

SafeKind classify_safe(MappingTest& is_mapping, PyObject* value) {
    if (is_mapping(value)) return SafeKind::Mapping;
    if (!is_mapping.plain_builtins()) {
        const FunctionObject& fn = is_mapping.fn();
        // The literal tests, each name read at its use.
        using pyapi::Builtin;
        is_mapping.touched();
        if (pyapi::b_isinstance(fn.globals, value, {Builtin::list, Builtin::tuple}))
            return SafeKind::Sequence;
        if (value == Py_None ||
            pyapi::b_isinstance(fn.globals, value,
                                {Builtin::str, Builtin::int_, Builtin::float_, Builtin::bool_}))
            return SafeKind::Passthrough;
        return SafeKind::Stringify;
    }
    PyTypeObject* t = Py_TYPE(value);
    if (PyList_Check(value) || PyTuple_Check(value)) return SafeKind::Sequence;
    const bool plain = exact_scalar(t);
    if (!plain) {
        // isinstance also believes a __class__ that claims list or tuple.
        PyObject* types = list_tuple_types();
        if (!types) pyapi::raise();
        bool r = pyapi::is_instance(value, types);
        is_mapping.touched();
        if (r) return SafeKind::Sequence;
    }
    if (value == Py_None || PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value))
        return SafeKind::Passthrough;
    if (!plain) {
        PyObject* types = scalar_types();
        if (!types) pyapi::raise();
        bool r = pyapi::is_instance(value, types);
        is_mapping.touched();
        if (r) return SafeKind::Passthrough;
    }
    return SafeKind::Stringify;
}

bool is_mapping(const FunctionObject& fn, PyObject* value) {
    MappingTest test(fn);
    return test(value);
}

bool is_list_or_tuple(const FunctionObject& fn, PyObject* value) {
    using pyapi::Builtin;
    if (!pyapi::builtins_unchanged(fn.globals, {Builtin::isinstance, Builtin::list, Builtin::tuple}))
        return pyapi::b_isinstance(fn.globals, value, {Builtin::list, Builtin::tuple});
    if (PyList_Check(value) || PyTuple_Check(value)) return true;
    if (exact_scalar(Py_TYPE(value))) return false;
    PyObject* types = list_tuple_types();
    if (!types) pyapi::raise();
    return pyapi::is_instance(value, types);
}

// ------------------------------------------------------------- walking

bool DictWalk::next(Ref& key, Ref& value) {
    if (PyDict_GET_SIZE(d_) != used_)
        pyapi::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    PyObject *k, *v;
    if (!PyDict_Next(d_, &pos_, &k, &v)) return false;
    if (remaining_ == 0) pyapi::raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --remaining_;
    key = Ref::borrow(k);
    value = Ref::borrow(v);
    return true;
}

void unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if ((PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)) {
        key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    if (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2) {
        key = Ref::borrow(PyList_GET_ITEM(item, 0));
        value = Ref::borrow(PyList_GET_ITEM(item, 1));
        return;
    }
    PyObject* it = PyObject_GetIter(item);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        pyapi::raise();
    }
    Ref iter = Ref::steal(it);
    Ref got[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* w = PyIter_Next(iter.get());
        if (!w) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            pyapi::raise();
        }
        got[i] = Ref::steal(w);
    }
    PyObject* extra = PyIter_Next(iter.get());
    if (extra) {
        Py_DECREF(extra);
        pyapi::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) pyapi::raise();
    key = std::move(got[0]);
    value = std::move(got[1]);
}

// ------------------------------------------------------------- _json_safe

namespace {

Ref call_json_safe(const FunctionObject& fn, PyObject* item) {
    return call_named_global(fn, names().json_safe, kJsonSafe, {item});
}

Ref json_safe_mapping(const FunctionObject& fn, PyObject* value) {
    Ref result = pyapi::check(PyDict_New());
    auto add = [&](PyObject* key, PyObject* item) {
        Ref text = pyapi::b_str(fn.globals, key);
        Ref safe = call_json_safe(fn, item);
        pyapi::check_status(PyDict_SetItem(result.get(), text.get(), safe.get()));
    };
    Ref key, item;
    if (PyDict_CheckExact(value)) {
        DictWalk walk(value);
        while (walk.next(key, item)) add(key.get(), item.get());
        return result;
    }
    Ref items = pyapi::call_method(value, names().items);
    Ref iter = pyapi::check(PyObject_GetIter(items.get()));
    while (PyObject* pair = PyIter_Next(iter.get())) {
        Ref held = Ref::steal(pair);
        unpack_pair(pair, key, item);
        add(key.get(), item.get());
    }
    if (PyErr_Occurred()) pyapi::raise();
    return result;
}

Ref json_safe_sequence(const FunctionObject& fn, PyObject* value) {
    Ref result = pyapi::check(PyList_New(0));
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool list = PyList_CheckExact(value);
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value));
             ++i) {
            Ref item = Ref::borrow(list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i));
            Ref safe = call_json_safe(fn, item.get());
            pyapi::check_status(PyList_Append(result.get(), safe.get()));
        }
        return result;
    }
    Ref iter = pyapi::check(PyObject_GetIter(value));
    while (PyObject* item = PyIter_Next(iter.get())) {
        Ref held = Ref::steal(item);
        Ref safe = call_json_safe(fn, item);
        pyapi::check_status(PyList_Append(result.get(), safe.get()));
    }
    if (PyErr_Occurred()) pyapi::raise();
    return result;
}

}  // namespace

Ref json_safe_value(const FunctionObject& fn, PyObject* value) {
    MappingTest is_mapping(fn);
    switch (classify_safe(is_mapping, value)) {
        case SafeKind::Mapping: {
            pyapi::RecursionGuard guard(" while making a value JSON-safe");
            return json_safe_mapping(fn, value);
        }
        case SafeKind::Sequence: {
            pyapi::RecursionGuard guard(" while making a value JSON-safe");
            return json_safe_sequence(fn, value);
        }
        case SafeKind::Passthrough:
            return Ref::borrow(value);
        case SafeKind::Stringify:
            break;
    }
    return pyapi::b_str(fn.globals, value);
}

namespace {

Ref json_safe_body(FunctionObject& self, PyObject* const* argv) {
    return json_safe_value(self, argv[0]);
}

// _bounded_text(value, max_len=96)
Ref bounded_text_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* max_len = argv[1];
    Ref text = pyapi::b_str(self.globals, argv[0]);
    if (PyUnicode_CheckExact(text.get()) && PyLong_CheckExact(max_len) &&
        pyapi::builtin_unchanged(self.globals, pyapi::Builtin::len)) {
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
            static PyObject* const marker = pyapi::intern("...");
            return pyapi::check(PyUnicode_Concat(head.get(), marker));
        }
    }
    Ref length = pyapi::b_len(self.globals, text.get());
    Ref fits = pyapi::check(PyObject_RichCompare(length.get(), max_len, Py_LE));
    if (pyapi::truthy(fits.get())) return text;
    static PyObject* const three = PyLong_FromLong(3);
    Ref end = pyapi::check(PyNumber_Subtract(max_len, three));
    Ref slice = pyapi::check(PySlice_New(nullptr, end.get(), nullptr));
    Ref head = pyapi::check(PyObject_GetItem(text.get(), slice.get()));
    static PyObject* const marker = pyapi::intern("...");
    return pyapi::check(PyNumber_Add(head.get(), marker));
}

const pyapi::Param kJsonSafeParams[] = {{"value", "Any"}};
const pyapi::Param kBoundedTextParams[] = {{"value", "Any"}, {"max_len", "int"}};

}  // namespace

const FunctionDef kJsonSafe = {"_json_safe", "_json_safe", "_json_safe(value: Any) -> Any",
                                kJsonSafeParams, "Any", json_safe_body};
const FunctionDef kBoundedText = {"_bounded_text", "_bounded_text",
                                   "_bounded_text(value: Any, max_len: int = 96) -> str",
                                   kBoundedTextParams, "str", bounded_text_body};

}  // namespace parity_watch
