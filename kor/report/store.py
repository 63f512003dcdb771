"""The report's own reads of the metadata store: only the rows and fields a page shows.

`MetadataReader` reads whole runs and every field; a page of one table, or an overview of
hundreds, would spend most of its time decoding rows it never shows.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from datetime import datetime

from kor.compute.metadata import PROFILE_FIELDS, ColumnProfileResult, MetadataReader
from kor.compute.metadata.records import RecordedTableRun

TableKey = tuple[str, str]

# What a summary of a column needs: who it is, its counts and its alerts. The other fields,
# its figures and (the widest by far) its most frequent values, read as None.
SUMMARY_FIELDS = tuple(name for name in PROFILE_FIELDS if name not in (
    "min_value", "max_value", "mean_value", "median_value", "stddev_value", "p25", "p50",
    "p75", "min_length", "max_length", "avg_length", "histogram", "top_values"))


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

    @property
    def succeeded(self) -> bool:
        return self.status == "success"

    @classmethod
    def of(cls, run: RecordedTableRun) -> RunPoint:
        return cls(run.run_id, run.run_started_at, run.profiled_at, run.status, run.error,
                   run.row_count, run.column_count, run.duration_ms, run.stored)


class ReportReader(MetadataReader):
    """A `MetadataReader` with the narrow reads the report's pages make."""

    def profiles(self, run_ids: Iterable[int], table: TableKey | None = None, *,
                 fields: tuple[str, ...] = PROFILE_FIELDS
                 ) -> list[tuple[int, ColumnProfileResult]]:
        """The stored column rows of the runs (of one table when given), each with its run
        id; the fields not in `fields` read as None."""
        ids = sorted(set(run_ids))
        if not ids:
            return []
        source, name = table if table is not None else (None, None)
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(
                f"SELECT run_id, {', '.join(fields)} FROM column_profiles "
                "WHERE run_id IN (SELECT unnest($ids)) AND ($source IS NULL OR "
                "(source_name = $source AND table_name = $table))",
                {"ids": ids, "source": source, "table": name}).fetchall()
        return [(row[0], ColumnProfileResult(**dict(zip(fields, row[1:], strict=True))))
                for row in rows]

    def history(self, table: TableKey | None = None, limit: int | None = None
                ) -> dict[TableKey, list[RunPoint]]:
        """Each table's runs (of one table when given), newest first, at most `limit` each."""
        source, name = table if table is not None else (None, None)
        with self._reading() as connection:
            if connection is None:
                return {}
            rows = connection.execute("""
                SELECT t.source_name, t.table_name, t.run_id, r.started_at, t.profiled_at,
                       t.status, t.error, t.row_count, t.column_count, t.duration_ms, t.stored
                FROM table_runs t JOIN runs r USING (run_id)
                WHERE $source IS NULL OR (t.source_name = $source AND t.table_name = $table)
                QUALIFY $limit IS NULL OR row_number() OVER (
                    PARTITION BY t.source_name, t.table_name
                    ORDER BY t.run_id DESC, t.profiled_at DESC) <= $limit
                ORDER BY t.source_name, t.table_name, t.run_id DESC, t.profiled_at DESC""",
                {"source": source, "table": name, "limit": limit}).fetchall()
        history: dict[TableKey, list[RunPoint]] = {}
        for source_name, table_name, *point in rows:
            history.setdefault((source_name, table_name), []).append(RunPoint(*point))
        return history
