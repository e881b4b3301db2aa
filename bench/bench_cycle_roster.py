"""cycle_roster against its pure-Python model, per call, in one process.

Prints each call's time, native and model, and the speed-up (model / native),
late-bound lookups included. Calls the model answers in under about 150 ns are
mostly the interpreter's own call overhead, which both sides pay, so the last
column also gives the speed-up of the bodies alone: each time less the host's
call floor (an empty function of the same arity, timed the same way).
"""
from common import header, per_call_ns, row

import vantorel.cycle_roster as native
from models import cycle_roster_model as model

# Each case: (label, function name or "from_str", argument). Callables and
# arguments are fetched before timing, so the timed call is the function alone.
CASES = [
    ("EpochName.from_str(member)", "from_str", "SIGNAL_OS"),
    ("EpochName.from_str('signal_os')", "from_str", "signal_os"),
    ("EpochName.from_str('strategy_os')", "from_str", "strategy_os"),
    ("valid_epochs_for_category('signals')", "valid_epochs_for_category", "signals"),
    ("_standard_aggregation_epochs()", "_standard_aggregation_epochs", None),
    ("_epoch_partition('signal')", "_epoch_partition", "signal"),
    ("_normalize_process_role(' API_Server ')", "_normalize_process_role", " API_Server "),
    ("epochs_for_submission_type('Strategy')", "epochs_for_submission_type", "Strategy"),
    ("epochs_for_process_role(None)", "epochs_for_process_role", None),
    ("epochs_for_process_role('api')", "epochs_for_process_role", "api"),
    ("epochs_for_process_role('signal-validation')", "epochs_for_process_role", "signal-validation"),
    ("epochs_for_process_role('strategy_os_only')", "epochs_for_process_role", "strategy_os_only"),
    ("epochs_for_process_role('nobody') -> error", "epochs_for_process_role", "nobody"),
    ("EpochName.from_str('nothing') -> error", "from_str", "nothing"),
]


def resolve(module, name, arg):
    if name != "from_str":
        return getattr(module, name), arg
    if arg == "SIGNAL_OS":
        arg = module.EpochName.SIGNAL_OS
    return module.EpochName.from_str, arg


def empty0():
    pass


def empty1(value):
    pass


def main():
    header("cycle_roster: native vs pure-Python model (last column: bodies over the call floor)", width=46)
    floors = {0: per_call_ns(empty0, catch=ValueError), 1: per_call_ns(empty1, "x", catch=ValueError)}
    print(f"call floor: {floors[0]:.1f} ns (no argument), {floors[1]:.1f} ns (one)")
    slowest = body_slowest = None
    for label, name, arg in CASES:
        timings = []
        args = ()
        for module in (native, model):
            fn, value = resolve(module, name, arg)
            args = () if name == "_standard_aggregation_epochs" else (value,)
            timings.append(per_call_ns(fn, *args, catch=ValueError))
        n, m = timings
        floor = floors[len(args) if name != "from_str" else 1]
        body = (m - floor) / max(n - floor, 1.0)
        ratio = row(label, n, m, width=46, extra=f"{body:9.1f}x")
        if slowest is None or ratio < slowest[0]:
            slowest = (ratio, label, m)
        if body_slowest is None or body < body_slowest[0]:
            body_slowest = (body, label)
    ratio, label, m = slowest
    print(f"smallest speed-up: {ratio:.1f}x, {label} (the model takes {m:.0f} ns)")
    print(f"smallest speed-up of the bodies: {body_slowest[0]:.1f}x, {body_slowest[1]}")


if __name__ == "__main__":
    main()
