"""The logarithmic batch references beside other threads, side by side in one process.

float64 data of shape (100000, 100), W=20, about 5% NaN. For each function prints:
  - beside a busy thread: the call's time while a pure-Python thread spins, over
    its time alone (near 1 when the call hardly waits for the interpreter lock);
  - two threads: two calls run one after the other, over the same two calls
    started together from two threads (up to 2 on 2 cores).
Every figure is the best of several runs; the ratios are taken between figures
measured in the same run.

Usage: python bench/bench_logarithmic_threads.py [--quick]
"""
import os
import sys
import threading
import time

import numpy as np

from common import logarithmic_data  # noqa: E402

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg

QUICK = "--quick" in sys.argv
SHAPE = (20000, 100) if QUICK else (100000, 100)
WINDOW = 20
REPEAT = 3 if QUICK else 5


class Instance:
    window = WINDOW


def best(fn, repeat=REPEAT):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


class Busy:
    """A pure-Python thread that spins (and so asks for the lock) until stopped."""

    def __enter__(self):
        self.stop = False
        self.count = 0

        def spin():
            n = 0
            while not self.stop:
                n += 1
            self.count = n

        self.thread = threading.Thread(target=spin)
        self.thread.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def two_threads(call):
    barrier = threading.Barrier(3)

    def worker():
        barrier.wait()
        call()

    threads = [threading.Thread(target=worker) for _ in range(2)]
    for th in threads:
        th.start()
    barrier.wait()
    t0 = time.perf_counter()
    for th in threads:
        th.join()
    return time.perf_counter() - t0


def main():
    x = logarithmic_data(SHAPE)
    inst = Instance()
    functions = [("694eff (product)", lg.longitudinal_logarithmic_694eff_batch_reference),
                 ("665270 (geo mean)", lg.longitudinal_logarithmic_665270_batch_reference)]
    print(f"shape {SHAPE}, float64, W={WINDOW}; best of {REPEAT}; {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f} (the ratios assume the cores are otherwise idle)")
    print(f"{'function':<18} {'alone ms':>9} {'busy ms':>9} {'busy/alone':>11} {'2 seq ms':>9} "
          f"{'2 thr ms':>9} {'speed-up':>9}")
    for name, fn in functions:
        call = lambda: fn(inst, x)  # noqa: E731
        call()  # warm: first-use set-up, page faults of the output
        alone = best(call)
        with Busy():
            busy = best(call)
        sequential = best(lambda: (call(), call()))
        parallel = min(two_threads(call) for _ in range(REPEAT))
        print(f"{name:<18} {alone * 1e3:9.1f} {busy * 1e3:9.1f} {busy / alone:11.2f} {sequential * 1e3:9.1f} "
              f"{parallel * 1e3:9.1f} {sequential / parallel:8.2f}x")


if __name__ == "__main__":
    main()
