"""One run's hold on the store file: a single connection, and the rows waiting to be written.

Opening a DuckDB file costs more than writing a table's rows, and the profiler makes a store
per table; a session keeps the file open from the first write to the end of the run. The
library call that runs a profile opens the session; every `ProjectMetadataStore` of the same
file created inside it, in the same thread or task context, writes through it.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from pathlib import Path

import duckdb

from kor.compute.metadata.connection import open_store
from kor.compute.metadata.schema import (
    PROFILE_FIELDS,
    PROFILES_TABLE,
    ColumnProfileResult,
    profiles_table_ddl,
    store_path,
)

ROWS_PER_STATEMENT = 100

_current: ContextVar[StoreSession | None] = ContextVar("kor_store_session", default=None)


class StoreSession:
    """The store file of one project, opened on first use and closed by `close`."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._connection: duckdb.DuckDBPyConnection | None = None
        self._pending: list[ColumnProfileResult] = []

    @classmethod
    def current(cls, path: Path) -> StoreSession | None:
        """The session open for `path` in this context, if any."""
        session = _current.get()
        return session if session is not None and session.path == path else None

    @property
    def is_open(self) -> bool:
        return self._connection is not None

    def connection(self) -> duckdb.DuckDBPyConnection:
        """The session's connection, opening the file (and creating the table) on first use."""
        if self._connection is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            connection = open_store(self.path, read_only=False)
            try:
                connection.execute(profiles_table_ddl())
            except BaseException:
                connection.close()
                raise
            self._connection = connection
        return self._connection

    def save(self, row: ColumnProfileResult) -> None:
        self._pending.append(row)

    def flush(self) -> None:
        """Writes the saved rows in order. A row the database refuses raises; it and the rows
        saved after it are dropped, the rows before it are kept."""
        connection = self.connection()
        try:
            while self._pending:
                batch = self._pending[:ROWS_PER_STATEMENT]
                try:
                    _insert(connection, batch)
                except duckdb.Error:
                    # One statement is all or nothing: find the refused row the slow way,
                    # keeping the rows before it.
                    for row in batch:
                        _insert(connection, [row])
                        del self._pending[0]
                else:
                    del self._pending[:len(batch)]
        finally:
            self._pending.clear()

    def close(self) -> None:
        """Writes what is pending, then closes; the file is released even when writing fails."""
        try:
            if self._pending:
                self.flush()
        finally:
            if self._connection is not None:
                self._connection.close()
                self._connection = None


def _insert(connection: duckdb.DuckDBPyConnection, rows: list[ColumnProfileResult]) -> None:
    placeholders = f"({', '.join('?' for _ in PROFILE_FIELDS)})"
    connection.execute(
        f"INSERT INTO {PROFILES_TABLE} ({', '.join(PROFILE_FIELDS)}) "
        f"VALUES {', '.join(placeholders for _ in rows)}",
        [getattr(row, name) for row in rows for name in PROFILE_FIELDS],
    )


@contextmanager
def store_session(project_root: Path) -> Iterator[StoreSession]:
    """Keeps the project's store file open for the block; stores made inside write through it.

    Other processes wait while the block runs. Rows saved by a store that was never closed are
    written when the block ends.
    """
    session = StoreSession(store_path(project_root))
    token = _current.set(session)
    try:
        yield session
    finally:
        _current.reset(token)
        session.close()
