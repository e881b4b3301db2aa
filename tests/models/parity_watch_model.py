"""SDK-local telemetry for simulation-contract projection mismatches."""
# Pure-Python model of vantorel._parity_watch: a literal transcription of the
# module, including the three mended faults (mismatches materialised once, a
# runtime replaced only when it is None, the default stored only if still None).
# Oracle of the differential tests and baseline of the benchmark.
import hashlib
import json
import time
from collections.abc import Mapping
from typing import Any

from vantorel._sdk_telemetry import AnomalyRecord, Severity, TelemetryRuntime

_TAG_KEYS = (
    "slot_id",
    "parent_home",
    "market_id",
    "era_number",
    "reason_code",
    "projection_version",
    "projection_hash",
    "consumer",
    "decision",
    "surface",
)
_PARENT_HOME = "src.data_platform.era_data_vault.simulation_data_contract"
_CALL_SITE_NAME = "simulation_contract.projection_mismatch"


class SimulationContractSdkTelemetry:
    """Bounded wheel-local telemetry for SDK/server projection checks."""

    def __init__(self, runtime: "TelemetryRuntime | None" = None, *, clock_ns=time.time_ns) -> "None":
        if runtime is None:
            runtime = TelemetryRuntime(component="vantorel_sdk", lanes=1, ring_capacity=128)
        self.runtime = runtime
        self._clock_ns = clock_ns
        self._projection_mismatch_site = self.runtime.register_call_site(
            name=_CALL_SITE_NAME,
            description="Vantorel SDK observed a local/server simulation-contract projection mismatch.",
            message_template=(
                "simulation contract projection mismatch reason={reason_code} "
                "market={market_id} era={era_number} hash={projection_hash}"
            ),
            value_unit="mismatches",
            severity_default=Severity.WARN,
            file=__file__,
            line=47,
            tag_keys=_TAG_KEYS,
        )

    @property
    def dropped_count(self) -> "int":
        return self.runtime.dropped_count

    def record_projection_mismatch(
        self,
        *,
        data: "Mapping[str, Any]",
        projection: "Mapping[str, Any] | None",
        mismatches: "tuple[str, ...] | list[str]",
        epoch_ns: "int | None" = None,
    ) -> "bool":
        if not isinstance(mismatches, (list, tuple)):
            mismatches = tuple(mismatches)
        reason_code = projection_mismatch_reason(mismatches)
        tags = _tags(data=data, projection=projection, reason_code=reason_code)
        try:
            warn = self.runtime.warn
            site = self._projection_mismatch_site
            if epoch_ns is None:
                stamp = int(self._clock_ns())
            else:
                stamp = int(epoch_ns)
            reason = "; ".join(str(item) for item in mismatches) or reason_code
            severity = Severity.WARN
            return warn(site, 1.0, epoch_ns=stamp, reason=reason, tags=tags, severity=severity)
        except Exception:
            return False

    def snapshot_anomalies(self) -> "tuple[AnomalyRecord, ...]":
        return self.runtime.snapshot_anomalies()

    def drain_anomalies(self) -> "list[AnomalyRecord]":
        return self.runtime.drain_anomalies()


_DEFAULT_TELEMETRY = None


def default_parity_watch() -> "SimulationContractSdkTelemetry":
    global _DEFAULT_TELEMETRY
    if _DEFAULT_TELEMETRY is None:
        created = SimulationContractSdkTelemetry()
        if _DEFAULT_TELEMETRY is None:
            _DEFAULT_TELEMETRY = created
    return _DEFAULT_TELEMETRY


def configure_parity_watch(runtime: "TelemetryRuntime | None" = None) -> "SimulationContractSdkTelemetry":
    global _DEFAULT_TELEMETRY
    _DEFAULT_TELEMETRY = SimulationContractSdkTelemetry(runtime)
    return _DEFAULT_TELEMETRY


def record_projection_mismatch(
    *,
    data: "Mapping[str, Any]",
    projection: "Mapping[str, Any] | None",
    mismatches: "tuple[str, ...] | list[str]",
    epoch_ns: "int | None" = None,
) -> "bool":
    return default_parity_watch().record_projection_mismatch(
        data=data, projection=projection, mismatches=mismatches, epoch_ns=epoch_ns
    )


def projection_mismatch_reason(mismatches: "tuple[str, ...] | list[str]") -> "str":
    mismatch_text = " ".join(str(item).lower() for item in mismatches)
    if "not an object" in mismatch_text or "missing" in mismatch_text:
        return "invalid_projection"
    if "market_id" in mismatch_text or "era_number" in mismatch_text:
        return "market_era_mismatch"
    if "shape_key" in mismatch_text:
        return "shape_mismatch"
    return "projection_mismatch"


def projection_hash(projection: "Mapping[str, Any] | None") -> "str":
    if not isinstance(projection, Mapping):
        return "none"
    payload = json.dumps(
        _json_safe(projection), sort_keys=True, separators=(",", ":"), default=str
    ).encode("utf-8")
    return hashlib.sha256(payload).hexdigest()[:16]


def _tags(
    *,
    data: "Mapping[str, Any]",
    projection: "Mapping[str, Any] | None",
    reason_code: "str",
) -> "dict[str, object]":
    projected_shape_key = projection.get("shape_key") if isinstance(projection, Mapping) else None
    shape_key = projected_shape_key if isinstance(projected_shape_key, Mapping) else data
    tags = {
        "slot_id": "simulation_data_contract_projection",
        "parent_home": _PARENT_HOME,
        "market_id": _bounded_text(data.get("market_id", "unknown")),
        "era_number": _bounded_text(data.get("era_number", data.get("era_id", "unknown"))),
        "reason_code": _bounded_text(reason_code),
        "projection_version": _projection_version(projection),
        "projection_hash": projection_hash(projection),
        "consumer": "vantorel_sdk",
        "decision": "mismatch",
        "surface": "sdk_runtime",
    }
    for field_name in _projection_shape_axes(projection, projected_shape_key):
        tags[field_name] = _bounded_text(shape_key.get(field_name, "unknown"))
    return tags


def _projection_shape_axes(
    projection: "Mapping[str, Any] | None", shape_key: "Mapping[str, Any] | None"
) -> "tuple[str, ...]":
    if not isinstance(projection, Mapping):
        return ()
    declared_fields = projection.get("shape_fields")
    if isinstance(declared_fields, (list, tuple)):
        axes = tuple(str(field) for field in declared_fields if isinstance(field, str) and field)
        if axes:
            return axes
    if isinstance(shape_key, Mapping):
        return tuple(str(key) for key in shape_key.keys())
    return ()


def _projection_version(projection: "Mapping[str, Any] | None") -> "str":
    if not isinstance(projection, Mapping):
        return "none"
    value = (
        projection.get("projection_version")
        or projection.get("version")
        or projection.get("schema_version")
        or "unspecified"
    )
    return _bounded_text(value)


def _json_safe(value: "Any") -> "Any":
    if isinstance(value, Mapping):
        return {str(key): _json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(item) for item in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)


def _bounded_text(value: "Any", max_len: "int" = 96) -> "str":
    text = str(value)
    if len(text) <= max_len:
        return text
    return text[: max_len - 3] + "..."


__all__ = [
    "SimulationContractSdkTelemetry",
    "configure_parity_watch",
    "default_parity_watch",
    "projection_hash",
    "projection_mismatch_reason",
    "record_projection_mismatch",
]
