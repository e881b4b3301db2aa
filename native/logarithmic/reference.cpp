// Setup shared by both functions, in the order the per-cell evaluation runs it:
// `T, N = data.shape`, the NaN-filled float64 output, then `instance.window`
// (read even when there are no rows); then the cell loop.
#include "reference.hpp"

namespace logarithmic {

using pyapi::check;
using pyapi::Ref;

Ref run_reference(const pyapi::FunctionObject& self, Kind kind, PyObject* instance, PyObject* data) {
    const State& st = state(self);
    const Names& n = st.names;
    Call c{self, st, n, kind, data, {}, {}, {}, {}};
    pyapi::unpack_two(pyapi::getattr(data, n.shape).get(), c.T, c.N);
    {
        Ref full = pyapi::getattr(pyapi::global(self, n.np).get(), n.full);
        Ref dims = check(PyTuple_Pack(2, c.T.get(), c.N.get()));
        Ref nan = pyapi::getattr(pyapi::global(self, n.math).get(), n.nan);
        Ref f64 = pyapi::getattr(pyapi::global(self, n.np).get(), n.float64);
        c.out = pyapi::call(full.get(), {dims.get(), nan.get(), f64.get()}, st.dtype_kw.get());
    }
    c.W = pyapi::getattr(instance, n.window);
    if (!native_loop(c)) general_loop(c);
    return c.out;
}

}  // namespace logarithmic
