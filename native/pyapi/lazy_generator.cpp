// Lazy generator expressions (see builtins.hpp).
#include <cstddef>
#include <utility>

#include "module.hpp"

namespace pyapi {
namespace {

struct LazyObject {
    PyObject_HEAD
    PyObject* fn;  // the function whose globals the steps read
    PyObject* it;  // the source iterator; NULL once exhausted
    PyObject* qualname;
    LazyStep step;
    PyObject* extra[kLazyExtra];
};

LazyObject* as_lazy(PyObject* o) noexcept { return reinterpret_cast<LazyObject*>(o); }

int lazy_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    LazyObject* g = as_lazy(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->fn);
    Py_VISIT(g->it);
    for (PyObject* e : g->extra) Py_VISIT(e);
    return 0;
}

int lazy_clear(PyObject* self) noexcept {
    LazyObject* g = as_lazy(self);
    Py_CLEAR(g->fn);
    Py_CLEAR(g->it);
    for (PyObject*& e : g->extra) Py_CLEAR(e);
    return 0;
}

void lazy_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    lazy_clear(self);
    Py_CLEAR(as_lazy(self)->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The generator's iterator and function, held (the step runs caller code
// that may drop the generator's hold, and another thread may be finishing
// it): read under the generator's lock.
bool take_source(PyObject* self, Ref& it, Ref& fn) noexcept {
    Ref now_it, now_fn;
    {
        CriticalSection lock(self);
        LazyObject* g = as_lazy(self);
        now_it = Ref::borrow(g->it);
        now_fn = Ref::borrow(g->fn);
    }
    it = std::move(now_it);  // what they held is released after the lock
    fn = std::move(now_fn);
    return it && fn;
}

// Finishes the generator if `it` is still its iterator.
void finish(PyObject* self, const Ref& it) noexcept {
    PyObject* old = nullptr;
    {
        CriticalSection lock(self);
        LazyObject* g = as_lazy(self);
        if (g->it == it.get()) old = std::exchange(g->it, nullptr);
    }
    Py_XDECREF(old);  // after the lock: `it` holds it still
}

PyObject* lazy_next(PyObject* self) noexcept {
    LazyObject* g = as_lazy(self);
    return guarded([&]() -> Ref {
        Ref it, fn;
        while (take_source(self, it, fn)) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                finish(self, it);  // exhausted or failed: finished either way
                if (PyErr_Occurred()) raise();
                break;
            }
            Ref value;
            try {
                value = g->step(*reinterpret_cast<const FunctionObject*>(fn.get()), item.get(), g->extra);
            } catch (const py_error&) {
                finish(self, it);  // a generator that raised is finished
                throw;
            }
            if (value) return value;
        }
        return Ref();  // exhausted: NULL without an error ends the iteration
    });
}

PyObject* lazy_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_lazy(self)->qualname, self);
}

PyObject* lazy_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_lazy(self)->qualname); }
PyObject* lazy_name(PyObject*, void*) noexcept { return PyUnicode_FromString("<genexpr>"); }

PyGetSetDef lazy_getset[] = {
    {"__name__", slot(lazy_name), nullptr, nullptr, nullptr},
    {"__qualname__", slot(lazy_qualname), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lazy_slots[] = {
    {Py_tp_getset, lazy_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(slot(lazy_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(slot(lazy_traverse))},
    {Py_tp_clear, reinterpret_cast<void*>(slot(lazy_clear))},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(slot(lazy_next))},
    {Py_tp_repr, reinterpret_cast<void*>(slot(lazy_repr))},
    {0, nullptr},
};

// Named as the host names the objects it stands in for.
PyType_Spec lazy_spec = {"builtins.generator", sizeof(LazyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, lazy_slots};

}  // namespace

Ref make_lazy_type(PyObject* module) { return check(PyType_FromModuleAndSpec(module, &lazy_spec, nullptr)); }

Ref lazy_generator(const FunctionObject& f, const char* qualname, PyObject* iterable, LazyStep step,
                   std::initializer_list<PyObject*> extra) {
    Ref it = check(PyObject_GetIter(iterable));
    Ref name = check(PyUnicode_FromFormat("%s.<locals>.<genexpr>", qualname));
    auto* type = reinterpret_cast<PyTypeObject*>(f.state->lazy_type.get());
    LazyObject* g = PyObject_GC_New(LazyObject, type);  // holds its (heap) type
    if (!g) raise();
    g->fn = Py_NewRef(reinterpret_cast<PyObject*>(const_cast<FunctionObject*>(&f)));
    g->it = it.release();
    g->qualname = name.release();
    g->step = step;
    int i = 0;
    for (PyObject*& e : g->extra) e = nullptr;
    for (PyObject* e : extra) g->extra[i++] = Py_NewRef(e);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace pyapi
