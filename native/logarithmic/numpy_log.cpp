#include "numpy_log.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#define NO_IMPORT_UFUNC
#define PY_UFUNC_UNIQUE_SYMBOL vantorel_logarithmic_UFUNC_API
#include <numpy/ufuncobject.h>

#include "pyapi/pyapi.hpp"

namespace logarithmic {
namespace {

using pyapi::check;
using pyapi::Ref;

// The first loop of the ufunc's table for one input and one output of `type`,
// which is the one NumPy's type resolution selects for that signature.
NumpyLog find_loop(PyObject* log, int type) {
    if (std::strcmp(Py_TYPE(log)->tp_name, "numpy.ufunc") != 0) return {};
    auto* uf = reinterpret_cast<PyUFuncObject*>(log);
    if (uf->nin != 1 || uf->nout != 1 || !uf->functions || !uf->types) return {};
    for (int i = 0; i < uf->ntypes; ++i)
        if (uf->types[2 * i] == type && uf->types[2 * i + 1] == type)
            return {uf->functions[i], uf->data ? uf->data[i] : nullptr};
    return {};
}

// The magnitudes the geometric mean takes logarithms of: positive finite
// values. Every binade with neighbours of its powers of two, values around 1,
// the subnormals, and pseudo-random bit patterns, so that every SIMD lane
// position and the loop's tails see them all.
template <class L>
std::vector<L> sweep() {
    using U = std::conditional_t<sizeof(L) == 8, std::uint64_t, std::uint32_t>;
    const U max_bits = std::bit_cast<U>(std::numeric_limits<L>::max());
    std::vector<L> v;
    auto add = [&](U bits) {
        if (bits >= 1 && bits <= max_bits) v.push_back(std::bit_cast<L>(bits));
    };
    const int mant = std::numeric_limits<L>::digits - 1;
    for (U e = 0; e <= (max_bits >> mant); ++e)
        for (U d : {U(0), U(1), U(2), U(3), (U(1) << mant) - 1, (U(1) << mant) - 2, U(1) << (mant - 1)}) {
            add((e << mant) + d);
            add((e << mant) - d);
        }
    for (int k = 1; k < 64; ++k)
        for (U b : {U(1), U(k), U(k) << (mant / 2), (U(1) << mant) - U(k)}) add(b);  // subnormals
    const L one = 1;
    for (int k = -4096; k <= 4096; ++k) add(std::bit_cast<U>(one) + U(k));
    for (int k = 1; k < 2000; ++k) {
        v.push_back(static_cast<L>(1) + static_cast<L>(k) * static_cast<L>(1e-4));
        v.push_back(static_cast<L>(k) * static_cast<L>(0.37));
    }
    std::uint64_t s = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 60000; ++i) {
        s = s * 6364136223846793005u + 1442695040888963407u;
        add(static_cast<U>(s >> (64 - 8 * sizeof(U))) % max_bits + 1);
    }
    return v;
}

template <class L>
bool proven(PyObject* log, const NumpyLog& f) {
    constexpr int type = std::is_same_v<L, double> ? NPY_DOUBLE : NPY_FLOAT;
    const std::vector<L> x = sweep<L>();
    npy_intp n = static_cast<npy_intp>(x.size());
    Ref src = check(PyArray_SimpleNew(1, &n, type));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(src.get())), x.data(), sizeof(L) * x.size());
    Ref want = check(PyObject_CallOneArg(log, src.get()));
    auto* w = reinterpret_cast<PyArrayObject*>(want.get());
    if (!PyArray_CheckExact(want.get()) || PyArray_TYPE(w) != type || PyArray_SIZE(w) != n) return false;
    const L* expected = static_cast<const L*>(PyArray_DATA(w));
    std::vector<L> got(x.size());
    // the whole sweep at once, then at every offset and length up to 40 (the tails)
    f.run(x.data(), got.data(), n, sizeof(L));
    if (std::memcmp(got.data(), expected, sizeof(L) * x.size()) != 0) return false;
    for (npy_intp off = 0; off < 40; ++off)
        for (npy_intp len = 1; len <= 40 && off + len <= n; ++len) {
            f.run(x.data() + off * 97 % (n - len), got.data(), len, sizeof(L));
            if (std::memcmp(got.data(), expected + off * 97 % (n - len), sizeof(L) * len) != 0) return false;
        }
    return true;
}

// One proof per loop and process: the loop is NumPy's C code, which every
// module object and interpreter of the process shares.
struct Proof {
    enum : int { kUnknown, kProving, kProven, kRefused };
    std::atomic<int> state{kUnknown};
    NumpyLog log;  // the loop proven or refused; written before `state` leaves kProving
};

}  // namespace

const NumpyLog& numpy_log(PyObject* log, bool f64) {
    static Proof proofs[2];
    static const NumpyLog none;
    Proof& p = proofs[f64 ? 1 : 0];
    const NumpyLog f = find_loop(log, f64 ? NPY_DOUBLE : NPY_FLOAT);
    if (!f) return none;
    int state = p.state.load(std::memory_order_acquire);
    if (state == Proof::kUnknown &&
        p.state.compare_exchange_strong(state, Proof::kProving, std::memory_order_acq_rel)) {
        // The proof calls np.log, which may let another thread in: that one
        // finds kProving and calls the ufunc meanwhile.
        bool ok;
        try {
            ok = f64 ? proven<double>(log, f) : proven<float>(log, f);
        } catch (const pyapi::py_error&) {
            PyErr_Clear();  // no memory for the proof, say: the ufunc serves this call
            p.state.store(Proof::kUnknown, std::memory_order_release);
            return none;
        }
        p.log = f;
        state = ok ? Proof::kProven : Proof::kRefused;
        p.state.store(state, std::memory_order_release);
    }
    return state == Proof::kProven && p.log.loop == f.loop && p.log.data == f.data ? p.log : none;
}

}  // namespace logarithmic
