"""Reading the store back: the latest profile of each table, and each table's history."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from datetime import datetime
from pathlib import Path

import duckdb

from kor.compute.metadata.connection import open_store
from kor.compute.metadata.records import ProfiledTable, TableRun, decode_list, summarise
from kor.compute.metadata.schema import PROFILE_FIELDS, PROFILES_TABLE, ColumnProfileResult
from kor.compute.metadata.session import StoreSession

# A name matches a table by its own name, or by "source.table" (a table name may hold dots).
_NAME_MATCHES = """($source IS NULL OR source_name = $source)
  AND ($table IS NULL OR table_name = $table
       OR ($source IS NULL AND source_name || '.' || table_name = $table))"""


class MetadataReader:
    """Read-only access to a store file; a missing file or table reads as an empty store."""

    def __init__(self, path: Path) -> None:
        self.path = path

    @contextmanager
    def _reading(self) -> Iterator[duckdb.DuckDBPyConnection | None]:
        """A connection to read with, or None when nothing has been stored yet."""
        session = StoreSession.current(self.path)
        if session is not None and session.is_open:
            # This process holds the file for a run: read through the run's own connection.
            yield session.connection().cursor()
            return
        if not self.path.exists():
            yield None
            return
        connection = open_store(self.path, read_only=True)
        try:
            stored = connection.execute(
                "SELECT 1 FROM information_schema.tables WHERE table_name = ?",
                [PROFILES_TABLE]).fetchall()
            yield connection if stored else None
        finally:
            connection.close()

    def latest_profiles(self, table: str | None = None,
                        source_name: str | None = None) -> list[ColumnProfileResult]:
        """The columns of each table's most recent profile, in table and column order.

        `table` is a table name (of any source) or "source.table"; `source_name` narrows to one
        source, and then `table` is the table's own name.
        """
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(
                f"""
                SELECT {', '.join(PROFILE_FIELDS)} FROM {PROFILES_TABLE} p
                WHERE profiled_at = (SELECT MAX(profiled_at) FROM {PROFILES_TABLE} q
                                     WHERE q.source_name = p.source_name
                                       AND q.table_name = p.table_name)
                  AND {_NAME_MATCHES}
                ORDER BY source_name, table_name, column_name
                """,
                {"table": table, "source": source_name},
            ).fetchall()
        return [ColumnProfileResult(**dict(zip(PROFILE_FIELDS, row, strict=True)))
                for row in rows]

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
                FROM {PROFILES_TABLE}
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
            run.alert_count += len(decode_list(alerts))
        return list(runs.values())
