"""Another thread reassigns the input's shape, strides or dtype, or rewrites its values,
while a batch reference runs.

The kernels run without the interpreter lock, so another thread may change the input's
metadata at any moment of the pass. The pass reads the array only through the view it
took before it started, and checks the array against that view whenever it takes the lock
back: every call ends with a result, or with the error the per-cell evaluation gives on the
changed array, and never reads outside the buffer. Each case runs in its own interpreter,
so that a crash fails that case alone; the change is made by a thread that waits for the
`window` read (or for NumPy's error state to be asked), then runs as soon as the calling
thread lets go of the lock.
"""
import json
import re
import subprocess
import textwrap
from pathlib import Path

import pytest

from interpreter import EMULATED, PYTHON

# Under emulation one pass takes seconds, so the change always lands mid-call: once is enough.
REPEATS = 1 if EMULATED else 3

SCRIPT = textwrap.dedent(r"""
    import json, sys, threading, warnings
    import numpy as np
    from vantorel.functions.rotations.batch_references.longitudinal import logarithmic as lg

    warnings.simplefilter("ignore")
    key, case, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fn = getattr(lg, f"longitudinal_logarithmic_{key}_batch_reference")

    def large():
        return np.random.default_rng(2).random((300_000, 16)) + 0.5

    def small():
        return np.random.default_rng(4).lognormal(size=(6000, 2))

    def transposed():
        return np.ascontiguousarray(small().T).T

    def overflowing():
        a = large()
        a[:4] = 1e200
        return a

    def rewrite(a):
        a[...] = np.random.default_rng(9).lognormal(size=a.shape)

    # case: (input, window, change, trigger)
    CASES = {
        "reshaped": (large, 20, lambda a: setattr(a, "shape", (16, 300_000)), "window"),
        "flattened": (large, 20, lambda a: setattr(a, "shape", (-1,)), "window"),
        "retyped wider": (large, 20, lambda a: setattr(a, "dtype", np.complex128), "window"),
        "retyped narrower": (small, 6000, lambda a: setattr(a, "dtype", np.float32), "window"),
        "retyped same size": (small, 6000, lambda a: setattr(a, "dtype", np.int64), "window"),
        "strides overlapped": (small, 6000, lambda a: setattr(a, "strides", (8, 8)), "window"),
        "transposed, strides overlapped": (transposed, 6000, lambda a: setattr(a, "strides", (8, 8)), "window"),
        "values rewritten": (small, 6000, rewrite, "window"),
        "reshaped after the error state": (overflowing, 3, lambda a: setattr(a, "shape", (16, 300_000)), "geterr"),
    }
    make, w, change, trigger = CASES[case]

    class Window:
        def __init__(self, entered):
            self.entered = entered

        @property
        def window(self):
            if self.entered:
                self.entered.set()
            return w

    for _ in range(repeats):
        a = make()
        expected = fn(Window(None), a.copy(order="K"))
        go, done, failed = threading.Event(), threading.Event(), []

        def other():
            go.wait()
            try:
                change(a)
            except BaseException as e:
                failed.append(repr(e))
            done.set()

        t = threading.Thread(target=other)
        t.start()
        if trigger == "geterr":
            # NumPy's error state is asked with the lock held; the change runs once the
            # pass has let go of it again
            def hook(frame, event, arg):
                if event == "call" and frame.f_code.co_name == "geterr":
                    sys.setprofile(None)
                    go.set()
            sys.setprofile(hook)
        try:
            r = fn(Window(go if trigger == "window" else None), a)
            same = r.shape == expected.shape and bool(np.array_equal(r.view(np.uint64), expected.view(np.uint64)))
            outcome = {"result": "ok", "shape": list(r.shape), "dtype": str(r.dtype), "same": same}
        except Exception as e:
            outcome = {"result": type(e).__name__, "message": str(e)}
        finally:
            sys.setprofile(None)
            go.set()
        outcome["mid_call"] = done.is_set()
        t.join()
        outcome["change_failed"] = failed
        print(json.dumps(outcome), flush=True)
""")


def run_case(key, case):
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.run([*PYTHON, "-c", SCRIPT, key, case, str(REPEATS)], capture_output=True, text=True,
                          timeout=120, cwd=root)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-3000:]}"
    outcomes = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(outcomes) == REPEATS, proc.stdout + proc.stderr
    for o in outcomes:
        assert o["change_failed"] == [], o
    # the change lands while the call runs (its pass takes a tenth of a second or more)
    assert any(o["mid_call"] for o in outcomes), outcomes
    return outcomes


FUNCTIONS = pytest.mark.parametrize("key", ["694eff", "665270"], ids=["product", "geo-mean"])

# What the per-cell evaluation raises on the changed array, once the pass has seen the
# change; a pass that ended before it looked again returns the values of the array as
# it found it.
ERRORS = {
    # rows past the new first axis: `data[t, n]`
    "reshaped": [("IndexError", r"is out of bounds for axis 0 with size 16")],
    "flattened": [("IndexError", r"too many indices for array")],
    # columns past the new last axis, or a complex value NumPy refuses to make real
    "retyped wider": [("IndexError", r"is out of bounds for axis 1 with size 8"), ("TypeError", r"complex")],
}


@FUNCTIONS
@pytest.mark.parametrize("case", list(ERRORS))
def test_metadata_changed_by_another_thread_gives_the_result_or_the_per_cell_error(key, case):
    """The reproduction (300,000 x 16 with a window of 20, another thread reassigning the shape
    once `window` is read) and its variants that leave the per-cell evaluation failing fast: a
    1-D shape, and a dtype of twice the itemsize, which halves the last axis over the same
    bytes."""
    for o in run_case(key, case):
        if o["result"] == "ok":
            assert o["same"], o  # the whole pass ran on the array as it was
        else:
            assert any(o["result"] == name and re.search(pattern, o["message"]) for name, pattern in ERRORS[case]), o


@FUNCTIONS
@pytest.mark.parametrize("case", ["retyped narrower", "retyped same size", "strides overlapped",
                                  "transposed, strides overlapped", "values rewritten"])
def test_changes_that_keep_the_cells_reachable_give_a_result(key, case):
    """Changes after which every cell still reads (half the itemsize, which doubles the last
    axis; another dtype of the same size; strides that overlap rows; a column-major input,
    which the pass stages a tile at a time; values rewritten in place): the call returns a
    full float64 result, computed partly before and partly after the change."""
    for o in run_case(key, case):
        assert o["result"] == "ok" and o["shape"] == [6000, 2] and o["dtype"] == "float64", o


def test_reshaped_by_another_thread_after_the_error_state_is_read():
    """NumPy's error state is asked with the lock held (an overflow in the first rows); the
    other thread reshapes the input as soon as the pass has let go of the lock again, while
    the product's kernels run: the next look at the array sends the rest to the per-cell
    evaluation, which fails on the rows past the new first axis, or the pass ends first and the
    flagged cells, evaluated per cell on the reshaped array, still give a full result."""
    for o in run_case("694eff", "reshaped after the error state"):
        if o["result"] == "ok":
            assert o["shape"] == [300_000, 16], o
        else:
            assert o["result"] == "IndexError" and "is out of bounds for axis 0 with size 16" in o["message"], o
