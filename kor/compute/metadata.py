"""The project's metadata store: one row per profiled column."""

from __future__ import annotations

import time
from dataclasses import dataclass, fields
from datetime import datetime
from pathlib import Path

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

    def _connect(self, read_only: bool = False) -> duckdb.DuckDBPyConnection:
        # Another process holding the file is waited for, within a bound.
        deadline = time.monotonic() + self.LOCK_WAIT_SECONDS
        while True:
            try:
                return duckdb.connect(str(self.path), read_only=read_only)
            except duckdb.IOException as exc:
                if "lock" not in str(exc).lower() or time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

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
        """Writes the saved rows, all or none of each statement's rows."""
        if self._connection is None:
            raise RuntimeError("the metadata store is not initialized")
        names = [name for name, _ in _COLUMNS]
        placeholders = f"({', '.join('?' for _ in names)})"
        while self._pending:
            batch = self._pending[:self.ROWS_PER_STATEMENT]
            self._connection.execute(
                f"INSERT INTO column_profiles ({', '.join(names)}) "
                f"VALUES {', '.join(placeholders for _ in batch)}",
                [getattr(row, name) for row in batch for name in names],
            )
            del self._pending[:len(batch)]

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

    def latest_profiles(self, table: str | None = None) -> list[ColumnProfileResult]:
        """The columns of each table's most recent profile, in table and column order."""
        if not self.path.exists():
            return []
        connection = self._connect(read_only=True)
        try:
            names = [name for name, _ in _COLUMNS]
            rows = connection.execute(
                f"""
                SELECT {', '.join(names)} FROM column_profiles p
                WHERE profiled_at = (SELECT MAX(profiled_at) FROM column_profiles q
                                     WHERE q.source_name = p.source_name
                                       AND q.table_name = p.table_name)
                  AND (? IS NULL OR table_name = ?)
                ORDER BY source_name, table_name, column_name
                """,
                [table, table],
            ).fetchall()
        finally:
            connection.close()
        return [ColumnProfileResult(**dict(zip(names, row, strict=True))) for row in rows]
