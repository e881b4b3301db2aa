"""Projection-mismatch telemetry: a few mismatches recorded on the default object."""
from vantorel import _parity_watch as pw


def main() -> None:
    print("== vantorel._parity_watch: projection-mismatch telemetry ==")
    projection = {
        "projection_version": "v3",
        "shape_fields": ["lane", "tier"],
        "shape_key": {"lane": "L1", "tier": 2},
        "rows": 1250,
        "ratio": 0.3125,
    }
    cases = [
        ({"market_id": "NYSE", "era_number": 812}, projection,
         ["shape_key lane differs: L1 != L2"]),
        ({"market_id": "LSE", "era_id": 77}, {"version": 2, "rows": 10},
         ["market_id differs", "rows: 10 != 11"]),
        ({"market_id": "TSE"}, None, ["projection missing from server reply"]),
        ({"market_id": "X" * 120, "era_number": 3}, {"schema_version": "s1"}, []),
    ]
    for data, proj, mismatches in cases:
        ok = pw.record_projection_mismatch(
            data=data, projection=proj, mismatches=mismatches, epoch_ns=1_765_000_000_000_000_000)
        print(f"recorded={ok!s:<5} reason_code={pw.projection_mismatch_reason(mismatches):<20} "
              f"hash={pw.projection_hash(proj)}")

    watch = pw.default_parity_watch()
    records = watch.snapshot_anomalies()
    print(f"\n{len(records)} anomalies held, {watch.dropped_count} dropped:")
    for i, rec in enumerate(records, 1):
        print(f"[{i}] {rec.severity.name} {rec.call_site} value={rec.value} epoch_ns={rec.epoch_ns}")
        print(f"    reason:  {rec.reason}")
        print(f"    message: {rec.message}")
        extra = {k: v for k, v in rec.tags.items() if k not in pw._TAG_KEYS}
        print(f"    version={rec.tags['projection_version']}  shape axes={extra or '-'}")
    drained = watch.drain_anomalies()
    print(f"\ndrained {len(drained)}; {len(watch.snapshot_anomalies())} left")


if __name__ == "__main__":
    main()
