#include "function.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include <structmember.h>

#include "binding.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace pyapi {
namespace {

Ref run(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // Keep the function alive: a body may rebind the very global that held
    // it. Deferred (free-threaded builds), it lives on anyway until the
    // collector finds no caller's frame holding it, and a count taken here
    // would have every thread calling it write to one cache line.
#if !PYAPI_FUNCTIONS_DEFERRED
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(f));
#endif
    PYAPI_ASSERT(f->def && f->def->body && f->state);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == f->argcount + f->kwonlycount && f->kwonlycount == 0) return f->def->body(*f, args);
    // Held for the call: a keyword compared by value runs caller code, which
    // may rebind any of them (as may another thread, hence read under the
    // function's lock, the one its setters take).
    Ref qualname, defaults, kwdefaults;
    {
        CriticalSection lock(reinterpret_cast<PyObject*>(f));
        qualname = Ref::borrow(f->qualname);
        defaults = Ref::borrow(f->defaults);
        kwdefaults = Ref::borrow(f->kwdefaults);
    }
    const Signature sig{.qualname = qualname.get(),
                        .names = f->varnames,
                        .argcount = f->argcount,
                        .kwonlycount = f->kwonlycount,
                        .defaults = defaults.get(),
                        .kwdefaults = kwdefaults.get()};
    Bound b;
    bind(sig, args, nargs, kwnames, b);
    return f->def->body(*f, b.slots);
}

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    return guarded([&] { return run(f, args, nargsf, kwnames); });
}

// ---------------------------------------------------------------- type slots

using Field = PyObject* FunctionObject::*;
// tp_clear drops these; the name fields (plain str) stay until deallocation.
constexpr Field kClearable[] = {&FunctionObject::globals,     &FunctionObject::module,   &FunctionObject::doc,
                                &FunctionObject::annotations, &FunctionObject::defaults, &FunctionObject::kwdefaults,
                                &FunctionObject::dict,        &FunctionObject::code};
constexpr Field kNames[] = {&FunctionObject::name, &FunctionObject::qualname, &FunctionObject::varnames};

int fn_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    for (Field m : kClearable) Py_VISIT(f->*m);
    for (Field m : kNames) Py_VISIT(f->*m);
    return 0;
}

int fn_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    for (Field m : kClearable) Py_CLEAR(f->*m);
    return 0;
}

void fn_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    for (Field m : kNames) Py_CLEAR(f->*m);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// A field another thread may rebind, read under the function's lock.
Ref read_field(PyObject* self, PyObject* FunctionObject::*field) noexcept {
    CriticalSection lock(self);
    return Ref::borrow(reinterpret_cast<FunctionObject*>(self)->*field);
}

PyObject* fn_repr(PyObject* self) noexcept {
    Ref qualname = read_field(self, &FunctionObject::qualname);
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

FunctionObject* as_fn(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

// The attributes a Python function lets callers rebind, with the checks and
// texts of the host's own setters (the attribute name rides in the closure).
enum class Accepts { anything, str, tuple_or_none, dict_or_none };

// The getters and setters take the function's lock: without a GIL a getter
// could otherwise take a reference to a value a setter is freeing.
template <Field F>
PyObject* get_field(PyObject* s, void*) noexcept {
    Ref v = read_field(s, F);
    return v ? v.release() : Py_NewRef(Py_None);
}

// Stores `v` (a new reference or nullptr) in the field; the old value is
// released after the lock, as releasing it may run caller code.
void swap_field(PyObject* s, Field field, PyObject* v) noexcept {
    PyObject* old;
    {
        CriticalSection lock(s);
        old = std::exchange(as_fn(s)->*field, v);
    }
    Py_XDECREF(old);
}

template <Field F, Accepts A>
int set_field(PyObject* s, PyObject* v, void* closure) noexcept {
    const char* what = static_cast<const char*>(closure);
    if (A == Accepts::str && (!v || !PyUnicode_Check(v))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    if (A == Accepts::tuple_or_none || A == Accepts::dict_or_none) {
        if (v == Py_None) v = nullptr;
        const bool tuple = A == Accepts::tuple_or_none;
        if (v && !(tuple ? PyTuple_Check(v) : PyDict_Check(v))) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, tuple ? "tuple" : "dict");
            return -1;
        }
    }
    swap_field(s, F, Py_XNewRef(v));
    return 0;
}

// Made on first request; two threads asking at once agree on one object.
// `make` runs outside the lock (it may call into Python).
template <class Make>
PyObject* made_once(PyObject* s, Field field, Make&& make) noexcept {
    if (Ref v = read_field(s, field)) return v.release();
    Ref made = Ref::steal(make());
    if (!made) return nullptr;
    CriticalSection lock(s);
    PyObject*& slot = as_fn(s)->*field;
    if (!slot) slot = Py_NewRef(made.get());
    return Py_NewRef(slot);  // `made` (released after the lock) is dropped if another thread won
}

PyObject* get_annotations(PyObject* s, void*) noexcept {
    return made_once(s, &FunctionObject::annotations, [] { return PyDict_New(); });
}

// A code object describing the parameters, so that inspect reads the
// signature the way it reads a Python function's.
Ref make_code(FunctionObject* f) {
    PyCodeObject* empty = PyCode_NewEmpty("<native>", f->def->name, 0);
    if (!empty) raise();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));
    Ref replace = check(PyObject_GetAttrString(code.get(), "replace"));
    Ref kw = check(Py_BuildValue("{s:n,s:n,s:n,s:O,s:i}", "co_argcount", f->argcount, "co_kwonlyargcount",
                                 f->kwonlycount, "co_nlocals", f->argcount + f->kwonlycount, "co_varnames", f->varnames,
                                 "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    Ref args = check(PyTuple_New(0));
    return check(PyObject_Call(replace.get(), args.get(), kw.get()));
}

PyObject* get_code(PyObject* s, void*) noexcept {
    return made_once(s, &FunctionObject::code, [&] { return guarded([&] { return make_code(as_fn(s)); }); });
}

PyObject* fn_reduce(PyObject* self, PyObject*) noexcept { return get_field<&FunctionObject::qualname>(self, nullptr); }

#define PYAPI_FIELD(attr, field, accepts) \
    { \
        attr, slot(get_field<&FunctionObject::field>), slot(set_field<&FunctionObject::field, Accepts::accepts>), \
            nullptr, const_cast<char*>(attr) \
    }
PyGetSetDef fn_getset[] = {
    PYAPI_FIELD("__name__", name, str),
    PYAPI_FIELD("__qualname__", qualname, str),
    PYAPI_FIELD("__doc__", doc, anything),
    PYAPI_FIELD("__module__", module, anything),
    PYAPI_FIELD("__defaults__", defaults, tuple_or_none),
    PYAPI_FIELD("__kwdefaults__", kwdefaults, dict_or_none),
    {"__annotations__", slot(get_annotations), slot(set_field<&FunctionObject::annotations, Accepts::dict_or_none>),
     nullptr, const_cast<char*>("__annotations__")},
    {"__globals__", slot(get_field<&FunctionObject::globals>), nullptr, nullptr, nullptr},
    {"__code__", slot(get_code), nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef PYAPI_FIELD

PyMethodDef fn_methods[] = {
    {"__reduce__", slot(fn_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(slot(fn_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(slot(fn_traverse))},
    {Py_tp_clear, reinterpret_cast<void*>(slot(fn_clear))},
    {Py_tp_repr, reinterpret_cast<void*>(slot(fn_repr))},
    {Py_tp_descr_get, reinterpret_cast<void*>(slot(fn_descr_get))},
    {Py_tp_getset, fn_getset},
    {Py_tp_methods, fn_methods},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {"vantorel.native_function", sizeof(FunctionObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       fn_slots};

// The value of a default from its source text: the literals a declaration
// may spell (None, True, False, an int, a quoted str), else the value the
// defining body passed for that parameter.
Ref default_value(const Param& p, DefaultValues values) {
    for (const auto& [name, value] : values)
        if (std::strcmp(name, p.name) == 0) return Ref::borrow(value);
    const std::string_view text = p.default_text;
    if (text == "None") return Ref::borrow(Py_None);
    if (text == "True") return Ref::borrow(Py_True);
    if (text == "False") return Ref::borrow(Py_False);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
        return check(PyUnicode_FromStringAndSize(text.data() + 1, static_cast<Py_ssize_t>(text.size() - 2)));
    if (!text.empty() && text.find_first_not_of("-0123456789") == std::string_view::npos)
        return check(PyLong_FromString(p.default_text, nullptr, 10));
    raise_format(PyExc_SystemError, "no value given for the default of '%s'", p.name);
}

}  // namespace

std::string FunctionDef::qualname() const { return owner ? std::string(owner) + "." + name : std::string(name); }

std::string FunctionDef::signature_line() const {
    std::string line = qualname() + "(";
    bool first = true, starred = false;
    for (const Param& p : params) {
        if (!first) line += ", ";
        first = false;
        if (p.kwonly && !starred) {
            line += "*, ";
            starred = true;
        }
        line += p.name;
        if (p.annotation) line += std::string(": ") + p.annotation;
        if (p.default_text) line += std::string(p.annotation ? " = " : "=") + p.default_text;
    }
    line += ")";
    if (return_annotation) line += std::string(" -> ") + return_annotation;
    return line;
}

std::string FunctionDef::doc() const { return summary ? signature_line() + "\n" + summary : signature_line(); }

Ref make_function_type(PyObject* module) { return check(PyType_FromModuleAndSpec(module, &fn_spec, nullptr)); }

Ref make_function(const FunctionDef& def, PyObject* module, DefaultValues values) {
    if (def.params.size() > static_cast<size_t>(kMaxParams))
        raise(PyExc_SystemError, "too many parameters for a native function");
    ModuleState& state = layer_state(module);
    // The exec slot readies the layer's state before the body makes functions.
    PYAPI_ASSERT(state.function_type);
    Ref globals = Ref::borrow(PyModule_GetDict(module));
    if (!globals) raise();
    Ref module_name = check(PyObject_GetAttrString(module, "__name__"));
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    Ref annotations = check(PyDict_New());
    Ref positional_defaults = check(PyList_New(0));
    Ref kwdefaults;
    Py_ssize_t argcount = 0, kwonly = 0;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        Ref nm = check(PyUnicode_InternFromString(p.name));
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(nm.get()));
        (p.kwonly ? kwonly : argcount)++;
        if (p.annotation) {
            Ref text = new_str(p.annotation);
            check_status(PyDict_SetItem(annotations.get(), nm.get(), text.get()));
        }
        if (!p.default_text) {
            if (!p.kwonly && PyList_GET_SIZE(positional_defaults.get()))
                raise(PyExc_SystemError, "a required parameter follows a default");
            continue;
        }
        Ref value = default_value(p, values);
        if (p.kwonly) {
            if (!kwdefaults) kwdefaults = check(PyDict_New());
            check_status(PyDict_SetItem(kwdefaults.get(), nm.get(), value.get()));
        } else {
            check_status(PyList_Append(positional_defaults.get(), value.get()));
        }
    }
    if (def.return_annotation) {
        Ref text = new_str(def.return_annotation);
        check_status(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    Ref defaults = PyList_GET_SIZE(positional_defaults.get()) ? check(PyList_AsTuple(positional_defaults.get()))
                                                              : Ref();
    Ref name = new_str(def.name);
    Ref qualname = new_str(def.qualname().c_str());
    Ref doc = new_str(def.doc().c_str());

    auto* type = reinterpret_cast<PyTypeObject*>(state.function_type.get());
    auto* f = PyObject_GC_New(FunctionObject, type);  // holds its (heap) type
    if (!f) raise();
    f->vectorcall = slot(fn_vectorcall);
    f->def = &def;
    f->state = &state;
    f->guards = &state.guards;
    f->globals = globals.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module_name.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->dict = nullptr;
    f->code = nullptr;
    f->weakreflist = nullptr;
    f->varnames = varnames.release();
    f->argcount = argcount;
    f->kwonlycount = kwonly;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    defer_refcount(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void add_function(PyObject* module, const FunctionDef& def, DefaultValues values) {
    Ref fn = make_function(def, module, values);
    check_status(PyObject_SetAttrString(module, def.name, fn.get()));
}

bool is_function(const FunctionObject& self, PyObject* o, const FunctionDef& def) noexcept {
    PYAPI_ASSERT(self.state != nullptr);
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == self.state->function_type.get() &&
           reinterpret_cast<FunctionObject*>(o)->def == &def;
}

Ref global(const FunctionObject& self, PyObject* name) { return load_global(self.globals, name); }

Ref call_global(const FunctionObject& self, PyObject* name, const FunctionDef& def,
                std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref target = load_global(self.globals, name);
    if (is_function(self, target.get(), def) && args.size() == def.params.size()) {
        auto* f = reinterpret_cast<FunctionObject*>(target.get());
        Ref result = def.body(*f, args.begin());
        if (!result) raise();
        return result;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return check(PyObject_Vectorcall(target.get(), const_cast<PyObject* const*>(args.begin()),
                                     static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}

Ref call_declared(const FunctionObject& self, unsigned id, const FunctionDef& def,
                  std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Guards& g = *self.guards;
    // The guards keep the original alive: borrowing it is safe for the call.
    PyObject* original = g.original(id);
    if (original && args.size() == def.params.size() && is_function(self, original, def) && g.holds(id)) {
        Ref result = def.body(*reinterpret_cast<FunctionObject*>(original), args.begin());
        if (!result) raise();
        return result;
    }
    return call_global(self, g.name(id), def, args, kwnames);
}

}  // namespace pyapi
