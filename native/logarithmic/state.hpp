// The module's state: its interned names, its constants and the table of
// what its native kernels depend on. Each module object has its own (a fresh
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

// What the native kernels depend on (pyapi/guards.hpp): `np` and `math` as
// the module body imported them, the attributes of each that the per-cell
// steps use, and the builtins `range` and `max`. Only while every one still
// finds its original may the kernels stand in for the per-cell steps. Each
// that the kernels stand in for (or call as NumPy's own: np.log with an
// output array, np.sum's result read as a scalar) must also be the library's
// own object of that name when the module was imported, or it never holds
// and only the general path serves.
namespace dep {
enum Id : unsigned {
    np = pyapi::kBuiltinCount,
    math,
    np_full,
    np_float64,
    np_isnan,
    np_isinf,
    np_prod,
    np_any,
    np_sum,
    np_log,
    np_abs,
    math_nan,
    math_isnan,
    math_isinf,
    math_exp,
    range,
    max,
    end
};
}  // namespace dep
extern const pyapi::Dependency kDependencies[dep::end - dep::np];
// Every entry above: the set the native path needs to hold.
inline constexpr pyapi::DepMask kKernelDeps = ((pyapi::DepMask{1} << dep::end) - 1) &
                                              ~((pyapi::DepMask{1} << dep::np) - 1);

struct State : pyapi::ModuleState {
    Names names;
    pyapi::Ref dtype_kw;              // ("dtype",): np.full's keyword
    pyapi::Ref int0, int1, int2;      // the literals 0, 1, 2
    pyapi::Ref zero, one, minus_one;  // the literals 0.0, 1.0, -1.0

    static std::span<const pyapi::Dependency> dependencies() { return kDependencies; }
    // The original of a kernel dependency (valid while it holds).
    PyObject* original(dep::Id d) const noexcept { return guards.original(d); }

    template <class F>
    void each_ref(F&& f) {
        ModuleState::each_ref(f);
        for (pyapi::Ref* r : {&dtype_kw, &int0, &int1, &int2, &zero, &one, &minus_one}) f(*r);
    }
};

inline State& state(const pyapi::FunctionObject& f) { return pyapi::state_of<State>(f); }

// Fills the state's constants after the module body's imports.
void init_constants(State& state);

// True when every kernel dependency of `self`'s module holds.
inline bool globals_are_original(const pyapi::FunctionObject& self) { return self.guards->hold_all(kKernelDeps); }

}  // namespace logarithmic
