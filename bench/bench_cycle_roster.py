"""cycle_roster against its pure-Python model, per call, in one process.

Prints each call's time, native and model, and the speed-up (model / native),
late-bound lookups included. Calls the model answers in under about 150 ns are
mostly the interpreter's own call overhead, which both sides pay, so their
speed-up stays near 2x.
"""
from common import header, per_call_ns, row

import vantorel.cycle_roster as native
from models import cycle_roster_model as model

# Each case: (label, function name or "from_str", argument). Callables and
# arguments are fetched before timing, so the timed call is the function alone.
CASES = [
    ("EpochName.from_str(member)", "from_str", "SIGNAL_OS"),
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


def main():
    header("cycle_roster: native vs pure-Python model", width=46)
    slowest = None
    for label, name, arg in CASES:
        timings = []
        for module in (native, model):
            fn, value = resolve(module, name, arg)
            args = () if name == "_standard_aggregation_epochs" else (value,)
            timings.append(per_call_ns(fn, *args, catch=ValueError))
        n, m = timings
        ratio = row(label, n, m, width=46)
        if slowest is None or ratio < slowest[0]:
            slowest = (ratio, label, m)
    ratio, label, m = slowest
    print(f"smallest speed-up: {ratio:.1f}x, {label} (the model takes {m:.0f} ns)")


if __name__ == "__main__":
    main()
