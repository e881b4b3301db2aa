// Setup shared by both functions, in the order the per-cell evaluation runs it:
// `T, N = data.shape`, the NaN-filled float64 output, then `instance.window`
// (read even when there are no rows); then the cell loop.
#include "reference.hpp"

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

// `a, b = value`, with the interpreter's own errors.
void unpack_two(PyObject* value, Ref& a, Ref& b) {
    if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && PySequence_Fast_GET_SIZE(value) == 2) {
        a = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        b = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return;
    }
    PyObject* raw = PyObject_GetIter(value);
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        pyapi::raise();
    }
    Ref it = Ref::steal(raw);
    Ref* slots[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            pyapi::raise();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) pyapi::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) pyapi::raise();
}

}  // namespace

Ref run_reference(const pyapi::FunctionObject& self, Kind kind, PyObject* instance, PyObject* data) {
    Call c{self, kind, data, {}, {}, {}, {}};
    {
        Ref shape = pyapi::getattr(data, names().shape);
        unpack_two(shape.get(), c.T, c.N);
    }
    {
        Ref np = pyapi::global(self, names().np);
        Ref full = pyapi::getattr(np.get(), names().full);
        Ref dims = check(PyTuple_Pack(2, c.T.get(), c.N.get()));
        Ref math = pyapi::global(self, names().math);
        Ref nan = pyapi::getattr(math.get(), names().nan);
        Ref np2 = pyapi::global(self, names().np);
        Ref f64 = pyapi::getattr(np2.get(), names().float64);
        static PyObject* const kw = pyapi::kwnames("dtype");
        c.out = pyapi::call(full.get(), {dims.get(), nan.get(), f64.get()}, kw);
    }
    c.W = pyapi::getattr(instance, names().window);
    if (!native_loop(c)) general_loop(c);
    return c.out;
}

}  // namespace logarithmic
