import vantorel._parity_watch as pw
p = {
        "projection_version": "v3", "market_id": "NYSE", "era_number": 812,
        "shape_fields": ["lane", "tier"], "shape_key": {"lane": "L1", "tier": 2},
        "rows": 1250, "ratio": 0.3125, "complete": True, "note": None, "tags": ("a", "b"),
    }
f = pw.projection_hash
for _ in range(300000):
    f(p)
