// `TelemetryRuntime`: call-site registration and bounded anomaly rings.
#include <cstring>

#include "telemetry.hpp"

#include <structmember.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "pyapi/ops.hpp"
#include "rings.hpp"

namespace sdk_telemetry {
namespace {

// More lanes than call sites buy nothing; the bound keeps a mistyped count
// from reserving gigabytes up front.
constexpr Py_ssize_t kMaxLanes = 4096;

struct RuntimeObject {
    PyObject_HEAD
    PyObject* component;  // exact str
    Py_ssize_t lanes;
    Py_ssize_t ring_capacity;
    std::uint64_t serial;
    Rings* rings;
};

RuntimeObject* as_runtime(PyObject* o) { return reinterpret_cast<RuntimeObject*>(o); }

// ---- argument checks -------------------------------------------------------

pyapi::Ref text_arg(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value))
        pyapi::raise_format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(value)->tp_name);
    pyapi::Ref text = pyapi::check(PyUnicode_FromObject(value));  // a plain str of a subclass
    pyapi::ensure_ready(text.get());
    return text;
}

// An int as message text. Past the host's digit limit repr() itself raises, which would
// replace the error being reported; such a value is described by its size instead.
pyapi::Ref int_text(PyObject* value) {
    if (PyObject* text = PyObject_Repr(value)) return pyapi::Ref::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) pyapi::raise();
    PyErr_Clear();
    pyapi::Ref bits = pyapi::check(PyObject_CallMethod(value, "bit_length", nullptr));
    return pyapi::check(PyUnicode_FromFormat("an int of %S bits", bits.get()));
}

// An integer (anything with __index__ except bool), as a Py_ssize_t >= `minimum`.
Py_ssize_t count_arg(PyObject* value, const char* what, Py_ssize_t minimum, const char* bound) {
    if (PyBool_Check(value) || !PyIndex_Check(value))
        pyapi::raise_format(PyExc_TypeError, "%s must be an int, not %.200s", what, Py_TYPE(value)->tp_name);
    pyapi::Ref index = pyapi::check(PyNumber_Index(value));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) pyapi::raise();
    if (overflow < 0 || (overflow == 0 && n < minimum))
        pyapi::raise_format(PyExc_ValueError, "%s must be %s, got %U", what, bound, int_text(index.get()).get());
    if (overflow > 0 || n > std::numeric_limits<Py_ssize_t>::max())
        pyapi::raise_format(PyExc_OverflowError, "%s is too large: %U", what, int_text(index.get()).get());
    return static_cast<Py_ssize_t>(n);
}

// ---- construction ----------------------------------------------------------

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return pyapi::guarded([&] {
        State* state = state_of_type(type);  // `type` may be a subclass
        if (!state) pyapi::raise();
        pyapi::Bound bound;
        pyapi::bind(state->new_sig, args, kwargs, bound);
        PyObject* const* a = bound.slots;
        pyapi::Ref component = text_arg(a[0], "component");
        Py_ssize_t lanes = count_arg(a[1], "lanes", 1, "a positive int");
        if (lanes > kMaxLanes)
            pyapi::raise_format(PyExc_ValueError, "lanes must be at most %zd, got %zd", kMaxLanes, lanes);
        Py_ssize_t capacity = count_arg(a[2], "ring_capacity", 1, "a positive int");
        pyapi::Ref self = pyapi::check(type->tp_alloc(type, 0));
        RuntimeObject* rt = as_runtime(self.get());
        rt->rings = new Rings(static_cast<std::size_t>(lanes), static_cast<std::size_t>(capacity));
        rt->component = component.release();
        rt->lanes = lanes;
        rt->ring_capacity = capacity;
        rt->serial = state->next_serial.fetch_add(1, std::memory_order_relaxed);
        return self;
    });
}

// ---- records out -----------------------------------------------------------

// One record at a time: collect() would allocate, and a clear or a deallocation
// must work when no memory is left.
int runtime_clear(PyObject* self) noexcept {
    RuntimeObject* rt = as_runtime(self);
    if (!rt->rings) return 0;
    while (AnomalyRecordObject* r = rt->rings->pop_one()) Py_DECREF(r);
    return 0;
}

int runtime_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    RuntimeObject* rt = as_runtime(self);
    Py_VISIT(Py_TYPE(self));
    if (!rt->rings) return 0;
    return rt->rings->visit([&](AnomalyRecordObject* r) {
        Py_VISIT(r);
        return 0;
    });
}

void runtime_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    RuntimeObject* rt = as_runtime(self);
    runtime_clear(self);
    delete rt->rings;
    rt->rings = nullptr;
    Py_CLEAR(rt->component);
    PyTypeObject* type = Py_TYPE(self);  // a subclass's too: its dealloc leaves it to us
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods ---------------------------------------------------------------

pyapi::Ref tag_keys_arg(PyObject* value) {
    if (PyUnicode_Check(value)) {
        pyapi::raise(PyExc_TypeError, "tag_keys must be an iterable of str, not a single str");
    }
    pyapi::Ref items = pyapi::check(PySequence_Tuple(value));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    pyapi::Ref keys = pyapi::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item))
            pyapi::raise_format(PyExc_TypeError, "tag_keys items must be str, not %.200s", Py_TYPE(item)->tp_name);
        PyTuple_SET_ITEM(keys.get(), i, pyapi::check(PyUnicode_FromObject(item)).release());
    }
    return keys;
}

// The methods take their module's state from their defining class
// (METH_METHOD): a subclass's instance reaches the same state.
PyObject* register_call_site(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargs,
                             PyObject* kwnames) noexcept {
    return pyapi::guarded([&] {
        RuntimeObject* rt = as_runtime(self);
        State& state = state_of_class(cls);
        pyapi::Bound bound;
        pyapi::bind(state.register_sig, args, static_cast<Py_ssize_t>(nargs), kwnames, bound);
        PyObject* const* a = bound.slots;
        pyapi::Ref name = text_arg(a[0], "name");
        pyapi::Ref description = text_arg(a[1], "description");
        pyapi::Ref message_template = text_arg(a[2], "message_template");
        pyapi::Ref value_unit = text_arg(a[3], "value_unit");
        pyapi::Ref severity = coerce_severity(state, a[4]);
        pyapi::Ref file = text_arg(a[5], "file");
        Py_ssize_t line = count_arg(a[6], "line", 0, "a non-negative int");
        pyapi::Ref tag_keys = tag_keys_arg(a[7]);
        auto message = std::make_unique<MessageTemplate>(message_template.get());
        auto lane = static_cast<Py_ssize_t>(stable_name_hash(name.get()) % static_cast<std::uint64_t>(rt->lanes));
        return new_call_site(state, std::move(name), std::move(description), std::move(message_template),
                             std::move(value_unit), std::move(severity), std::move(file), line, std::move(tag_keys),
                             rt->serial, lane, std::move(message));
    });
}

long long epoch_arg(PyObject* value) {
    if (PyBool_Check(value) || !PyLong_Check(value))
        pyapi::raise_format(PyExc_TypeError, "epoch_ns must be an int, not %.200s", Py_TYPE(value)->tp_name);
    int overflow = 0;
    // Reads the digits (no __index__ of a subclass), without the byte-array
    // detour that PyLong_AsLongLong takes for multi-digit values.
    long long ns = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) {
        pyapi::Ref shown = int_text(value);
        pyapi::raise_format(PyExc_OverflowError, "epoch_ns does not fit in 64 bits: %U", shown.get());
    }
    if (ns == -1 && PyErr_Occurred()) pyapi::raise();
    return ns;
}

PyObject* warn(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames) noexcept {
    return pyapi::guarded([&] {
        RuntimeObject* rt = as_runtime(self);
        State& state = state_of_class(cls);
        pyapi::Bound bound;
        pyapi::bind(state.warn_sig, args, static_cast<Py_ssize_t>(nargs), kwnames, bound);
        PyObject* const* a = bound.slots;
        // A handle of an earlier import of the module is another runtime's.
        const bool ours = reinterpret_cast<PyObject*>(Py_TYPE(a[0])) == state.call_site_type.get();
        if (!ours && !made_by_us(a[0], &State::call_site_type))
            pyapi::raise_format(PyExc_TypeError, "site must be a CallSite returned by register_call_site, not %.200s",
                                Py_TYPE(a[0])->tp_name);
        auto* site = reinterpret_cast<CallSiteObject*>(a[0]);
        if (!ours || site->owner != rt->serial)
            pyapi::raise_format(PyExc_ValueError, "call site %R was registered with another TelemetryRuntime",
                                site->name);
        double value = PyFloat_AsDouble(a[1]);
        if (value == -1.0 && PyErr_Occurred()) pyapi::raise();
        long long epoch_ns = epoch_arg(a[2]);
        pyapi::Ref reason = text_arg(a[3], "reason");
        pyapi::Ref tags = copy_tags(a[4]);
        pyapi::Ref severity = (a[5] && a[5] != Py_None) ? coerce_severity(state, a[5])
                                                        : pyapi::Ref::borrow(site->severity_default);
        pyapi::Ref message = site->message->fill(tags.get());
        pyapi::Ref record = pyapi::Ref::steal(reinterpret_cast<PyObject*>(new_anomaly_record(
            state, {pyapi::Ref::borrow(rt->component), pyapi::Ref::borrow(site->name), std::move(severity), value,
                    epoch_ns, std::move(reason), std::move(message), std::move(tags)})));
        auto* stored = reinterpret_cast<AnomalyRecordObject*>(record.get());
        AnomalyRecordObject* evicted = rt->rings->push(static_cast<std::size_t>(site->lane), stored);
        record.release();  // the ring owns it now
        Py_XDECREF(evicted);
        return pyapi::Ref::borrow(Py_True);
    });
}

// A snapshot (a tuple) or a drain (a list) of the held records.
pyapi::Ref hand_out(Rings& rings, bool drain) {
    std::vector<AnomalyRecordObject*> records = rings.collect(drain);
    const auto n = static_cast<Py_ssize_t>(records.size());
    PyObject* out = drain ? PyList_New(n) : PyTuple_New(n);
    if (!out) {
        // Out of the rings but not handed out: lost, so counted.
        if (drain) rings.add_dropped(records.size());
        for (AnomalyRecordObject* r : records) Py_DECREF(r);  // outside the lock: may run any code
        pyapi::raise();
    }
    PyObject** items = PySequence_Fast_ITEMS(out);
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = reinterpret_cast<PyObject*>(records[static_cast<std::size_t>(i)]);
    return pyapi::Ref::steal(out);
}

PyObject* snapshot_anomalies(PyObject* self, PyObject*) noexcept {
    return pyapi::guarded([&] { return hand_out(*as_runtime(self)->rings, false); });
}

PyObject* drain_anomalies(PyObject* self, PyObject*) noexcept {
    return pyapi::guarded([&] { return hand_out(*as_runtime(self)->rings, true); });
}

PyObject* get_dropped_count(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_runtime(self)->rings->dropped());
}

PyObject* runtime_repr(PyObject* self) noexcept {
    RuntimeObject* rt = as_runtime(self);
    // The (sub)class's name without its module, as the host's own reprs show it.
    const char* name = Py_TYPE(self)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return PyUnicode_FromFormat("%s(component=%R, lanes=%zd, ring_capacity=%zd)", name, rt->component, rt->lanes,
                                rt->ring_capacity);
}

// ---- type ------------------------------------------------------------------

PyMethodDef methods[] = {
    {"register_call_site", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pyapi::slot(register_call_site))),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("register_call_site($self, /, *, name, description, message_template, value_unit, "
               "severity_default, file, line, tag_keys)\n--\n\n"
               "Register a call site and return its handle (an immutable CallSite).\n\n"
               "Text arguments must be str; severity_default is a Severity (or its value);\n"
               "line is a non-negative int; tag_keys an iterable of str (kept as a tuple).\n"
               "A name may be registered any number of times: every call returns a new,\n"
               "independent handle, and all of them stay valid for warn. A call site's\n"
               "records go to lane stable_hash(name) % lanes (FNV-1a over the name's\n"
               "code points, the same in every process).")},
    {"warn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pyapi::slot(warn))),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("warn($self, site, value, *, epoch_ns, reason, tags, severity=None)\n--\n\n"
               "Store one AnomalyRecord for `site` and return True.\n\n"
               "value is converted with float(); epoch_ns is an int (not bool) that fits in\n"
               "64 bits; reason a str; tags a dict of str to str (copied); severity a\n"
               "Severity (or its value), None for the call site's severity_default. The\n"
               "record's message is the call site's template with each {key} whose key is\n"
               "a tag replaced by that tag's value; any other brace text stays as written.\n"
               "The record goes to the call site's lane; when that lane already holds\n"
               "ring_capacity records its oldest is evicted and counted in dropped_count.\n"
               "The result is True whenever the record was stored, evicting or not (an\n"
               "eviction drops an older record, not this one); bad arguments raise\n"
               "TypeError or ValueError (a handle of another runtime: ValueError) and\n"
               "store nothing.")},
    {"snapshot_anomalies", pyapi::slot(snapshot_anomalies), METH_NOARGS,
     PyDoc_STR("snapshot_anomalies($self, /)\n--\n\n"
               "Return a tuple of the held records, oldest first across all lanes.")},
    {"drain_anomalies", pyapi::slot(drain_anomalies), METH_NOARGS,
     PyDoc_STR("drain_anomalies($self, /)\n--\n\n"
               "Remove every held record and return them as a list, oldest first.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    PYAPI_MEMBER(RuntimeObject, component, T_OBJECT_EX, "The component name given at construction."),
    PYAPI_MEMBER(RuntimeObject, lanes, T_PYSSIZET, "Number of lanes (rings)."),
    PYAPI_MEMBER(RuntimeObject, ring_capacity, T_PYSSIZET, "Records each lane holds before it evicts its oldest."),
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"dropped_count", pyapi::slot(get_dropped_count), nullptr,
     PyDoc_STR("Records evicted from a full lane so far (never reset by a drain)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The signature in the doc is what __text_signature__ and inspect read.
const char kRuntimeDoc[] =
    "TelemetryRuntime(*, component, lanes, ring_capacity)\n--\n\n"
    "In-process store of anomaly records: `lanes` bounded rings of `ring_capacity`\n"
    "records each. Thread-safe: warn, snapshot_anomalies and drain_anomalies may\n"
    "run concurrently and lose nothing; every eviction is counted.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kRuntimeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(pyapi::slot(runtime_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(pyapi::slot(runtime_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyapi::slot(runtime_traverse))},
    {Py_tp_clear, reinterpret_cast<void*>(pyapi::slot(runtime_clear))},
    {Py_tp_repr, reinterpret_cast<void*>(pyapi::slot(runtime_repr))},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec runtime_spec = {"vantorel._sdk_telemetry.TelemetryRuntime", sizeof(RuntimeObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                            slots};

}  // namespace sdk_telemetry
