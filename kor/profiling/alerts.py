"""Every type of alert a stored profile can carry, where each comes from."""

from __future__ import annotations

ALERT_TYPES = (
    # The profiler's own rules, on each column's figures.
    "HIGH_MISSING", "MISSING", "HIGH_CARDINALITY", "LOW_CARDINALITY", "ALL_NULL",
    "ZERO_VARIANCE", "PROFILE_ERROR",
    # The library's, on a table as a whole: its freshness rule, its declared columns, likely
    # personal data, and its figures against its own past runs.
    "STALE", "FRESHNESS_UNMEASURED", "SCHEMA_DRIFT", "PII", "ANOMALY",
)
