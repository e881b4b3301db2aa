#include "canonical_json.hpp"
#include "shortest_double.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace parity_watch {

Ref Tape::to_python(std::size_t start) const {
    std::size_t i = start;
    return value_at(i);
}

Ref Tape::value_at(std::size_t& i) const {
    const Tok& t = toks_[i];
    if (t.kind == Tok::Leaf || t.kind == Tok::Object) {
        ++i;
        return Ref::borrow(t.obj);
    }
    const std::size_t end = t.end ? t.end : toks_.size();
    ++i;
    if (t.kind == Tok::List) {
        Ref list = pyapi::check(PyList_New(0));
        while (i < end) {
            Ref v = value_at(i);
            pyapi::check_status(PyList_Append(list.get(), v.get()));
        }
        return list;
    }
    Ref dict = pyapi::check(PyDict_New());
    while (i < end) {
        PyObject* key = toks_[i++].obj;
        Ref v = value_at(i);
        pyapi::check_status(PyDict_SetItem(dict.get(), key, v.get()));
    }
    return dict;
}

namespace {

const char kHex[] = "0123456789abcdef";

// Printable ASCII other than '"' and '\\' goes out as it is; everything
// else is escaped.
constexpr bool plain_ascii(Py_UCS4 c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

// Whether any of the eight bytes of `w` is not plain_ascii: below ' ', above
// '~', '"' or '\\'. The word tests find every such byte (they may also flag
// a plain one, which only sends the word down the byte-wise road).
constexpr bool needs_escape(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t below_space = (w - ones * 0x20) & ~w & highs;
    return (below_space | (w & highs) | has_zero(w ^ (ones * 0x7f)) | has_zero(w ^ (ones * '"')) |
            has_zero(w ^ (ones * '\\'))) != 0;
}

char* escape_unit(char* p, Py_UCS4 c) {
    p[0] = '\\';
    p[1] = 'u';
    p[2] = kHex[(c >> 12) & 0xf];
    p[3] = kHex[(c >> 8) & 0xf];
    p[4] = kHex[(c >> 4) & 0xf];
    p[5] = kHex[c & 0xf];
    return p + 6;
}

char* escape_char(char* p, Py_UCS4 c) {
    // The characters with a two-character escape, and that escape's letter.
    static const char kNamed[] = "\\\"\b\f\n\r\t", kLetter[] = "\\\"bfnrt";
    if (const void* at = c < 0x80 ? std::memchr(kNamed, static_cast<int>(c), 7) : nullptr) {
        *p++ = '\\';
        *p++ = kLetter[static_cast<const char*>(at) - kNamed];
        return p;
    }
    if (c >= 0x10000) {
        c -= 0x10000;
        p = escape_unit(p, 0xd800 | ((c >> 10) & 0x3ff));
        return escape_unit(p, 0xdc00 | (c & 0x3ff));
    }
    return escape_unit(p, c);
}

// The ASCII-only string encoder of the host's json module. Room is asked for
// once: six bytes per BMP code point (\uXXXX), twelve beyond it.
void write_string(TextBuffer& out, PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const std::size_t per_char = kind == PyUnicode_4BYTE_KIND ? 12 : 6;
    char* p = out.room(static_cast<std::size_t>(n) * per_char + 2);
    *p++ = '"';
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        Py_ssize_t i = 0;
        // Eight bytes at a time while none of them needs an escape.
        for (; i + 8 <= n; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (needs_escape(word)) break;
            std::memcpy(p, &word, 8);
            p += 8;
        }
        for (; i < n; ++i) {
            const unsigned char c = bytes[i];
            if (plain_ascii(c)) *p++ = static_cast<char>(c);
            else p = escape_char(p, c);
        }
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (plain_ascii(c)) *p++ = static_cast<char>(c);
            else p = escape_char(p, c);
        }
    }
    *p++ = '"';
    out.commit(p);
}

void write_int(TextBuffer& out, PyObject* v) {
#if PY_VERSION_HEX >= 0x030C0000
    // A value of one digit or less is held in the object itself: read it in place.
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
        char* p = out.room(24);
        out.commit(std::to_chars(p, p + 24, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v))).ptr);
        return;
    }
#endif
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) pyapi::raise();
    if (!overflow) {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, x);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
        return;
    }
    // int.__repr__ itself, so that the host's digit limit raises its own ValueError.
    Ref text = pyapi::check(PyLong_Type.tp_repr(v));
    Py_ssize_t len;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!s) pyapi::raise();
    out.append(s, static_cast<size_t>(len));
}

void write_float(TextBuffer& out, PyObject* v) {
    double x = PyFloat_AS_DOUBLE(v);
    if (std::isnan(x)) {
        out.append("NaN", 3);
        return;
    }
    if (std::isinf(x)) {
        if (x > 0) out.append("Infinity", 8);
        else out.append("-Infinity", 9);
        return;
    }
    // float.__repr__'s text from our own shortest-digits conversion (shortest_double.cpp),
    // the same on every platform: no floating std::to_chars needed (libc++ lacks it before 17,
    // Apple's before macOS 13.3), and faster than both it and PyOS_double_to_string.
    char* o = out.room(float_repr_room);
    out.commit(write_float_repr(o, x));
}

// Code-point order, as str's own comparison orders exact strs.
bool str_less(PyObject* a, PyObject* b) {
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t n = na < nb ? na : nb;
    if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
        int c = std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n));
        return c < 0 || (c == 0 && na < nb);
    }
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 x = PyUnicode_READ(ka, da, i), y = PyUnicode_READ(kb, db, i);
        if (x != y) return x < y;
    }
    return na < nb;
}

// The first eight bytes of one-byte text, big-endian and zero-padded: when
// two prefixes differ, they order the texts as code points do (a text that
// ends early pads with 0, no more than a NUL it would otherwise meet).
Entry make_entry(PyObject* key, std::size_t value, std::uint32_t pos) {
    Entry e{0, key, value, pos, PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND};
    if (e.one_byte) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        const auto* b = static_cast<const unsigned char*>(PyUnicode_DATA(key));
        for (Py_ssize_t i = 0; i < 8; ++i) e.prefix = (e.prefix << 8) | (i < n ? b[i] : 0);
    }
    return e;
}

bool entry_less(const Entry& a, const Entry& b) {
    if (a.one_byte && b.one_byte && a.prefix != b.prefix) return a.prefix < b.prefix;
    return str_less(a.key, b.key);
}

bool write_leaf(TextBuffer& out, PyObject* v) {
    // The exact types first: one compare each instead of a flags test.
    const PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) write_string(out, v);
    else if (type == &PyLong_Type) write_int(out, v);
    else if (type == &PyFloat_Type) write_float(out, v);
    else if (PyUnicode_Check(v)) write_string(out, v);
    else if (v == Py_None) out.append("null", 4);
    else if (v == Py_True) out.append("true", 4);
    else if (v == Py_False) out.append("false", 5);
    else if (PyLong_Check(v)) write_int(out, v);
    else if (PyFloat_Check(v)) write_float(out, v);
    else return false;
    return true;
}

std::size_t skip(const Tape& tape, std::size_t i) {
    const Tok& t = tape[i];
    return (t.kind == Tok::List || t.kind == Tok::Dict) ? t.end : i + 1;
}

// Dicts with more keys or more key text than this are sorted each time.
constexpr std::size_t kShapeKeys = 64, kShapeBytes = 4096;

// Stable, so that among equal keys the entry assigned last comes last and
// wins, as assignment into the copy does. Dicts are mostly small: insertion
// sort without allocation, a merge sort beyond.
void sort_entries(Entry* e, std::size_t n) {
    if (n <= 24) {
        for (std::size_t a = 1; a < n; ++a) {
            Entry x = e[a];
            std::size_t b = a;
            for (; b > 0 && entry_less(x, e[b - 1]); --b) e[b] = e[b - 1];
            e[b] = x;
        }
    } else {
        std::stable_sort(e, e + n, entry_less);
    }
}

// In sorted order, an entry not less than the next has its key.
bool superseded(const Entry* e, std::size_t k, std::size_t n) { return k + 1 < n && !entry_less(e[k], e[k + 1]); }

// Writes the tape. `slots` and `entries` are stacks of the open dicts' keys.
class Writer {
public:
    Writer(TextBuffer& out, const Tape& tape, WriterScratch& s) : out_(out), tape_(tape), s_(s), epoch_(++s.epoch) {}

    bool value(std::size_t& i) {
        const Tok& t = tape_[i];
        switch (t.kind) {
            case Tok::Leaf: ++i; return write_leaf(out_, t.obj);
            case Tok::List: {
                const std::size_t end = t.end;
                ++i;
                out_.push('[');
                for (bool first = true; i < end; first = false) {
                    if (!first) out_.push(',');
                    if (!value(i)) return false;
                }
                out_.push(']');
                return true;
            }
            case Tok::Dict: return dict(i);
            default: return false;
        }
    }

private:
    PyObject* key(std::size_t base, std::size_t w) const { return tape_[s_.slots[base + w]].obj; }

    bool dict(std::size_t& i) {
        const std::size_t end = tape_[i].end;
        const std::size_t base = s_.slots.size();
        for (std::size_t j = i + 1; j < end; j = skip(tape_, j + 1)) s_.slots.push_back(j);
        const std::size_t n = s_.slots.size() - base;
        i = end;
        if (n == 0) {
            out_.append("{}", 2);
            return true;
        }
        const KeyShape* shape = nullptr;
        if (depth_ < WriterScratch::kDepths && n <= kShapeKeys) {
            shape = find_shape(base, n);
            if (!shape) shape = record_shape(base, n);
        }
        ++depth_;
        const bool ok = shape ? write_shaped(*shape, base) : write_sorted(base, n);
        --depth_;
        s_.slots.resize(base);
        return ok;
    }

    // A way of this depth whose keys have the text of this dict's, in order.
    const KeyShape* find_shape(std::size_t base, std::size_t n) {
        for (KeyShape& shape : s_.shapes[depth_]) {
            if (!shape.valid || shape.keys.size() != n || !same_keys(shape, base)) continue;
            shape.used = ++s_.ticks;
            return &shape;
        }
        return nullptr;
    }

    bool same_keys(KeyShape& shape, std::size_t base) {
        const bool live = shape.epoch == epoch_;
        for (std::size_t w = 0; w < shape.keys.size(); ++w) {
            PyObject* k = key(base, w);
            KeyShape::Key& known = shape.keys[w];
            if (k == known.obj && live) continue;
            if (PyUnicode_GET_LENGTH(k) != known.len || PyUnicode_KIND(k) != known.kind ||
                std::memcmp(PyUnicode_DATA(k), shape.raw.data() + known.raw, std::size_t(known.len) * known.kind) != 0)
                return false;
            // Same text: this object stands for the key from now on (the
            // others still have theirs, live or checked by text).
            known.obj = k;
        }
        shape.epoch = epoch_;
        return true;
    }

    // This dict's key order and text, in the least recently used way of its
    // depth; null when its keys are too many or too long to keep.
    const KeyShape* record_shape(std::size_t base, std::size_t n) {
        std::size_t units = 0;
        for (std::size_t w = 0; w < n; ++w) {
            PyObject* k = key(base, w);
            units += static_cast<std::size_t>(PyUnicode_GET_LENGTH(k)) * PyUnicode_KIND(k);
            if (units > kShapeBytes) return nullptr;
        }
        KeyShape* shape = &s_.shapes[depth_][0];
        for (KeyShape& way : s_.shapes[depth_])
            if (!way.valid || (shape->valid && way.used < shape->used)) shape = &way;
        shape->valid = false;
        shape->keys.clear();
        shape->raw.clear();
        shape->order.clear();
        shape->seg.clear();
        shape->text.clear();
        const std::size_t ebase = s_.entries.size();
        for (std::size_t w = 0; w < n; ++w) {
            PyObject* k = key(base, w);
            const int kind = PyUnicode_KIND(k);
            const Py_ssize_t len = PyUnicode_GET_LENGTH(k);
            shape->keys.push_back({k, static_cast<std::uint32_t>(shape->raw.size()), static_cast<std::uint32_t>(len),
                                   static_cast<std::uint8_t>(kind)});
            shape->raw.append(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<std::size_t>(len) * kind);
            s_.entries.push_back(make_entry(k, 0, static_cast<std::uint32_t>(w)));
        }
        Entry* e = s_.entries.data() + ebase;
        sort_entries(e, n);
        for (std::size_t k = 0; k < n; ++k) {
            if (superseded(e, k, n)) continue;
            shape->text.push(shape->order.empty() ? '{' : ',');
            write_string(shape->text, e[k].key);
            shape->text.push(':');
            shape->order.push_back(e[k].pos);
            shape->seg.push_back(static_cast<std::uint32_t>(shape->text.view().size()));
        }
        s_.entries.resize(ebase);
        // Keys go out in fixed 32-byte copies: the padding is there to be read.
        std::memset(shape->text.room(32), 0, 32);
        shape->epoch = epoch_;
        shape->used = ++s_.ticks;
        shape->valid = true;
        return shape;
    }

    bool write_shaped(const KeyShape& shape, std::size_t base) {
        const char* text = shape.text.view().data();
        std::uint32_t from = 0;
        for (std::size_t k = 0; k < shape.order.size(); ++k) {
            const std::size_t len = shape.seg[k] - from;
            char* p;
            if (len <= 32) {
                p = out_.room(32);
                std::memcpy(p, text + from, 32);
            } else {
                p = out_.room(len);
                std::memcpy(p, text + from, len);
            }
            out_.commit(p + len);
            from = shape.seg[k];
            // Indexing anew each time: nested dicts may grow the stack.
            std::size_t v = s_.slots[base + shape.order[k]] + 1;
            if (!value(v)) return false;
        }
        out_.push('}');
        return true;
    }

    bool write_sorted(std::size_t base, std::size_t n) {
        const std::size_t ebase = s_.entries.size();
        for (std::size_t w = 0; w < n; ++w)
            s_.entries.push_back(make_entry(key(base, w), s_.slots[base + w] + 1, static_cast<std::uint32_t>(w)));
        sort_entries(s_.entries.data() + ebase, n);
        out_.push('{');
        bool first = true;
        for (std::size_t k = 0; k < n; ++k) {
            // Indexing anew each time: nested dicts may grow the stack.
            const Entry* e = s_.entries.data() + ebase;
            if (superseded(e, k, n)) continue;
            if (!first) out_.push(',');
            first = false;
            write_string(out_, e[k].key);
            out_.push(':');
            std::size_t v = e[k].value;
            if (!value(v)) return false;
        }
        out_.push('}');
        s_.entries.resize(ebase);
        return true;
    }

    TextBuffer& out_;
    const Tape& tape_;
    WriterScratch& s_;
    const std::uint64_t epoch_;
    std::size_t depth_ = 0;  // open dicts
};

}  // namespace

bool write_canonical(TextBuffer& out, const Tape& tape, WriterScratch& scratch) {
    scratch.entries.clear();
    scratch.slots.clear();
    std::size_t i = 0;
    Writer writer(out, tape, scratch);
    return writer.value(i);
}

}  // namespace parity_watch
