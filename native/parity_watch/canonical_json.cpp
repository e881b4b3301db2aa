#include "canonical_json.hpp"

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

void escape_unit(std::string& out, Py_UCS4 c) {
    char buf[6] = {'\\', 'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf],
                   kHex[c & 0xf]};
    out.append(buf, 6);
}

// The ASCII-only string encoder of the host's json module.
void write_string(std::string& out, PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.push_back('"');
    Py_ssize_t i = 0;
    if (kind == PyUnicode_1BYTE_KIND) {
        // Runs of printable ASCII go out as they are.
        const auto* bytes = static_cast<const unsigned char*>(data);
        Py_ssize_t run = 0;
        while (run < n && bytes[run] >= ' ' && bytes[run] <= '~' && bytes[run] != '\\' &&
               bytes[run] != '"')
            ++run;
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(run));
        i = run;
    }
    for (; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out.push_back(static_cast<char>(c));
            continue;
        }
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '"': out.append("\\\""); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (c >= 0x10000) {
                    c -= 0x10000;
                    escape_unit(out, 0xd800 | ((c >> 10) & 0x3ff));
                    escape_unit(out, 0xdc00 | (c & 0x3ff));
                } else {
                    escape_unit(out, c);
                }
        }
    }
    out.push_back('"');
}

void write_int(std::string& out, PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) pyapi::raise();
    if (!overflow) {
        char buf[24];
        char* end = buf + sizeof buf;
        char* p = end;
        unsigned long long u = x < 0 ? 0ULL - static_cast<unsigned long long>(x)
                                     : static_cast<unsigned long long>(x);
        do {
            *--p = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (x < 0) *--p = '-';
        out.append(p, static_cast<size_t>(end - p));
        return;
    }
    // int.__repr__ itself, so that the host's digit limit raises its own ValueError.
    Ref text = pyapi::check(PyLong_Type.tp_repr(v));
    Py_ssize_t len;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!s) pyapi::raise();
    out.append(s, static_cast<size_t>(len));
}

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L && !defined(__APPLE__)
#define PARITY_WATCH_TO_CHARS 1
#endif

#ifdef PARITY_WATCH_TO_CHARS
// float.__repr__ from the shortest round-trip digits (the same digits the
// host's repr finds: shortest, then nearest), laid out by repr's own rules:
// exponent form when the decimal point falls before the 4th leading zero or
// beyond 16 digits, "e+16"/"e-05" exponents, ".0" on integral values.
bool write_finite_float(std::string& out, double x) {
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    if (r.ec != std::errc()) return false;
    const char* p = sci;
    const char* end = r.ptr;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[24];
    int n = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    if (p == end) return false;
    int exp10 = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exp10);
    const int decpt = exp10 + 1;
    if (decpt <= -4 || decpt > 16) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<size_t>(n - 1));
        }
        const int e = decpt - 1;
        out.push_back('e');
        out.push_back(e < 0 ? '-' : '+');
        const int a = e < 0 ? -e : e;
        if (a < 10) out.push_back('0');
        char eb[8];
        auto er = std::to_chars(eb, eb + sizeof eb, a);
        out.append(eb, er.ptr);
    } else if (decpt <= 0) {
        out.append("0.");
        out.append(static_cast<size_t>(-decpt), '0');
        out.append(digits, static_cast<size_t>(n));
    } else if (decpt >= n) {
        out.append(digits, static_cast<size_t>(n));
        out.append(static_cast<size_t>(decpt - n), '0');
        out.append(".0");
    } else {
        out.append(digits, static_cast<size_t>(decpt));
        out.push_back('.');
        out.append(digits + decpt, static_cast<size_t>(n - decpt));
    }
    return true;
}
#endif

void write_float(std::string& out, PyObject* v) {
    double x = PyFloat_AS_DOUBLE(v);
    if (std::isnan(x)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(x)) {
        out.append(x > 0 ? "Infinity" : "-Infinity");
        return;
    }
#ifdef PARITY_WATCH_TO_CHARS
    const size_t mark = out.size();
    if (write_finite_float(out, x)) return;
    out.resize(mark);
#endif
    char* s = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) pyapi::raise();
    out.append(s);
    PyMem_Free(s);
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

bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}


bool write_leaf(std::string& out, PyObject* v) {
    if (v == Py_None) out.append("null");
    else if (v == Py_True) out.append("true");
    else if (v == Py_False) out.append("false");
    else if (PyUnicode_Check(v)) write_string(out, v);
    else if (PyLong_Check(v)) write_int(out, v);
    else if (PyFloat_Check(v)) write_float(out, v);
    else return false;
    return true;
}

std::size_t skip(const Tape& tape, std::size_t i) {
    const Tok& t = tape[i];
    return (t.kind == Tok::List || t.kind == Tok::Dict) ? t.end : i + 1;
}

// Writes the tape; `entries` is a stack of the open dicts' sorted entries.
class Writer {
public:
    Writer(std::string& out, const Tape& tape, std::vector<Entry>& entries)
        : out_(out), tape_(tape), entries_(entries) {}

    bool value(std::size_t& i) {
        const Tok& t = tape_[i];
        switch (t.kind) {
            case Tok::Leaf:
                ++i;
                return write_leaf(out_, t.obj);
            case Tok::List: {
                const std::size_t end = t.end;
                ++i;
                out_.push_back('[');
                bool first = true;
                while (i < end) {
                    if (!first) out_.push_back(',');
                    first = false;
                    if (!value(i)) return false;
                }
                out_.push_back(']');
                return true;
            }
            case Tok::Dict:
                return dict(i);
            default:
                return false;
        }
    }

private:
    bool dict(std::size_t& i) {
        const std::size_t end = tape_[i].end;
        const std::size_t base = entries_.size();
        for (std::size_t j = i + 1; j < end;) {
            entries_.push_back({tape_[j].obj, j + 1});
            j = skip(tape_, j + 1);
        }
        Entry* e = entries_.data() + base;
        const std::size_t n = entries_.size() - base;
        // Stable, so that among equal keys the entry assigned last comes last
        // and wins, as assignment into the copy does. Dicts are mostly small:
        // insertion sort without allocation, a merge sort beyond.
        if (n <= 24) {
            for (std::size_t a = 1; a < n; ++a) {
                Entry x = e[a];
                std::size_t b = a;
                for (; b > 0 && str_less(x.key, e[b - 1].key); --b) e[b] = e[b - 1];
                e[b] = x;
            }
        } else {
            std::stable_sort(e, e + n,
                             [](const Entry& a, const Entry& b) { return str_less(a.key, b.key); });
        }
        out_.push_back('{');
        bool first = true;
        for (std::size_t k = 0; k < n; ++k) {
            // Indexing anew each time: nested dicts may grow the stack.
            PyObject* key = entries_[base + k].key;
            if (k + 1 < n && str_equal(key, entries_[base + k + 1].key)) continue;
            if (!first) out_.push_back(',');
            first = false;
            write_string(out_, key);
            out_.push_back(':');
            std::size_t v = entries_[base + k].value;
            if (!value(v)) return false;
        }
        out_.push_back('}');
        entries_.resize(base);
        i = end;
        return true;
    }

    std::string& out_;
    const Tape& tape_;
    std::vector<Entry>& entries_;
};

}  // namespace

bool write_canonical(std::string& out, const Tape& tape, std::vector<Entry>& entries) {
    entries.clear();
    std::size_t i = 0;
    Writer writer(out, tape, entries);
    return writer.value(i);
}

}  // namespace parity_watch
