"""The embedded DuckDB warehouse: one read-only database, a cursor per thread."""

from __future__ import annotations

import string
import threading
from collections.abc import Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import duckdb

from kor.adapters.base import Rows, WarehouseColumn, WarehouseRelation
from kor.adapters.catalog import ColumnCatalog
from kor.adapters.evidence import file_identity, settled
from kor.adapters.interruption import Interruption
from kor.adapters.kinds import DUCKDB_KINDS

_ASCII_LOWER = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


def fold_case(name: str) -> str:
    """A name as DuckDB compares it: ASCII letters without case, every other one as written
    (`"Ünï"` and `"ünï"` are two tables in one schema)."""
    return name.translate(_ASCII_LOWER)


def is_duckdb_interrupt(exc: Exception) -> bool:
    # duckdb checks for signals while a query runs; when the handler raises KeyboardInterrupt
    # it abandons the query and raises a RuntimeError of this text in its place.
    return isinstance(exc, duckdb.InterruptException) or (
        type(exc) is RuntimeError and str(exc) == "Query interrupted")


@dataclass(frozen=True)
class DuckDBSettings:
    """What a target may set on the embedded engine: its memory bound and its thread pool."""

    memory_limit: str | None = None
    threads: int | None = None

    @classmethod
    def from_target(cls, target: Mapping[str, Any]) -> DuckDBSettings:
        memory_limit, threads = target.get("memory_limit"), target.get("threads")
        if memory_limit is not None and (not isinstance(memory_limit, str)
                                         or not memory_limit.strip()):
            raise ValueError("memory_limit must be a size such as '4GB', '512MiB' or '50%', "
                             f"not {memory_limit!r}")
        if threads is not None:
            # A value from ${VAR} arrives as text.
            digits = isinstance(threads, str) and threads.strip().isdigit()
            if not (digits or isinstance(threads, int) and not isinstance(threads, bool)) \
                    or int(threads) < 1:
                raise ValueError(f"threads must be a whole number of at least 1, not {threads!r}")
            threads = int(threads)
        return cls(memory_limit, threads)

    def apply(self, connection: duckdb.DuckDBPyConnection) -> None:
        """Both settings belong to the database, so every cursor made later has them."""
        if self.memory_limit is not None:
            literal = "'" + self.memory_limit.replace("'", "''") + "'"
            try:
                connection.execute(f"SET memory_limit = {literal}")
            except duckdb.Error as exc:
                raise ValueError(f"memory_limit {self.memory_limit!r}: {exc}") from exc
        if self.threads is not None:
            connection.execute(f"SET threads = {self.threads:d}")


def _identity_of(path: Path) -> dict[str, Any]:
    """The identity of the warehouse file and of its write-ahead log (None when there is
    none)."""
    return {"path": str(path.resolve()), "file": file_identity(path),
            "wal": file_identity(f"{path}.wal")}


class DuckDBAdapter:
    Relation = WarehouseRelation

    def __init__(self, path: Path, settings: DuckDBSettings | None = None) -> None:
        if not path.is_file():
            raise FileNotFoundError(f"DuckDB warehouse not found: {path}")
        self.path = path
        # Taken before the file is opened: a file replaced after that would be another's
        # identity beside this connection's data.
        self._opened = _identity_of(path)
        self._connection = duckdb.connect(str(path), read_only=True)
        try:
            (settings or DuckDBSettings()).apply(self._connection)
        except BaseException:
            self._connection.close()
            raise
        self._local = threading.local()
        self._lock = threading.Lock()
        self._interruption: Interruption[duckdb.DuckDBPyConnection] = Interruption(
            lambda cursor: cursor.interrupt(), is_duckdb_interrupt)
        self._catalog = ColumnCatalog(self._read_schema, fold=fold_case)
        self._file_identity: dict[str, Any] | None = None
        self._base_tables: set[tuple[str, str]] | None = None
        self._database_name: str | None = None

    @classmethod
    def from_target(cls, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> DuckDBAdapter:
        """The adapter of a `type: duckdb` target; `path` is relative to the project."""
        return cls(project_root / str(target.get("path", "")), DuckDBSettings.from_target(target))

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
        return self._catalog.columns(relation)

    def column_kind(self, data_type: str) -> str | None:
        """The profiler's kind of a type as this warehouse names it; None: not one of its
        own names (a user-defined type), left to the profiler's keyword rule."""
        kind = DUCKDB_KINDS.kind(data_type)
        return None if kind is None else kind.value

    def _read_schema(self, database: str | None, schema: str) -> Rows:
        # Every spelling DuckDB would take for the schema; the catalog picks among them.
        cursor = self._cursor()
        with self._interruption.statement(cursor):
            return cursor.execute(
                """
                SELECT table_schema, table_name, column_name, data_type
                FROM information_schema.columns
                WHERE lower(table_catalog) = lower(coalesce(?, current_database()))
                  AND lower(table_schema) = lower(?)
                ORDER BY table_schema, table_name, ordinal_position
                """,
                [database, schema],
            ).fetchall()

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]:
        cursor = self._cursor()
        with self._interruption.statement(cursor):
            result = cursor.execute(sql)
            rows = result.fetchall() if fetch else []
        return "OK", rows

    def change_evidence(self, relation: WarehouseRelation) -> dict[str, Any] | None:
        """The warehouse file's identity (device, inode, size, modification and change times)
        and its write-ahead log's, for a base table stored in that file.

        While this adapter holds the file open no writer can open it, so the identity taken
        now is that of the data read. Every committed write changes the file or its log, and
        a file replaced changes its inode. DuckDB keeps no state per table that every write
        changes (its size estimates and storage blocks can come out the same after a change),
        so one write anywhere in the file counts as a change of every table in it. A view
        may read other files: None, as for a table of another database or a file written too
        recently for its time stamps to tell a later write apart."""
        database = relation.database
        if database is not None and fold_case(database) != fold_case(self._database()):
            return None
        if (fold_case(relation.schema), fold_case(relation.identifier)) not in self._tables():
            return None
        identity = self._identity()
        if identity is None:
            return None
        return {"duckdb_file": identity}

    def _database(self) -> str:
        if self._database_name is None:
            with self._lock:
                row = self._connection.execute("SELECT current_database()").fetchone()
            assert row is not None
            self._database_name = str(row[0])
        return self._database_name

    def _tables(self) -> set[tuple[str, str]]:
        if self._base_tables is None:
            with self._lock:
                rows = self._connection.execute(
                    "SELECT schema_name, table_name FROM duckdb_tables() "
                    "WHERE database_name = current_database() AND NOT temporary").fetchall()
            self._base_tables = {(fold_case(schema), fold_case(name)) for schema, name in rows}
        return self._base_tables

    def _identity(self) -> dict[str, Any] | None:
        if self._file_identity is None:
            identity = _identity_of(self.path)
            certain = (identity["file"] == self._opened["file"]
                       and settled([part for part in (identity["file"], identity["wal"])
                                    if part]))
            self._file_identity = identity if certain else {}
        return self._file_identity or None

    def snapshot(self) -> AbstractContextManager[None]:
        """Nothing to do: the file is open read-only, and DuckDB's file lock keeps any writer
        out (in this process or another) for as long as it is, so every statement of the run
        sees one state of the data."""
        return nullcontext()

    def interrupt(self) -> None:
        self._interruption.interrupt()

    def close(self) -> None:
        self._connection.close()
