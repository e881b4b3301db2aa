// The module's state: its interned names and the objects its body bound at
// import, kept so that a call can tell whether the module's globals (and what
// they hold) are still those objects: only then may the native kernels stand
// in for the Python-level steps. Each module object has its own (a fresh
// import, a subinterpreter), and a function keeps using the state of the
// module that made it.
//
// Process-wide on purpose, as facts about the process rather than about a
// module object, each decided once (function-local statics or atomics): the
// CPU variants that run (cpu_dispatch.hpp), the exponential each path uses
// (exp_batch.cpp), NumPy's proven inner loop of `log`, shared by every
// interpreter (numpy_log.cpp), whether NumPy's float32 divided by an int stays
// float32 (native_path.cpp), and NumPy's C-API table (numpy_api.hpp), filled
// by the exec slot after `import numpy` has succeeded: NumPy imports only
// where the process's main GIL is held, so the fill never races.
#pragma once

#include "pyapi/pyapi.hpp"

namespace logarithmic {

enum class Kind { Product, GeoMean };

// The name list, laid out by hand.
// clang-format off
#define LOGARITHMIC_NAMES(X) \
    X(np) X(math) X(shape) X(full) X(nan) X(float64) X(window) X(range) X(max) X(isnan) X(isinf) X(sum) \
    X(prod) X(any) X(log) X(abs) X(exp) X(size) X(dtype) X(geterr)
// clang-format on
PYAPI_NAMES(Names, LOGARITHMIC_NAMES)

// The attributes of `np` and of `math` the per-cell steps use.
#define LOGARITHMIC_NUMPY_ATTRS(X) X(full) X(float64) X(isnan) X(isinf) X(prod) X(any) X(sum) X(log) X(abs)
#define LOGARITHMIC_MATH_ATTRS(X) X(nan) X(isnan) X(isinf) X(exp)
#define LOGARITHMIC_REF_MEMBER_(id) pyapi::Ref id;
#define LOGARITHMIC_VISIT_NP_(id) f(np.id);
#define LOGARITHMIC_VISIT_MATH_(id) f(math.id);

// What the module body bound: `np` and `math` and the attributes above, as
// they were then, and the builtins `range` and `max`.
struct Originals {
    pyapi::Ref numpy, math_module;
    struct {
        LOGARITHMIC_NUMPY_ATTRS(LOGARITHMIC_REF_MEMBER_)
    } np;
    struct {
        LOGARITHMIC_MATH_ATTRS(LOGARITHMIC_REF_MEMBER_)
    } math;
    pyapi::Ref range, max;
    // Each of them that the kernels stand in for (or call as NumPy's own: np.log
    // with an output array, np.sum's result read as a scalar) is the library's
    // own object of that name; if not, only the general path serves.
    bool genuine = false;

    template <class F>
    void each_ref(F&& f) {
        f(numpy);
        f(math_module);
        LOGARITHMIC_NUMPY_ATTRS(LOGARITHMIC_VISIT_NP_)
        LOGARITHMIC_MATH_ATTRS(LOGARITHMIC_VISIT_MATH_)
        f(range);
        f(max);
    }
};

struct State : pyapi::ModuleState {
    Names names;
    Originals originals;
    pyapi::Ref dtype_kw;              // ("dtype",): np.full's keyword
    pyapi::Ref int0, int1, int2;      // the literals 0, 1, 2
    pyapi::Ref zero, one, minus_one;  // the literals 0.0, 1.0, -1.0

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        originals.each_ref(f);
        for (pyapi::Ref* r : {&dtype_kw, &int0, &int1, &int2, &zero, &one, &minus_one}) f(*r);
    }
};

inline State& state(const pyapi::FunctionObject& f) { return pyapi::state_of<State>(f); }

// Fills the state after the module body's imports.
void remember_originals(PyObject* module, State& state);

// True when the globals of `self`'s module still hold the `np` and `math` its
// body imported, with the attributes the per-cell steps use as they were then
// and the library's own, and `range`/`max` are the builtins found then. Looks
// names up without side effects (dict reads only).
bool globals_are_original(const pyapi::FunctionObject& self);

}  // namespace logarithmic
