"""Pure-Python model of ``vantorel.cycle_roster``: the oracle of the differential
tests and the baseline of the benchmark. A literal transcription of the module."""
from __future__ import annotations

from enum import Enum


class EpochName(str, Enum):
    SIGNAL_IS = "signal_is"
    SIGNAL_IS_POOL = "signal_is_pool"
    SIGNAL_OS = "signal_os"
    STRATEGY_IS = "strategy_is"
    STRATEGY_OS = "strategy_os"

    @classmethod
    def from_str(cls, value: "EpochName | str") -> "EpochName":
        if isinstance(value, cls):
            return value
        try:
            return cls(str(value))
        except ValueError as exc:
            raise ValueError(f"Unknown epoch '{value}'") from exc


_STANDARD_EPOCH_NAMES = frozenset(
    {EpochName.SIGNAL_IS, EpochName.SIGNAL_OS, EpochName.STRATEGY_IS, EpochName.STRATEGY_OS}
)
_ALL_EPOCH_NAMES = frozenset(EpochName)
_VALID_EPOCHS_BY_CATEGORY = {
    "aggregations": _STANDARD_EPOCH_NAMES,
    "features": _STANDARD_EPOCH_NAMES,
    "signals": _ALL_EPOCH_NAMES,
    "universes": _STANDARD_EPOCH_NAMES,
    "strategies": frozenset({EpochName.STRATEGY_IS, EpochName.STRATEGY_OS}),
}


def valid_epochs_for_category(category: str) -> frozenset[EpochName]:
    try:
        return _VALID_EPOCHS_BY_CATEGORY[str(category)]
    except KeyError as exc:
        raise ValueError(f"Unknown epoch category '{category}'") from exc


def _standard_aggregation_epochs() -> tuple[EpochName, ...]:
    valid = valid_epochs_for_category("aggregations")
    return tuple(epoch for epoch in EpochName if epoch in valid)


def _epoch_partition(prefix: str) -> tuple[EpochName, ...]:
    prefix_text = f"{prefix}_"
    valid = valid_epochs_for_category("aggregations")
    return tuple(epoch for epoch in EpochName if epoch in valid and epoch.value.startswith(prefix_text))


def _normalize_process_role(role: str | None) -> str:
    return str(role or "").strip().lower().replace("_", "-")


def epochs_for_submission_type(submission_type: str | None) -> tuple[EpochName, ...]:
    normalized = _normalize_process_role(submission_type)
    if normalized == "signal":
        return _epoch_partition("signal")
    if normalized == "strategy":
        return _epoch_partition("strategy")
    raise ValueError(f"Unknown submission type '{submission_type}'")


def epochs_for_process_role(role: str | None) -> tuple[EpochName, ...]:
    if role is None:
        return _standard_aggregation_epochs()
    normalized = _normalize_process_role(role)
    if normalized == "":
        raise ValueError(f"Unknown process role '{role}'")
    if normalized in ("api", "api-server", "all", "all-serving", "server"):
        return _standard_aggregation_epochs()
    if normalized in (
        "backtest",
        "correlation",
        "mi",
        "signal",
        "signal-backtest",
        "signal-correlation",
        "signal-mi",
        "signal-validation",
    ):
        return epochs_for_submission_type("signal")
    if normalized in ("strategy", "strategy-mi", "strategy-validation"):
        return epochs_for_submission_type("strategy")
    valid = valid_epochs_for_category("aggregations")
    for epoch in EpochName:
        if epoch not in valid:
            continue
        epoch_role = epoch.value.replace("_", "-")
        if normalized == epoch_role or normalized == f"{epoch_role}-only":
            return (epoch,)
    raise ValueError(f"Unknown process role '{role}'")
