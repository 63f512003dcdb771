"""The embedded DuckDB warehouse: one read-only database, a cursor per thread."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from pathlib import Path
from typing import Any

import duckdb

from kor.adapters.base import Rows, WarehouseColumn, WarehouseRelation


class DuckDBAdapter:
    Relation = WarehouseRelation

    def __init__(self, path: Path) -> None:
        if not path.is_file():
            raise FileNotFoundError(f"DuckDB warehouse not found: {path}")
        self.path = path
        self._connection = duckdb.connect(str(path), read_only=True)
        self._local = threading.local()
        self._lock = threading.Lock()

    @classmethod
    def from_target(cls, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> DuckDBAdapter:
        """The adapter of a `type: duckdb` target; `path` is relative to the project."""
        return cls(project_root / str(target.get("path", "")))

    def _cursor(self) -> duckdb.DuckDBPyConnection:
        # DuckDB connections are not shared across threads; each thread gets its own cursor,
        # so columns of one table really run in parallel.
        cursor: duckdb.DuckDBPyConnection | None = getattr(self._local, "cursor", None)
        if cursor is None:
            with self._lock:
                cursor = self._connection.cursor()
            self._local.cursor = cursor
        return cursor

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    @contextmanager
    def connection_named(self, name: str) -> Iterator[duckdb.DuckDBPyConnection]:
        yield self._cursor()

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        rows = self._cursor().execute(
            """
            SELECT column_name, data_type FROM information_schema.columns
            WHERE table_schema = ? AND table_name = ?
              AND (? IS NULL OR table_catalog = ?)
            ORDER BY ordinal_position
            """,
            [relation.schema, relation.identifier, relation.database, relation.database],
        ).fetchall()
        return [WarehouseColumn(name, dtype) for name, dtype in rows]

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]:
        cursor = self._cursor().execute(sql)
        rows = cursor.fetchall() if fetch else []
        return "OK", rows

    def interrupt(self) -> None:
        pass

    def snapshot(self) -> AbstractContextManager[None]:
        return nullcontext()

    def close(self) -> None:
        self._connection.close()
