"""SDK-local telemetry for simulation-contract projection mismatches."""

import hashlib as hashlib
import json as json
import time as time
from collections.abc import Callable, Iterable, Mapping as Mapping
from typing import Any as Any

from vantorel._sdk_telemetry import (
    AnomalyRecord as AnomalyRecord,
    Severity as Severity,
    TelemetryRuntime as TelemetryRuntime,
)

__all__ = [
    "SimulationContractSdkTelemetry",
    "configure_parity_watch",
    "default_parity_watch",
    "projection_hash",
    "projection_mismatch_reason",
    "record_projection_mismatch",
]

_TAG_KEYS: tuple[str, ...]
_PARENT_HOME: str
_CALL_SITE_NAME: str

class SimulationContractSdkTelemetry:
    """Bounded wheel-local telemetry for SDK/server projection checks."""

    runtime: Any
    _clock_ns: Callable[[], Any]
    _projection_mismatch_site: Any
    def __init__(
        self, runtime: TelemetryRuntime | None = None, *, clock_ns: Callable[[], Any] = ...
    ) -> None: ...
    @property
    def dropped_count(self) -> int: ...
    def record_projection_mismatch(
        self,
        *,
        data: Mapping[str, Any],
        projection: Mapping[str, Any] | None,
        mismatches: tuple[str, ...] | list[str] | Iterable[Any],
        epoch_ns: int | None = None,
    ) -> bool: ...
    def snapshot_anomalies(self) -> tuple[AnomalyRecord, ...]: ...
    def drain_anomalies(self) -> list[AnomalyRecord]: ...

_DEFAULT_TELEMETRY: SimulationContractSdkTelemetry | None

def default_parity_watch() -> SimulationContractSdkTelemetry: ...
def configure_parity_watch(runtime: TelemetryRuntime | None = None) -> SimulationContractSdkTelemetry: ...
def record_projection_mismatch(
    *,
    data: Mapping[str, Any],
    projection: Mapping[str, Any] | None,
    mismatches: tuple[str, ...] | list[str] | Iterable[Any],
    epoch_ns: int | None = None,
) -> bool: ...
def projection_mismatch_reason(mismatches: tuple[str, ...] | list[str] | Iterable[Any]) -> str: ...
def projection_hash(projection: Mapping[str, Any] | None) -> str: ...
def _tags(
    *, data: Mapping[str, Any], projection: Mapping[str, Any] | None, reason_code: str
) -> dict[str, object]: ...
def _projection_shape_axes(
    projection: Mapping[str, Any] | None, shape_key: Mapping[str, Any] | None
) -> tuple[str, ...]: ...
def _projection_version(projection: Mapping[str, Any] | None) -> str: ...
def _json_safe(value: Any) -> Any: ...
def _bounded_text(value: Any, max_len: int = 96) -> str: ...
