// One call of a batch reference: the shared setup, then the cell loop on the
// native path when the inputs and globals allow it, else on the general path.
#pragma once

#include "state.hpp"

namespace logarithmic {

struct Call {
    const pyapi::FunctionObject& self;
    const State& st;  // of self's module
    const Names& n;   // st.names
    Kind kind;
    PyObject* data;
    pyapi::Ref T, N, out, W;
    // The output made natively is NaN-filled late: by the native pass once it
    // has let the interpreter lock go (a large fill is a tenth of a pass, which
    // other threads need not wait for), or by fill_output before anything else
    // reads it. No Python code holds the array meanwhile.
    bool unfilled = false;
    double fill = 0.0;
};

// Writes the output's NaN into every cell, if that is still to do.
void fill_output(Call& c) noexcept;

pyapi::Ref run_reference(const pyapi::FunctionObject& self, Kind kind, PyObject* instance, PyObject* data);

// ---- general path: the literal per-cell steps through Python-level operations

// Rows t >= first_row of the cell loop (`for t in range(T)`), everything looked
// up at the moment of use.
void general_loop(Call& c, Py_ssize_t first_row = 0);

// `data[max(0, t - W + 1):t + 1, :]`
pyapi::Ref general_window(Call& c, PyObject* t);

// One cell (t, n) of the loop, given its row's window: gates and value step,
// storing into `out[t, n]`.
void general_cell(Call& c, PyObject* t, PyObject* n, PyObject* window);

// ---- native path

// Runs the whole cell loop natively when the data, window and globals allow;
// false (nothing done, no error set) when the general path must run instead.
bool native_loop(Call& c);

}  // namespace logarithmic
