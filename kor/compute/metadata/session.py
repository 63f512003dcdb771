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
from kor.compute.metadata.migrations import upgrade
from kor.compute.metadata.schema import (
    PROFILE_FIELDS,
    PROFILES_TABLE,
    ColumnProfileResult,
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
        # The run the rows belong to, once the library has started one (see `runs`).
        self.run_id: int | None = None

    @classmethod
    def current(cls, path: Path) -> StoreSession | None:
        """The session open for `path` in this context, if any."""
        session = _current.get()
        return session if session is not None and session.path == path else None

    @property
    def is_open(self) -> bool:
        return self._connection is not None

    def connection(self) -> duckdb.DuckDBPyConnection:
        """The session's connection, opening the file on first use: a new store is created,
        an older one upgraded."""
        if self._connection is None:
            self._connection = _open_for_writing(self.path)
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
                    _insert(connection, batch, self.run_id)
                except duckdb.Error:
                    # One statement is all or nothing: find the refused row the slow way,
                    # keeping the rows before it.
                    for row in batch:
                        _insert(connection, [row], self.run_id)
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


def _open_for_writing(path: Path) -> duckdb.DuckDBPyConnection:
    """The store file opened for writing and brought to the current layout. A file this call
    creates is removed again when that fails (a full disk, say), and an empty file, which such
    a failure used to leave behind, counts as no store: neither may poison later runs."""
    if path.is_file() and path.stat().st_size == 0:
        path.unlink()
    created = not path.exists()
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        connection = open_store(path, read_only=False)
    except BaseException:
        if created:
            _remove_store_file(path)
        raise
    try:
        upgrade(connection)
    except BaseException:
        connection.close()
        if created:
            _remove_store_file(path)
        raise
    return connection


def _remove_store_file(path: Path) -> None:
    for leftover in (path, path.with_name(path.name + ".wal")):
        leftover.unlink(missing_ok=True)


def _insert(connection: duckdb.DuckDBPyConnection, rows: list[ColumnProfileResult],
            run_id: int | None) -> None:
    placeholders = f"({', '.join('?' for _ in range(len(PROFILE_FIELDS) + 1))})"
    connection.execute(
        f"INSERT INTO {PROFILES_TABLE} ({', '.join(PROFILE_FIELDS)}, run_id) "
        f"VALUES {', '.join(placeholders for _ in rows)}",
        [value for row in rows for value in (*(getattr(row, n) for n in PROFILE_FIELDS), run_id)],
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
