"""In-process telemetry runtime of the vantorel SDK: call sites, bounded anomaly rings."""

from collections.abc import Iterable
from enum import IntEnum
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Self

__all__ = ["AnomalyRecord", "CallSite", "Severity", "TelemetryRuntime"]

class Severity(IntEnum):
    """Severity of an anomaly record; the values are those of the logging levels."""

    DEBUG = 10
    INFO = 20
    WARN = 30
    ERROR = 40
    CRITICAL = 50

@final
class CallSite:
    """Handle of a registered call site (made by TelemetryRuntime.register_call_site; read-only)."""

    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def message_template(self) -> str: ...
    @property
    def value_unit(self) -> str: ...
    @property
    def severity_default(self) -> Severity: ...
    @property
    def file(self) -> str: ...
    @property
    def line(self) -> int: ...
    @property
    def tag_keys(self) -> tuple[str, ...]: ...
    @property
    def lane(self) -> int: ...

@final
class AnomalyRecord:
    """One anomaly stored by TelemetryRuntime.warn (read-only).

    Records compare and hash by value; the insertion sequence takes no part.
    """

    @property
    def component(self) -> str: ...
    @property
    def call_site(self) -> str: ...
    @property
    def severity(self) -> Severity: ...
    @property
    def value(self) -> float: ...
    @property
    def epoch_ns(self) -> int: ...
    @property
    def reason(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def tags(self) -> dict[str, str]:
        """The record's tags: a new dict on every read."""
    @property
    def sequence(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

class TelemetryRuntime:
    """In-process store of anomaly records: `lanes` bounded rings of `ring_capacity` records each.

    Thread-safe: warn, snapshot_anomalies and drain_anomalies may run concurrently and
    lose nothing; every eviction is counted.
    """

    def __new__(cls, *, component: str, lanes: SupportsIndex, ring_capacity: SupportsIndex) -> Self: ...
    @property
    def component(self) -> str: ...
    @property
    def lanes(self) -> int: ...
    @property
    def ring_capacity(self) -> int: ...
    @property
    def dropped_count(self) -> int:
        """Records evicted from a full lane so far (never reset by a drain)."""
    def register_call_site(
        self,
        *,
        name: str,
        description: str,
        message_template: str,
        value_unit: str,
        severity_default: Severity | int,
        file: str,
        line: SupportsIndex,
        tag_keys: Iterable[str],
    ) -> CallSite:
        """Register a call site; every call returns a new, independent handle.

        A name may be registered any number of times; all handles stay valid. A call
        site's records go to lane FNV-1a(name's code points) % lanes.
        """
    def warn(
        self,
        site: CallSite,
        value: SupportsFloat | SupportsIndex,
        *,
        epoch_ns: int,
        reason: str,
        tags: dict[str, str],
        severity: Severity | int | None = None,
    ) -> bool:
        """Store one AnomalyRecord and return True (also when an older record was evicted).

        The message is the call site's template with each {key} whose key is a tag replaced
        by the tag's value; other brace text stays as written.
        """
    def snapshot_anomalies(self) -> tuple[AnomalyRecord, ...]:
        """The held records, oldest first across all lanes."""
    def drain_anomalies(self) -> list[AnomalyRecord]:
        """Remove and return every held record, oldest first."""
