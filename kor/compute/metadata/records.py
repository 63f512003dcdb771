"""What the readers return: stored runs summed up, and the decoded JSON list fields."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

from kor.artifacts.schemas.run import RunStatus
from kor.compute.metadata.schema import ColumnProfileResult

# A table as the store names it: (source name, table name).
TableKey = tuple[str, str]


@dataclass
class StoredRun:
    """One table's rows of one `profiled_at`, summed up."""

    source_name: str
    table_name: str
    profiled_at: datetime
    profile_mode: str
    row_count: int
    column_count: int


@dataclass
class ProfiledTable(StoredRun):
    """The latest stored run of one table, its alerts counted by severity."""

    alerts_by_severity: dict[str, int] = field(default_factory=dict)

    @property
    def alert_count(self) -> int:
        return sum(self.alerts_by_severity.values())


@dataclass
class TableRun(StoredRun):
    """One stored run of a table, for its history."""

    alert_count: int = 0


def decode_list(text: str | None) -> list[dict[str, Any]]:
    """A JSON list field written by the task; anything else reads as no entries."""
    return [entry for entry in decode_json_list(text) if isinstance(entry, dict)]


def decode_top_values(row: ColumnProfileResult) -> list[dict[str, Any]]:
    """The stored most frequent values: entries with a text "value" and an int "count"."""
    return [entry for entry in decode_list(row.top_values)
            if isinstance(entry.get("count"), int) and "value" in entry]


def decode_histogram(row: ColumnProfileResult) -> list[dict[str, Any]]:
    return decode_list(row.histogram)


def decode_alerts(row: ColumnProfileResult) -> list[dict[str, Any]]:
    """The stored alert mappings ("type", "severity", "message")."""
    return decode_list(row.alerts)


def summarise(latest: list[ColumnProfileResult]) -> list[ProfiledTable]:
    """One entry per table of `latest_profiles` rows, in their order."""
    tables: dict[tuple[str, str], ProfiledTable] = {}
    for row in latest:
        key = (row.source_name, row.table_name)
        if key not in tables:
            tables[key] = ProfiledTable(row.source_name, row.table_name, row.profiled_at,
                                        row.profile_mode, row.row_count, 0)
        entry = tables[key]
        entry.column_count += 1
        entry.row_count = max(entry.row_count, row.row_count)
        for alert in decode_alerts(row):
            severity = str(alert.get("severity", "unknown"))
            entry.alerts_by_severity[severity] = entry.alerts_by_severity.get(severity, 0) + 1
    return list(tables.values())


@dataclass
class RecordedRun:
    """One recorded run, with how many of its tables were run and how many failed."""

    run_id: int
    started_at: datetime
    ended_at: datetime | None
    project: str | None
    target: str | None
    select: list[str]
    exclude: list[str]
    profile_mode: str | None
    threads: int | None
    status: str
    exit_status: int | None
    tool_version: str | None
    tables: int = 0
    failed_tables: int = 0


@dataclass
class RecordedTableRun:
    """One table of one recorded run; `columns` in table order, types None where unknown."""

    run_id: int
    run_started_at: datetime
    source_name: str
    table_name: str
    status: str
    error: str | None
    row_count: int | None
    column_count: int | None
    duration_ms: int | None
    profiled_at: datetime
    columns: list[tuple[str, str | None]]
    stored: bool
    # The column that said how fresh the table was, and the age of its latest value then.
    freshness_column: str | None = None
    freshness_seconds: float | None = None
    # The warehouse's own columns where the profiled ones were declared; None: as profiled.
    warehouse_columns: list[tuple[str, str | None]] | None = None
    # The run whose measurement this run reused, the data being provably unchanged since.
    reused_from: int | None = None

    @property
    def succeeded(self) -> bool:
        return self.status == RunStatus.SUCCESS


def decode_columns(text: str | None) -> list[tuple[str, str | None]]:
    """A table run's column list: JSON pairs of name and type."""
    return [(str(entry[0]), None if entry[1] is None else str(entry[1]))
            for entry in decode_json_list(text)
            if isinstance(entry, list) and len(entry) == 2]


def decode_selectors(text: str | None) -> tuple[list[str], list[str]]:
    try:
        value = json.loads(text) if text else {}
    except ValueError:
        value = {}
    if not isinstance(value, dict):
        value = {}
    return ([str(v) for v in value.get("select", [])], [str(v) for v in value.get("exclude", [])])


def decode_json_list(text: str | None) -> list[Any]:
    """A JSON list field; anything else reads as an empty list."""
    if not text:
        return []
    try:
        value = json.loads(text)
    except (TypeError, ValueError):
        return []
    return value if isinstance(value, list) else []


@dataclass
class RunPoint:
    """One table run as its history shows it: its outcome and its size."""

    run_id: int
    run_started_at: datetime
    profiled_at: datetime
    status: str
    error: str | None
    row_count: int | None
    column_count: int | None
    duration_ms: int | None
    stored: bool
    reused_from: int | None = None
    freshness_seconds: float | None = None

    @property
    def succeeded(self) -> bool:
        return self.status == RunStatus.SUCCESS

    @classmethod
    def of(cls, run: RecordedTableRun) -> RunPoint:
        return cls(run.run_id, run.run_started_at, run.profiled_at, run.status, run.error,
                   run.row_count, run.column_count, run.duration_ms, run.stored,
                   run.reused_from, run.freshness_seconds)
