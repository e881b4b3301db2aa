#include "message_template.hpp"

#include <algorithm>
#include <cstring>

#include "pyapi/ops.hpp"

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

// Placeholder names as the tags' keys most often are: interned, so that a
// look-up finds them by address. Not on 3.12, where every interned str is
// immortal and a program registering generated templates would leak them.
void intern_name(PyObject*& name) {
#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
    PyUnicode_InternInPlace(&name);
#else
    (void)name;
#endif
}

// Writes the pieces into a new str, already sized and of the right kind.
class Writer {
public:
    explicit Writer(PyObject* out)
        : out_(out), kind_(PyUnicode_KIND(out)), data_(static_cast<char*>(PyUnicode_DATA(out))) {}

    void put(PyObject* piece) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_KIND(piece) == kind_) {
            std::memcpy(data_ + at_ * kind_, PyUnicode_DATA(piece), static_cast<std::size_t>(n) * kind_);
        } else if (n > 0) {  // a narrower piece, widened
            pyapi::check_size(PyUnicode_CopyCharacters(out_, at_, piece, 0, n));
        }
        at_ += n;
    }

private:
    PyObject* out_;
    const int kind_;
    char* data_;
    Py_ssize_t at_ = 0;
};

}  // namespace

MessageTemplate::MessageTemplate(PyObject* text) : text_(text) {
    Py_INCREF(text_);
    try {
        pyapi::ensure_ready(text);
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
            PyObject* name = key.release();
            intern_name(name);
            key = pyapi::Ref::steal(name);
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
            pyapi::ensure_ready(value);
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
    Writer w(out.get());
    for (std::size_t i = 0; i < nholes; ++i) {
        w.put(literals_[i]);
        w.put(pieces[i]);
    }
    w.put(literals_[nholes]);
    return out;
}

}  // namespace sdk_telemetry
