#include "call_site.hpp"

#include <structmember.h>

namespace sdk_telemetry {
namespace {

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    Py_VISIT(s->severity_default);  // the only field that is not plain text
    Py_VISIT(s->tag_keys);
    return 0;
}

int clear(PyObject* self) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    Py_CLEAR(s->name);
    Py_CLEAR(s->description);
    Py_CLEAR(s->message_template);
    Py_CLEAR(s->value_unit);
    Py_CLEAR(s->severity_default);
    Py_CLEAR(s->file);
    Py_CLEAR(s->tag_keys);
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
    Py_TYPE(self)->tp_free(self);
}

PyObject* repr(PyObject* self) noexcept {
    auto* s = reinterpret_cast<CallSiteObject*>(self);
    return PyUnicode_FromFormat("CallSite(name=%R, severity_default=%R, file=%R, line=%zd)",
                                s->name, s->severity_default, s->file, s->line);
}

#define CS_MEMBER(field, kind, doc) \
    {#field, kind, offsetof(CallSiteObject, field), READONLY, PyDoc_STR(doc)}

PyMemberDef members[] = {
    CS_MEMBER(name, T_OBJECT_EX, "The call site's name."),
    CS_MEMBER(description, T_OBJECT_EX, "What the call site reports."),
    CS_MEMBER(message_template, T_OBJECT_EX,
              "Message of each record; {key} placeholders are filled from its tags."),
    CS_MEMBER(value_unit, T_OBJECT_EX, "Unit of the records' values."),
    CS_MEMBER(severity_default, T_OBJECT_EX, "Severity of a record given without one."),
    CS_MEMBER(file, T_OBJECT_EX, "Source file of the call site."),
    CS_MEMBER(line, T_PYSSIZET, "Source line of the call site."),
    CS_MEMBER(tag_keys, T_OBJECT_EX, "The tag keys the call site declares (tuple of str)."),
    CS_MEMBER(lane, T_PYSSIZET, "The runtime lane that holds this call site's records."),
    {nullptr, 0, 0, 0, nullptr},
};

#undef CS_MEMBER

}  // namespace

// The head as the host initialises static types; the other slots are set
// by name when the type is readied.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject CallSiteType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void ready_call_site_type() {
    if (CallSiteType.tp_flags & Py_TPFLAGS_READY) return;
    CallSiteType.tp_name = "vantorel._sdk_telemetry.CallSite";
    CallSiteType.tp_basicsize = sizeof(CallSiteObject);
    CallSiteType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CallSiteType.tp_doc = PyDoc_STR(
        "Handle of a registered call site (made by TelemetryRuntime.register_call_site; "
        "read-only).");
    CallSiteType.tp_dealloc = pyapi::slot(dealloc);
    CallSiteType.tp_traverse = pyapi::slot(traverse);
    CallSiteType.tp_clear = pyapi::slot(clear);
    CallSiteType.tp_repr = pyapi::slot(repr);
    CallSiteType.tp_members = members;
    pyapi::check_status(PyType_Ready(&CallSiteType));
}

pyapi::Ref new_call_site(pyapi::Ref name, pyapi::Ref description, pyapi::Ref message_template,
                         pyapi::Ref value_unit, pyapi::Ref severity_default, pyapi::Ref file,
                         Py_ssize_t line, pyapi::Ref tag_keys, std::uint64_t owner,
                         Py_ssize_t lane, std::unique_ptr<MessageTemplate> message) {
    auto* s = PyObject_GC_New(CallSiteObject, &CallSiteType);
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
    return pyapi::Ref::steal(reinterpret_cast<PyObject*>(s));
}

}  // namespace sdk_telemetry
