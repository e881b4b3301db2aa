// NumPy's own inner loop of `np.log` for float64 and float32, called directly so
// that the geometric mean takes its logarithms without the interpreter lock.
#pragma once

#include "numpy_api.hpp"
#include "pyapi/check.hpp"

namespace logarithmic {

struct NumpyLog {
    void (*loop)(char**, npy_intp const*, npy_intp const*, void*) = nullptr;
    void* data = nullptr;
    explicit operator bool() const { return loop != nullptr; }
    // logs[i] = log(mags[i]) for n contiguous values of `elsize` bytes; needs no lock.
    void run(const void* mags, void* logs, npy_intp n, npy_intp elsize) const {
        PYAPI_ASSERT(loop != nullptr && n >= 0);  // proven before the pass took it
        char* args[2] = {static_cast<char*>(const_cast<void*>(mags)), static_cast<char*>(logs)};
        const npy_intp steps[2] = {elsize, elsize};
        loop(args, &n, steps, data);
    }
};

// The loop `log` (a module's original np.log) selects for d->d (or f->f),
// once that loop has been proven, at its first use in the process, to give
// np.log's results bit for bit; an empty NumpyLog when it could not be found,
// the proof failed or is under way in another thread, and the ufunc is then
// called per tile instead. Needs the lock.
const NumpyLog& numpy_log(PyObject* log, bool f64);

}  // namespace logarithmic
