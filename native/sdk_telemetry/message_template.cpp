#include "message_template.hpp"

#include <algorithm>
#include <cstring>

#include "record_parts.hpp"

namespace sdk_telemetry {
namespace {

// Index of `ch` in text[start:end], or -1.
Py_ssize_t find_char(PyObject* text, Py_UCS4 ch, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t i = PyUnicode_FindChar(text, ch, start, end, 1);
    if (i == -2) pyapi::raise();
    return i;
}

// A substring is canonical (its kind is that of its widest character), so its
// kind's maximum is exact enough to choose the kind of a concatenation.
Py_UCS4 widest(PyObject* text) { return PyUnicode_MAX_CHAR_VALUE(text); }

// Appends `piece` to `out` at `at`, returning the position after it.
Py_ssize_t put(PyObject* out, Py_ssize_t at, PyObject* piece) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
    if (n == 0) return at;
    if (PyUnicode_KIND(piece) == PyUnicode_KIND(out)) {
        const int kind = PyUnicode_KIND(out);
        std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + at * kind, PyUnicode_DATA(piece),
                    static_cast<std::size_t>(n) * kind);
    } else {
        pyapi::check_size(PyUnicode_CopyCharacters(out, at, piece, 0, n));
    }
    return at + n;
}

}  // namespace

MessageTemplate::MessageTemplate(PyObject* text) : text_(text) {
    Py_INCREF(text_);
    try {
        ensure_ready(text);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        Py_ssize_t copied = 0;  // text before this index is in literals_
        Py_ssize_t search = 0;
        auto substring = [&](Py_ssize_t from, Py_ssize_t to) {
            return pyapi::check(PyUnicode_Substring(text, from, to));
        };
        while (true) {
            Py_ssize_t open = find_char(text, '{', search, n);
            if (open < 0) break;
            Py_ssize_t close = find_char(text, '}', open + 1, n);
            if (close < 0) break;
            Py_ssize_t inner = find_char(text, '{', open + 1, close);
            if (inner >= 0) {  // "{a{b}": only the innermost brace can open a placeholder
                search = inner;
                continue;
            }
            search = close + 1;
            pyapi::Ref literal = substring(copied, open);
            pyapi::Ref key = substring(open + 1, close);
            pyapi::Ref raw = substring(open, close + 1);
            if (PyObject_Hash(key.get()) == -1) pyapi::raise();  // cached for every look-up
            literals_.reserve(literals_.size() + 1);
            holes_.reserve(holes_.size() + 1);
            literals_.push_back(literal.release());
            holes_.push_back({key.release(), raw.release()});
            copied = close + 1;
        }
        if (holes_.empty()) return;  // fill returns the text itself
        literals_.push_back(substring(copied, n).release());
        for (PyObject* lit : literals_) {
            literal_length_ += PyUnicode_GET_LENGTH(lit);
            literal_max_ = std::max(literal_max_, widest(lit));
        }
    } catch (...) {
        release();
        throw;
    }
}

MessageTemplate::~MessageTemplate() { release(); }

void MessageTemplate::release() noexcept {
    for (PyObject* lit : literals_) Py_DECREF(lit);
    for (const Hole& h : holes_) {
        Py_DECREF(h.key);
        Py_DECREF(h.raw);
    }
    literals_.clear();
    holes_.clear();
    Py_CLEAR(text_);
}

pyapi::Ref MessageTemplate::fill(PyObject* tags) const {
    const std::size_t nholes = holes_.size();
    if (nholes == 0) return pyapi::Ref::borrow(text_);
    // Borrowed pieces: the tags dict is the record's private copy.
    PyObject* small[16];
    std::vector<PyObject*> large;
    PyObject** pieces = small;
    if (nholes > std::size(small)) {
        large.resize(nholes);
        pieces = large.data();
    }
    bool filled = false;
    Py_ssize_t length = literal_length_;
    Py_UCS4 max = literal_max_;
    for (std::size_t i = 0; i < nholes; ++i) {
        PyObject* value = PyDict_GetItemWithError(tags, holes_[i].key);
        if (value) {
            ensure_ready(value);
            filled = true;
        } else {
            if (PyErr_Occurred()) pyapi::raise();
            value = holes_[i].raw;
        }
        pieces[i] = value;
        length += PyUnicode_GET_LENGTH(value);
        max = std::max(max, widest(value));
    }
    if (!filled) return pyapi::Ref::borrow(text_);
    pyapi::Ref out = pyapi::check(PyUnicode_New(length, max));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < nholes; ++i) {
        at = put(out.get(), at, literals_[i]);
        at = put(out.get(), at, pieces[i]);
    }
    put(out.get(), at, literals_[nholes]);
    return out;
}

}  // namespace sdk_telemetry
