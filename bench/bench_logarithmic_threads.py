"""The logarithmic batch references beside other threads, side by side in one process.

float64 lognormal data of shape (40000, 100), W=20, about 5% NaN. For each function prints:
  - beside a busy thread: the call's time while a pure-Python thread spins
    (`while not stop: n += 1`), over its time alone (1.0 when the call never waits
    for the interpreter lock and has a core to itself; each time a call takes the
    lock back from the spinning thread it waits up to a switch interval, 5 ms);
  - two threads: the throughput of two calls started together from two threads over
    that of the same two calls one after the other (at most the number of idle cores).
Each round measures a call alone, then beside the busy thread, then two calls one
after the other and from two threads; the figures are the medians over the rounds of
each time and of each round's ratios, so that a change of load between rounds moves
both sides of a ratio alike.

Usage: python bench/bench_logarithmic_threads.py [--quick] [--rounds N] [--shape T,N]
"""
import argparse
import os
import statistics
import sys
import threading
import time

from common import logarithmic_data  # noqa: E402

import vantorel.functions.rotations.batch_references.longitudinal.logarithmic as lg

WINDOW = 20


class Instance:
    window = WINDOW


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


class Busy:
    """A pure-Python thread that spins (and so asks for the lock) until stopped."""

    def __enter__(self):
        self.stop = False
        started = threading.Event()

        def spin():
            n = 0
            started.set()
            while not self.stop:
                n += 1

        self.thread = threading.Thread(target=spin)
        self.thread.start()
        started.wait()
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
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="3 rounds")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--shape", default="40000,100")
    args = ap.parse_args()
    rounds = 3 if args.quick else args.rounds
    shape = tuple(int(v) for v in args.shape.split(","))
    x = logarithmic_data(shape)
    inst = Instance()
    functions = [("694eff (product)", lg.longitudinal_logarithmic_694eff_batch_reference),
                 ("665270 (geo mean)", lg.longitudinal_logarithmic_665270_batch_reference)]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]} (GIL {'on' if gil else 'off'}); shape {shape}, float64, W={WINDOW}; "
          f"median of {rounds} rounds; {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} "
          f"(the ratios assume the cores are otherwise idle)")
    print(f"{'function':<18} {'alone ms':>9} {'busy ms':>9} {'busy/alone':>11} {'2 seq ms':>9} "
          f"{'2 thr ms':>9} {'throughput':>11}")
    med = statistics.median
    for name, fn in functions:
        call = lambda: fn(inst, x)  # noqa: E731
        call()  # warm: first-use set-up, page faults of the output
        alone, busy, seq, par = [], [], [], []
        for _ in range(rounds):
            alone.append(timed(call))
            with Busy():
                busy.append(timed(call))
            seq.append(timed(lambda: (call(), call())))
            par.append(two_threads(call))
        ratio = med(b / a for a, b in zip(alone, busy))
        speed_up = med(s / p for s, p in zip(seq, par))
        print(f"{name:<18} {med(alone) * 1e3:9.1f} {med(busy) * 1e3:9.1f} {ratio:11.2f} {med(seq) * 1e3:9.1f} "
              f"{med(par) * 1e3:9.1f} {speed_up:10.2f}x")


if __name__ == "__main__":
    main()
