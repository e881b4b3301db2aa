#include "record_parts.hpp"

#include <cstdint>

namespace sdk_telemetry {
namespace {

[[noreturn]] void wrong_tag(const char* what, PyObject* o) {
    PyErr_Format(PyExc_TypeError, "tags %s must be str, not %.200s", what, Py_TYPE(o)->tp_name);
    pyapi::raise();
}

// Index of `ch` in text[start:end], or -1.
Py_ssize_t find_char(PyObject* text, Py_UCS4 ch, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t i = PyUnicode_FindChar(text, ch, start, end, 1);
    if (i == -2) pyapi::raise();
    return i;
}

}  // namespace

void ensure_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    pyapi::check_status(PyUnicode_READY(text));
#else
    (void)text;
#endif
}

pyapi::Ref copy_tags(PyObject* tags) {
    if (!PyDict_Check(tags)) {
        PyErr_Format(PyExc_TypeError, "tags must be a dict, not %.200s", Py_TYPE(tags)->tp_name);
        pyapi::raise();
    }
    // Copy first: the checks below then walk a dict that no one else can change.
    pyapi::Ref copy = pyapi::check(PyDict_Copy(tags));
    bool all_exact = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(copy.get(), &pos, &k, &v)) {
        if (!PyUnicode_Check(k)) wrong_tag("keys", k);
        if (!PyUnicode_Check(v)) wrong_tag("values", v);
        all_exact = all_exact && PyUnicode_CheckExact(k) && PyUnicode_CheckExact(v);
    }
    if (all_exact) return copy;
    // str subclasses become plain str (their text, without calling __str__), so
    // a record holds nothing the caller can still change.
    pyapi::Ref plain = pyapi::check(PyDict_New());
    pos = 0;
    while (PyDict_Next(copy.get(), &pos, &k, &v)) {
        pyapi::Ref pk = pyapi::check(PyUnicode_FromObject(k));
        pyapi::Ref pv = pyapi::check(PyUnicode_FromObject(v));
        pyapi::check_status(PyDict_SetItem(plain.get(), pk.get(), pv.get()));
    }
    return plain;
}

pyapi::Ref fill_template(PyObject* template_, PyObject* tags) {
    ensure_ready(template_);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(template_);
    pyapi::Ref pieces;       // list of the output's parts, made at the first fill
    Py_ssize_t copied = 0;   // template text before this index is in `pieces`
    Py_ssize_t search = 0;
    while (true) {
        Py_ssize_t open = find_char(template_, '{', search, n);
        if (open < 0) break;
        Py_ssize_t close = find_char(template_, '}', open + 1, n);
        if (close < 0) break;
        Py_ssize_t inner = find_char(template_, '{', open + 1, close);
        if (inner >= 0) {  // "{a{b}": only the innermost brace can open a placeholder
            search = inner;
            continue;
        }
        search = close + 1;
        pyapi::Ref key = pyapi::check(PyUnicode_Substring(template_, open + 1, close));
        PyObject* value = PyDict_GetItemWithError(tags, key.get());
        if (!value) {
            if (PyErr_Occurred()) pyapi::raise();
            continue;  // not a tag: the placeholder stays as written
        }
        if (!pieces) pieces = pyapi::check(PyList_New(0));
        pyapi::Ref before = pyapi::check(PyUnicode_Substring(template_, copied, open));
        pyapi::check_status(PyList_Append(pieces.get(), before.get()));
        pyapi::check_status(PyList_Append(pieces.get(), value));
        copied = close + 1;
    }
    if (!pieces) return pyapi::Ref::borrow(template_);
    pyapi::Ref rest = pyapi::check(PyUnicode_Substring(template_, copied, n));
    pyapi::check_status(PyList_Append(pieces.get(), rest.get()));
    pyapi::Ref empty = pyapi::check(PyUnicode_FromStringAndSize("", 0));
    return pyapi::check(PyUnicode_Join(empty.get(), pieces.get()));
}

std::uint64_t stable_name_hash(PyObject* name) {
    ensure_ready(name);
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    std::uint64_t h = 14695981039346656037ull;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        for (int b = 0; b < 4; ++b) {
            h ^= (c >> (8 * b)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
    return h;
}

}  // namespace sdk_telemetry
