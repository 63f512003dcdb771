"""The project's metadata store: one row per profiled column."""

from __future__ import annotations

import json
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field, fields
from datetime import datetime
from pathlib import Path
from typing import Any

import duckdb


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


# Field annotations are strings here (postponed evaluation); their base type picks the SQL type.
_SQL_TYPES = {"int": "BIGINT", "float": "DOUBLE", "str": "VARCHAR", "datetime": "TIMESTAMP"}
_COLUMNS = [
    (f.name, _SQL_TYPES[str(f.type).removesuffix(" | None")])
    for f in fields(ColumnProfileResult)
]


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


def _decode_list(text: str | None) -> list[dict[str, Any]]:
    # The list fields are JSON text written by the task; anything else reads as no entries.
    if not text:
        return []
    try:
        value = json.loads(text)
    except (TypeError, ValueError):
        return []
    if not isinstance(value, list):
        return []
    return [entry for entry in value if isinstance(entry, dict)]


def decode_top_values(row: ColumnProfileResult) -> list[dict[str, Any]]:
    """The stored most frequent values: entries with a text "value" and an int "count"."""
    return [entry for entry in _decode_list(row.top_values)
            if isinstance(entry.get("count"), int) and "value" in entry]


def decode_histogram(row: ColumnProfileResult) -> list[dict[str, Any]]:
    return _decode_list(row.histogram)


def decode_alerts(row: ColumnProfileResult) -> list[dict[str, Any]]:
    """The stored alert mappings ("type", "severity", "message")."""
    return _decode_list(row.alerts)


# A name matches a table by its own name, or by "source.table" (a table name may hold dots).
_NAME_MATCHES = """($source IS NULL OR source_name = $source)
  AND ($table IS NULL OR table_name = $table
       OR ($source IS NULL AND source_name || '.' || table_name = $table))"""


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


def _is_lock_conflict(exc: duckdb.Error) -> bool:
    return isinstance(exc, duckdb.IOException) and "Conflicting lock" in str(exc)


class ProjectMetadataStore:
    """`<project_root>/.zel/metadata_store.duckdb`, table `column_profiles`.

    Saved rows are written together when the store is closed (or `flush`ed): DuckDB takes
    about as long for one single-row INSERT as for a statement of a hundred rows.
    """

    LOCK_WAIT_SECONDS = 5.0
    ROWS_PER_STATEMENT = 100

    def __init__(self, project_root: Path) -> None:
        self.path = Path(project_root) / ".zel" / "metadata_store.duckdb"
        self._connection: duckdb.DuckDBPyConnection | None = None
        self._pending: list[ColumnProfileResult] = []

    # Store files that a run keeps open between tables (see `held`), by path; None until the
    # first store of the run opens the file.
    _held: dict[Path, duckdb.DuckDBPyConnection | None] = {}

    @classmethod
    @contextmanager
    def held(cls, project_root: Path) -> Iterator[None]:
        """Keeps the store file open while the block runs, for every store of `project_root`.

        Opening a DuckDB file costs more than writing a table's rows, and the profiler opens a
        store per table. Inside the block each store works on a cursor of one open database;
        every statement still commits on its own. Other processes wait while the block runs.
        """
        path = cls(project_root).path
        cls._held[path] = None
        try:
            yield
        finally:
            connection = cls._held.pop(path, None)
            if connection is not None:
                connection.close()

    def _connect(self, read_only: bool = False) -> duckdb.DuckDBPyConnection:
        if self.path in self._held:
            if self._held[self.path] is None:
                self.path.parent.mkdir(parents=True, exist_ok=True)
                self._held[self.path] = self._open(read_only=False)
            return self._held[self.path].cursor()
        return self._open(read_only)

    def _open(self, read_only: bool) -> duckdb.DuckDBPyConnection:
        # Another process holding the file is waited for, within a bound, with a short backoff.
        deadline = time.monotonic() + self.LOCK_WAIT_SECONDS
        pause = 0.02
        while True:
            try:
                return duckdb.connect(str(self.path), read_only=read_only)
            except duckdb.Error as exc:
                if not _is_lock_conflict(exc) or time.monotonic() + pause > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 0.25)

    def initialize(self) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self._connection = self._connect()
        columns = ", ".join(f"{name} {sql_type}" for name, sql_type in _COLUMNS)
        self._connection.execute(f"CREATE TABLE IF NOT EXISTS column_profiles ({columns})")

    def save_profile_result(self, row: ColumnProfileResult) -> None:
        if self._connection is None:
            raise RuntimeError("the metadata store is not initialized")
        self._pending.append(row)

    def flush(self) -> None:
        """Writes the saved rows in order; a row the database refuses raises, and neither it
        nor the rows saved after it are written."""
        if self._connection is None:
            raise RuntimeError("the metadata store is not initialized")
        while self._pending:
            batch = self._pending[:self.ROWS_PER_STATEMENT]
            try:
                self._insert(batch)
            except duckdb.Error:
                # One statement is all or nothing: find the refused row the slow way, keeping
                # the rows before it.
                for row in batch:
                    self._insert([row])
                    del self._pending[0]
            else:
                del self._pending[:len(batch)]

    def _insert(self, rows: list[ColumnProfileResult]) -> None:
        names = [name for name, _ in _COLUMNS]
        placeholders = f"({', '.join('?' for _ in names)})"
        self._connection.execute(
            f"INSERT INTO column_profiles ({', '.join(names)}) "
            f"VALUES {', '.join(placeholders for _ in rows)}",
            [getattr(row, name) for row in rows for name in names],
        )

    def close(self) -> None:
        """Writes what is pending, then closes; the connection is closed even when writing fails."""
        if self._connection is None:
            return
        try:
            self.flush()
        finally:
            self._pending.clear()
            self._connection.close()
            self._connection = None

    def __del__(self) -> None:
        # A writer that stops between rows drops the store without closing it; the rows it
        # saved until then are still written, as they would have been one at a time.
        if getattr(self, "_connection", None) is None:
            return
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nowhere to report it; the writer already warned
            pass

    @contextmanager
    def _reading(self) -> Iterator[duckdb.DuckDBPyConnection | None]:
        """A read-only connection, or None when nothing has been stored yet."""
        if not self.path.exists():
            yield None
            return
        connection = self._connect(read_only=True)
        try:
            stored = connection.execute(
                "SELECT 1 FROM information_schema.tables WHERE table_name = 'column_profiles'"
            ).fetchall()
            yield connection if stored else None
        finally:
            connection.close()

    def latest_profiles(self, table: str | None = None,
                        source_name: str | None = None) -> list[ColumnProfileResult]:
        """The columns of each table's most recent profile, in table and column order.

        `table` is a table name (of any source) or "source.table"; `source_name` narrows to one
        source, and then `table` is the table's own name.
        """
        names = [name for name, _ in _COLUMNS]
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(
                f"""
                SELECT {', '.join(names)} FROM column_profiles p
                WHERE profiled_at = (SELECT MAX(profiled_at) FROM column_profiles q
                                     WHERE q.source_name = p.source_name
                                       AND q.table_name = p.table_name)
                  AND {_NAME_MATCHES}
                ORDER BY source_name, table_name, column_name
                """,
                {"table": table, "source": source_name},
            ).fetchall()
        return [ColumnProfileResult(**dict(zip(names, row, strict=True))) for row in rows]

    def profiled_tables(self) -> list[ProfiledTable]:
        """One entry per stored table, from its most recent run, in source and table order."""
        return summarise(self.latest_profiles())

    def table_history(self, table_name: str | None,
                      source_name: str | None = None) -> list[TableRun]:
        """One entry per stored run of the table, oldest first; None: of every table."""
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(
                f"""
                SELECT source_name, table_name, profiled_at, profile_mode, row_count, alerts
                FROM column_profiles
                WHERE {_NAME_MATCHES}
                ORDER BY profiled_at, source_name, table_name, column_name
                """,
                {"table": table_name, "source": source_name},
            ).fetchall()
        runs: dict[tuple[datetime, str, str], TableRun] = {}
        for source, table, profiled_at, mode, row_count, alerts in rows:
            key = (profiled_at, source, table)
            if key not in runs:
                runs[key] = TableRun(source, table, profiled_at, mode, row_count, 0, 0)
            run = runs[key]
            run.column_count += 1
            run.row_count = max(run.row_count, row_count)
            run.alert_count += len(_decode_list(alerts))
        return list(runs.values())
