"""The project's metadata store: one row per profiled column."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime


@dataclass(kw_only=True)
class ColumnProfileResult:
    """One stored column profile; list fields arrive as JSON text or None."""

    source_name: str
    table_name: str
    column_name: str
    profile_mode: str
    row_count: int
    null_count: int
    null_percent: float
    distinct_count: int
    distinct_percent: float
    min_value: float | None = None
    max_value: float | None = None
    mean_value: float | None = None
    median_value: float | None = None
    stddev_value: float | None = None
    p25: float | None = None
    p50: float | None = None
    p75: float | None = None
    min_length: int | None = None
    max_length: int | None = None
    avg_length: float | None = None
    histogram: str | None = None
    top_values: str | None = None
    alerts: str | None = None
    profiled_at: datetime
    duration_ms: int
