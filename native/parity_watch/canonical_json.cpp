#include "canonical_json.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace parity_watch {

Ref node_to_python(const Node& node) {
    switch (node.kind) {
        case Node::Leaf:
        case Node::Object:
            return node.obj;
        case Node::List: {
            Ref list = pyapi::check(PyList_New(static_cast<Py_ssize_t>(node.items.size())));
            for (size_t i = 0; i < node.items.size(); ++i)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                                node_to_python(node.items[i]).release());
            return list;
        }
        case Node::Dict: {
            Ref dict = pyapi::check(PyDict_New());
            for (size_t i = 0; i < node.items.size(); ++i) {
                Ref v = node_to_python(node.items[i]);
                pyapi::check_status(PyDict_SetItem(dict.get(), node.keys[i].get(), v.get()));
            }
            return dict;
        }
    }
    return Ref();
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
    for (Py_ssize_t i = 0; i < n; ++i) {
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

}  // namespace

bool write_canonical(std::string& out, const Node& node) {
    switch (node.kind) {
        case Node::Object:
            return false;
        case Node::Leaf: {
            PyObject* v = node.obj.get();
            if (v == Py_None) out.append("null");
            else if (v == Py_True) out.append("true");
            else if (v == Py_False) out.append("false");
            else if (PyUnicode_Check(v)) write_string(out, v);
            else if (PyLong_Check(v)) write_int(out, v);
            else if (PyFloat_Check(v)) write_float(out, v);
            else return false;
            return true;
        }
        case Node::List: {
            out.push_back('[');
            for (size_t i = 0; i < node.items.size(); ++i) {
                if (i) out.push_back(',');
                if (!write_canonical(out, node.items[i])) return false;
            }
            out.push_back(']');
            return true;
        }
        case Node::Dict: {
            std::vector<size_t> order(node.keys.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                return str_less(node.keys[a].get(), node.keys[b].get());
            });
            out.push_back('{');
            bool first = true;
            for (size_t i : order) {
                if (!first) out.push_back(',');
                first = false;
                write_string(out, node.keys[i].get());
                out.push_back(':');
                if (!write_canonical(out, node.items[i])) return false;
            }
            out.push_back('}');
            return true;
        }
    }
    return false;
}

}  // namespace parity_watch
