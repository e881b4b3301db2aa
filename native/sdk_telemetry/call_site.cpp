// `CallSite`: the handles of registered call sites.
#include "telemetry.hpp"

#include <structmember.h>

namespace sdk_telemetry {
namespace {

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->severity_default);  // the only field that is not plain text
    Py_VISIT(s->tag_keys);
    return 0;
}

int clear(PyObject* self) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    for (PyObject** p : {&s->name, &s->description, &s->message_template, &s->value_unit, &s->severity_default,
                         &s->file, &s->tag_keys})
        Py_CLEAR(*p);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear(self);
    // Only here, not in clear: warn reads it, and it holds no references that
    // could take part in a cycle (plain str only).
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    delete s->message;
    s->message = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold it
}

PyObject* repr(PyObject* self) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    return PyUnicode_FromFormat("CallSite(name=%R, severity_default=%R, file=%R, line=%zd)", s->name,
                                s->severity_default, s->file, s->line);
}

PyMemberDef members[] = {
    PYAPI_MEMBER(CallSiteObject, name, T_OBJECT_EX, "The call site's name."),
    PYAPI_MEMBER(CallSiteObject, description, T_OBJECT_EX, "What the call site reports."),
    PYAPI_MEMBER(CallSiteObject, message_template, T_OBJECT_EX,
                 "Message of each record; {key} placeholders are filled from its tags."),
    PYAPI_MEMBER(CallSiteObject, value_unit, T_OBJECT_EX, "Unit of the records' values."),
    PYAPI_MEMBER(CallSiteObject, severity_default, T_OBJECT_EX, "Severity of a record given without one."),
    PYAPI_MEMBER(CallSiteObject, file, T_OBJECT_EX, "Source file of the call site."),
    PYAPI_MEMBER(CallSiteObject, line, T_PYSSIZET, "Source line of the call site."),
    PYAPI_MEMBER(CallSiteObject, tag_keys, T_OBJECT_EX, "The tag keys the call site declares (tuple of str)."),
    PYAPI_MEMBER(CallSiteObject, lane, T_PYSSIZET, "The runtime lane that holds this call site's records."),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Handle of a registered call site (made by "
                                  "TelemetryRuntime.register_call_site; read-only).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pyapi::slot(dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyapi::slot(traverse))},
    {Py_tp_clear, reinterpret_cast<void*>(pyapi::slot(clear))},
    {Py_tp_repr, reinterpret_cast<void*>(pyapi::slot(repr))},
    {Py_tp_members, members},
    {0, nullptr},
};

}  // namespace

PyType_Spec call_site_spec = {
    "vantorel._sdk_telemetry.CallSite", sizeof(CallSiteObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

Ref new_call_site(State& state, Ref name, Ref description, Ref message_template, Ref value_unit, Ref severity_default,
                  Ref file, Py_ssize_t line, Ref tag_keys, std::uint64_t owner, Py_ssize_t lane,
                  std::unique_ptr<MessageTemplate> message) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.call_site_type.get());
    auto* s = PyObject_GC_New(CallSiteObject, type);  // holds its type
    if (!s) pyapi::raise();
    s->name = name.release();
    s->description = description.release();
    s->message_template = message_template.release();
    s->value_unit = value_unit.release();
    s->severity_default = severity_default.release();
    s->file = file.release();
    s->tag_keys = tag_keys.release();
    s->line = line;
    s->owner = owner;
    s->lane = lane;
    s->message = message.release();
    PyObject_GC_Track(s);
    return Ref::steal(reinterpret_cast<PyObject*>(s));
}

}  // namespace sdk_telemetry
