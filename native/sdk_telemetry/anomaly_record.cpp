// `AnomalyRecord`: the records warn stores.
#include "telemetry.hpp"

#include <structmember.h>

#include <cmath>

namespace sdk_telemetry {
namespace {

AnomalyRecordObject* as_record(PyObject* o) { return reinterpret_cast<AnomalyRecordObject*>(o); }

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_record(self)->severity);
    Py_VISIT(as_record(self)->tags);
    return 0;
}

int clear(PyObject* self) noexcept {
    auto* r = as_record(self);
    for (PyObject** p : {&r->component, &r->call_site, &r->severity, &r->reason, &r->message, &r->tags}) Py_CLEAR(*p);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold it
}

PyObject* repr(PyObject* self) noexcept {
    return pyapi::guarded([&] {
        auto* r = as_record(self);
        pyapi::Ref value = pyapi::check(PyFloat_FromDouble(r->value));
        return pyapi::check(PyUnicode_FromFormat(
            "AnomalyRecord(component=%R, call_site=%R, severity=%R, value=%R, epoch_ns=%lld, "
            "reason=%R, message=%R, tags=%R)",
            r->component, r->call_site, r->severity, value.get(), r->epoch_ns, r->reason, r->message, r->tags));
    });
}

// 1 equal, 0 different, -1 error.
int fields_equal(AnomalyRecordObject* a, AnomalyRecordObject* b) noexcept {
    if (a->value != b->value || a->epoch_ns != b->epoch_ns) return 0;
    PyObject* pairs[][2] = {{a->component, b->component}, {a->call_site, b->call_site}, {a->severity, b->severity},
                            {a->reason, b->reason},       {a->message, b->message},     {a->tags, b->tags}};
    for (auto& p : pairs) {
        int eq = PyObject_RichCompareBool(p[0], p[1], Py_EQ);
        if (eq <= 0) return eq;
    }
    return 1;
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) noexcept {
    // A record of an earlier import of the module compares as one of ours.
    if ((op != Py_EQ && op != Py_NE) || (Py_TYPE(b) != Py_TYPE(a) && !made_by_us(b, &State::record_type))) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int eq = fields_equal(as_record(a), as_record(b));
    if (eq < 0) return nullptr;
    return PyBool_FromLong((op == Py_EQ) == (eq == 1));
}

Py_hash_t mix(Py_uhash_t acc, Py_uhash_t h) noexcept { return static_cast<Py_hash_t>(acc * 1000003u ^ h); }

Py_hash_t hash(PyObject* self) noexcept {
    auto* r = as_record(self);
    Py_uhash_t acc = 0x345678u;
    for (PyObject* o : {r->component, r->call_site, r->severity, r->reason, r->message}) {
        Py_hash_t h = PyObject_Hash(o);
        if (h == -1) return -1;
        acc = static_cast<Py_uhash_t>(mix(acc, static_cast<Py_uhash_t>(h)));
    }
    // NaN hashes by identity in the host; a record's hash must not change between calls.
    Py_hash_t hv = 0;
    if (!std::isnan(r->value)) {
        PyObject* v = PyFloat_FromDouble(r->value);
        if (!v) return -1;
        hv = PyObject_Hash(v);
        Py_DECREF(v);
    }
    acc = static_cast<Py_uhash_t>(mix(acc, static_cast<Py_uhash_t>(hv)));
    acc = static_cast<Py_uhash_t>(mix(acc, static_cast<Py_uhash_t>(r->epoch_ns)));
    // The tags in any order: an order-independent sum over the entries.
    Py_uhash_t tags = 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(r->tags, &pos, &k, &v)) {
        Py_hash_t hk = PyObject_Hash(k), hvv = PyObject_Hash(v);
        if (hk == -1 || hvv == -1) return -1;
        tags += static_cast<Py_uhash_t>(mix(static_cast<Py_uhash_t>(hk), static_cast<Py_uhash_t>(hvv)));
    }
    Py_hash_t result = mix(acc, tags);
    return result == -1 ? -2 : result;
}

PyObject* get_tags(PyObject* self, void*) noexcept { return PyDict_Copy(as_record(self)->tags); }

PyMemberDef members[] = {
    PYAPI_MEMBER(AnomalyRecordObject, component, T_OBJECT_EX, "Component of the runtime that stored the record."),
    PYAPI_MEMBER(AnomalyRecordObject, call_site, T_OBJECT_EX, "Name of the call site that reported it."),
    PYAPI_MEMBER(AnomalyRecordObject, severity, T_OBJECT_EX, "The record's Severity."),
    PYAPI_MEMBER(AnomalyRecordObject, value, T_DOUBLE, "The reported value."),
    PYAPI_MEMBER(AnomalyRecordObject, epoch_ns, T_LONGLONG, "Time of the anomaly, nanoseconds since the epoch."),
    PYAPI_MEMBER(AnomalyRecordObject, reason, T_OBJECT_EX, "The reported reason text."),
    PYAPI_MEMBER(AnomalyRecordObject, message, T_OBJECT_EX, "The call site's message template filled from the tags."),
    PYAPI_MEMBER(AnomalyRecordObject, sequence, T_ULONGLONG,
                 "Insertion number within the runtime (increasing across all lanes)."),
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"tags", pyapi::slot(get_tags), nullptr, PyDoc_STR("The record's tags: a new dict (str to str) on every read."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("One anomaly stored by TelemetryRuntime.warn (read-only). Records compare "
                                  "and hash by value; the insertion sequence takes no part.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pyapi::slot(dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyapi::slot(traverse))},
    {Py_tp_clear, reinterpret_cast<void*>(pyapi::slot(clear))},
    {Py_tp_repr, reinterpret_cast<void*>(pyapi::slot(repr))},
    {Py_tp_richcompare, reinterpret_cast<void*>(pyapi::slot(richcompare))},
    {Py_tp_hash, reinterpret_cast<void*>(pyapi::slot(hash))},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec record_spec = {
    "vantorel._sdk_telemetry.AnomalyRecord", sizeof(AnomalyRecordObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

AnomalyRecordObject* new_anomaly_record(State& state, RecordFields&& f) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.record_type.get());
    auto* r = PyObject_GC_New(AnomalyRecordObject, type);  // holds its type
    if (!r) pyapi::raise();
    r->component = f.component.release();
    r->call_site = f.call_site.release();
    r->severity = f.severity.release();
    r->value = f.value;
    r->epoch_ns = f.epoch_ns;
    r->reason = f.reason.release();
    r->message = f.message.release();
    r->tags = f.tags.release();
    r->sequence = 0;
    PyObject_GC_Track(r);
    return r;
}

}  // namespace sdk_telemetry
