#include "suggest.hpp"

#include <algorithm>
#include <cstdint>

namespace pyapi {

#if PY_VERSION_HEX >= 0x030D0000
namespace {

// The interpreter's weighted edit distance: a case flip costs 1, any other
// edit 2, and candidates more than a third different are dropped.
constexpr Py_ssize_t kMoveCost = 2;
constexpr Py_ssize_t kCaseCost = 1;
constexpr Py_ssize_t kMaxStringSize = 40;
constexpr Py_ssize_t kMaxCandidates = 750;

Py_ssize_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

Py_ssize_t distance(const char* a, Py_ssize_t a_size, const char* b, Py_ssize_t b_size, Py_ssize_t max_cost) {
    if (a == b) return 0;
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) std::swap(a, b), std::swap(a_size, b_size);
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    Py_ssize_t buffer[kMaxStringSize];
    Py_ssize_t tmp = kMoveCost;
    for (Py_ssize_t i = 0; i < a_size; ++i, tmp += kMoveCost) buffer[i] = tmp;
    Py_ssize_t result = 0;
    for (Py_ssize_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        Py_ssize_t dist = result = bi * kMoveCost;
        Py_ssize_t minimum = PY_SSIZE_T_MAX;
        for (Py_ssize_t i = 0; i < a_size; ++i) {
            Py_ssize_t substitute = dist + substitution_cost(code, a[i]);
            dist = buffer[i];
            Py_ssize_t insert_delete = std::min(result, dist) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

}  // namespace

Ref keyword_suggestion(PyObject* varnames, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(varnames);
    if (n == 0 || n >= kMaxCandidates) return {};
    Py_ssize_t name_size;
    const char* name = PyUnicode_AsUTF8AndSize(key, &name_size);
    if (!name) {
        PyErr_Clear();
        return {};
    }
    PyObject* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(varnames, i);
        if (PyUnicode_Compare(key, item) == 0) continue;
        Py_ssize_t item_size;
        const char* s = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (!s) {
            PyErr_Clear();
            return {};
        }
        Py_ssize_t max_distance = (name_size + item_size + 3) * kMoveCost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        Py_ssize_t d = distance(name, name_size, s, item_size, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) best = item, best_distance = d;
    }
    return Ref::borrow(best);
}
#else
Ref keyword_suggestion(PyObject*, PyObject*) { return {}; }
#endif

}  // namespace pyapi
