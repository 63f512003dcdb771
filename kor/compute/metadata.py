"""The project's metadata store: one row per profiled column."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import Optional


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
    min_value: Optional[float] = None
    max_value: Optional[float] = None
    mean_value: Optional[float] = None
    median_value: Optional[float] = None
    stddev_value: Optional[float] = None
    p25: Optional[float] = None
    p50: Optional[float] = None
    p75: Optional[float] = None
    min_length: Optional[int] = None
    max_length: Optional[int] = None
    avg_length: Optional[float] = None
    histogram: Optional[str] = None
    top_values: Optional[str] = None
    alerts: Optional[str] = None
    profiled_at: datetime
    duration_ms: int
