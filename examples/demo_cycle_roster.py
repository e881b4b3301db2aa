"""cycle_roster: which epochs each submission type and process role works on."""
from vantorel.cycle_roster import (
    EpochName,
    epochs_for_process_role,
    epochs_for_submission_type,
    valid_epochs_for_category,
)

ROLES = [
    None, "api", " API_Server ", "all", "all-serving", "server",
    "backtest", "correlation", "mi", "signal", "signal-backtest", "signal-correlation", "signal-mi",
    "signal-validation", "strategy", "strategy-mi", "strategy-validation",
    "signal-is", "Signal_IS_Only", "signal-os", "signal-os-only",
    "strategy-is", "strategy-is-only", "strategy_os", "strategy-os-only",
]
BAD_INPUT = [
    ("process role", epochs_for_process_role, "signal-is-pool"),
    ("process role", epochs_for_process_role, "   "),
    ("submission type", epochs_for_submission_type, None),
    ("epoch", EpochName.from_str, "SIGNAL_IS"),
    ("category", valid_epochs_for_category, "Signals"),
]


def names(epochs):
    return ", ".join(e.value for e in epochs) or "-"


def main() -> None:
    print("== cycle_roster: epochs of an era")
    print("members:", names(EpochName))
    for category in ("aggregations", "features", "signals", "universes", "strategies"):
        members = [e for e in EpochName if e in valid_epochs_for_category(category)]
        print(f"  category {category:<13} {names(members)}")
    print("\nsubmission types:")
    for submission in ("signal", " Strategy "):
        print(f"  {submission!r:<14} -> {names(epochs_for_submission_type(submission))}")
    print("\nprocess roles:")
    for role in ROLES:
        print(f"  {role!r:<22} -> {names(epochs_for_process_role(role))}")
    print("\nexact epoch parsing:", EpochName.from_str("signal_is_pool"))
    print("\nrefused input:")
    for what, fn, value in BAD_INPUT:
        try:
            fn(value)
        except ValueError as exc:
            cause = f" (caused by {type(exc.__cause__).__name__}: {exc.__cause__})" if exc.__cause__ else ""
            print(f"  {what:<15} {value!r:<18} ValueError: {exc}{cause}")


if __name__ == "__main__":
    main()
