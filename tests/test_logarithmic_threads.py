"""The batch references beside other threads and under Python code that runs mid-call.

The kernels run without the interpreter lock; they take it back only for Python code
(NumPy's error state, its sum of very long windows, signal handlers). Python code that
resizes or reshapes the input or the output meanwhile must never make a call read freed
memory: the rest of the call goes on as the per-cell evaluation would, on the arrays as
they now are. A long call answers SIGINT with KeyboardInterrupt and leaves nothing behind.
"""
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

from leakcheck import Case, assert_no_leak
from logarithmic_compare import NATIVE
from models.logarithmic_model import FUNCTIONS, Instance, same_bits
from interpreter import EMULATED, PYTHON

PRODUCT, GEO = "694eff", "665270"


def profile_hook(on_call):
    """A profile hook that runs on_call(frame) once, at the first Python-level call of a
    function named in on_call.names (or a C-level call of a callable of that name)."""
    fired = []

    def hook(frame, event, arg):
        name = frame.f_code.co_name if event == "call" else getattr(arg, "__name__", "")
        if event in ("call", "c_call") and name in on_call.names and not fired:
            fired.append(name)
            sys.setprofile(None)
            on_call(frame)
    return hook, fired


def run_hooked(fn, instance, data, on_call):
    hook, fired = profile_hook(on_call)
    sys.setprofile(hook)
    try:
        return fn(instance, data)
    finally:
        sys.setprofile(None)
        assert fired, "the hook never ran: the test no longer reaches the point it is about"


# ---------------------------------------------------------------- Python code changes the input

@pytest.mark.parametrize("errstate", [{}, {"all": "ignore"}], ids=["default", "ignore"])
def test_resize_when_the_error_state_is_read_raises_as_the_per_cell_evaluation(errstate):
    """The reproduction of the crash: a profile hook shrinks the array when the product
    asks NumPy for its error state (an overflow was flagged in the first row tile, so
    every cell from the first on sees the shrunken array, whatever the error state)."""
    a = np.full((200_000, 8), 1e200)

    def shrink(frame):
        a.resize((1, 1), refcheck=False)
    shrink.names = ("geterr",)
    with warnings.catch_warnings(), np.errstate(**errstate):
        warnings.simplefilter("ignore")
        with pytest.raises(IndexError, match="index 1 is out of bounds for axis 1 with size 1"):
            run_hooked(NATIVE[PRODUCT], Instance(3), a, shrink)


@pytest.mark.parametrize("change", ["grow-and-refill", "reshape"])
def test_cells_after_the_change_see_the_array_as_it_now_is(change):
    """Cells stored before the Python code ran keep their values; every later cell is the
    per-cell evaluation's on the changed array (here from a later row tile on)."""
    T, N, first_overflow = 700, 3, 400
    rng = np.random.default_rng(3)
    a = rng.lognormal(size=(T, N))
    a[first_overflow:] = 1e200
    before = a.copy()
    refill = rng.lognormal(size=(T + 9, N))

    def act(frame):
        if change == "grow-and-refill":
            a.resize((T + 9, N), refcheck=False)
            a[...] = refill
        else:
            a.shape = (T * N // 6, 6)
    act.names = ("geterr",)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if change == "reshape":
            # rows past the new first axis fail as `data[t, n]` fails in the per-cell evaluation
            with pytest.raises(IndexError, match=f"index {T * N // 6} is out of bounds for axis 0"):
                run_hooked(NATIVE[PRODUCT], Instance(3), a, act)
            return
        got = run_hooked(NATIVE[PRODUCT], Instance(3), a, act)
        old = FUNCTIONS[PRODUCT](Instance(3), before)
        new = FUNCTIONS[PRODUCT](Instance(3), refill[:T])
    # one split row k: rows before it from the old array, rows from it on from the new one
    splits = [k for k in range(1, first_overflow + 1)
              if same_bits(got[:k], old[:k]) and same_bits(got[k:], new[k:])]
    assert splits, "neither the old nor the new array explains the result"


@pytest.mark.parametrize("errstate", [{}, {"all": "ignore"}], ids=["default", "ignore"])
def test_output_resized_by_python_code_is_not_written_past_its_end(errstate):
    """The output array reaches Python code through np.full's return (a profile hook sees
    it); shrinking it mid-call makes the per-cell store `out[t, n] = ...` fail."""
    a = np.full((2000, 4), 1e200)
    held = []

    def hook(frame, event, arg):
        if event == "return" and frame.f_code.co_name == "full" and not held:
            held.append(arg)
        elif event == "call" and frame.f_code.co_name == "geterr" and held:
            sys.setprofile(None)
            held[0].resize((1, 1), refcheck=False)

    sys.setprofile(hook)
    try:
        with warnings.catch_warnings(), np.errstate(**errstate):
            warnings.simplefilter("ignore")
            with pytest.raises(IndexError, match="index 1 is out of bounds for axis 1 with size 1"):
                NATIVE[PRODUCT](Instance(3), a)
    finally:
        sys.setprofile(None)
    assert held and held[0].shape == (1, 1)


def test_another_thread_resizes_while_the_geometric_mean_sums_a_long_window():
    """Windows of more than 8192 values are summed by NumPy's Python-level sum; a second
    thread shrinks the array meanwhile (the calling thread waits in the hook for it)."""
    T, N, W = 8300, 2, 9000
    a = np.random.default_rng(5).lognormal(size=(T, N))

    def shrink_from_another_thread(frame):
        t = threading.Thread(target=a.resize, args=((1, 1),), kwargs={"refcheck": False})
        t.start()
        t.join()
    shrink_from_another_thread.names = ("sum",)
    with pytest.raises(IndexError, match="index 1 is out of bounds for axis 1 with size 1"):
        run_hooked(NATIVE[GEO], Instance(W), a, shrink_from_another_thread)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer")
def test_a_signal_handler_that_resizes_the_input_mid_call():
    """Signal handlers run while the call is in progress; one that shrinks the input
    makes the rest of the call fail as the per-cell evaluation would."""
    a = np.random.default_rng(6).lognormal(size=(40_000, 16))
    ran = []

    def handler(signum, frame):
        ran.append(signum)
        a.resize((1, 1), refcheck=False)

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(IndexError, match="out of bounds"):
            NATIVE[GEO](Instance(8000), a)  # tenths of a second of work: the timer fires during it
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert ran


def test_stopped_calls_leak_nothing():
    def call():
        a = np.full((600, 3), 1e200)

        def shrink(frame):
            a.resize((1, 1), refcheck=False)
        shrink.names = ("geterr",)
        try:
            run_hooked(NATIVE[PRODUCT], Instance(3), a, shrink)
        except IndexError:
            return
        raise AssertionError("no IndexError")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_no_leak(Case("694eff", "resized mid-call", call), calls=300, warmup=50)


# ---------------------------------------------------------------- without the lock

@pytest.mark.parametrize("key", [PRODUCT, GEO])
def test_other_threads_run_while_a_call_computes(key):
    """A thread that needs the lock every millisecond gets it many times while the call
    runs (each tick is taken with the lock held)."""
    # (under emulation a quarter of the rows still makes a call of several seconds)
    a = np.random.default_rng(8).lognormal(size=(5_000 if EMULATED else 20_000, 32))
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        got = NATIVE[key](Instance(4000), a)  # about a tenth of a second or more
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    # (np.full, a Python function, may hand the lock over once or twice by itself)
    assert sum(start < tick < end for tick in ticks) >= 5
    assert same_bits(got, NATIVE[key](Instance(4000), a))


def _thread_inputs(seed):
    rng = np.random.default_rng(seed)
    x = rng.lognormal(0.0, 0.5, (2500, 40))
    x[rng.random(x.shape) < 0.05] = np.nan
    x[rng.random(x.shape) < 0.01] *= -1
    x[rng.random(x.shape) < 0.002] = 0.0
    return [
        (Instance(20), x),
        (Instance(7), x[:, ::3].astype(np.float32)),                # strided, float32
        (Instance(9000), rng.lognormal(0.0, 0.5, (9000, 3))),       # windows summed by np.sum
        (Instance(30), np.full((400, 8), 1e200)),                   # flags: NumPy's error state read
    ]


@pytest.mark.parametrize("key", [PRODUCT, GEO])
def test_concurrent_calls_give_the_single_thread_results(key):
    """Four threads call at once (on a free-threaded build with the GIL disabled, truly
    at the same time), each on inputs shared by all (read-only) and on its own inputs:
    every result is bit for bit the one a single thread computes."""
    shared = _thread_inputs(20)
    for _, a in shared:
        a.flags.writeable = False
    own = [_thread_inputs(21 + i) for i in range(4)]
    with np.errstate(all="ignore"):
        expected = [[NATIVE[key](inst, a) for inst, a in case] for case in [shared, *own]]
    barrier = threading.Barrier(4)
    mismatches, errors = [], []

    def worker(i):
        try:
            barrier.wait()
            with np.errstate(all="ignore"):
                for _ in range(1 if EMULATED else 3):  # (under emulation each round takes seconds)
                    for which, case in ((0, shared), (i + 1, own[i])):
                        for j, (inst, a) in enumerate(case):
                            if not same_bits(NATIVE[key](inst, a), expected[which][j]):
                                mismatches.append((i, which, j))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(300)
    assert not errors and not mismatches


def test_error_state_and_flags_stay_per_thread():
    """Two threads overflow at once, one under errstate(over="raise"), one ignoring it."""
    a = np.full((3000, 64), 1e200)
    with np.errstate(all="ignore"):
        ignored_expected = NATIVE[PRODUCT](Instance(2), a)
    results = {}
    barrier = threading.Barrier(2)

    def raising():
        barrier.wait()
        for _ in range(20):
            try:
                with np.errstate(over="raise"):
                    NATIVE[PRODUCT](Instance(2), a)
                results.setdefault("raising", []).append("returned")
            except FloatingPointError as exc:
                results.setdefault("raising", []).append(str(exc))

    def ignoring():
        barrier.wait()
        for _ in range(20):
            with np.errstate(all="ignore"):
                results.setdefault("ignoring", []).append(same_bits(NATIVE[PRODUCT](Instance(2), a),
                                                                    ignored_expected))

    threads = [threading.Thread(target=raising), threading.Thread(target=ignoring)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(300)
    assert results["raising"] == ["overflow encountered in reduce"] * 20
    assert results["ignoring"] == [True] * 20


# ---------------------------------------------------------------- interruptible

INTERRUPT_SCRIPT = textwrap.dedent("""
    import gc, os, signal, sys, threading, time, tracemalloc
    import numpy as np
    from vantorel.functions.rotations.batch_references.longitudinal import logarithmic as lg

    fn = getattr(lg, sys.argv[1])
    T, N, W = (int(v) for v in sys.argv[2:5])

    class Instance:
        window = W

    a = np.full((T, N), 1.0000001)
    tracemalloc.start()
    baseline = tracemalloc.get_traced_memory()[0]
    for attempt in range(6):
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            out = fn(Instance(), a)
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        timer.join()
    gc.collect()
    print("held", tracemalloc.get_traced_memory()[0] - baseline)
""")


@pytest.mark.parametrize("name, shape, window", [
    # an expanding window: about a minute of work per call uninterrupted
    ("longitudinal_logarithmic_694eff_batch_reference", (600_000, 16), 600_000),
    # windows of 8000 values, summed natively: about half a minute per call uninterrupted
    ("longitudinal_logarithmic_665270_batch_reference", (1_000_000, 16), 8000),
], ids=["product", "geo-mean"])
def test_sigint_interrupts_a_long_call(name, shape, window):
    """SIGINT during a long call raises KeyboardInterrupt from the call (six times in a
    row, within the time one or two uninterrupted calls take), and the outputs are freed."""
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.run([*PYTHON, "-c", INTERRUPT_SCRIPT, name, *map(str, shape), str(window)],
                          capture_output=True, text=True, timeout=60, cwd=root)
    lines = proc.stdout.split()
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[:6] == ["KeyboardInterrupt"] * 6, proc.stdout + proc.stderr
    # nothing of the six outputs (tens of megabytes each) is still held
    assert int(lines[-1]) < 1_000_000, proc.stdout
