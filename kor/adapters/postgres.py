"""A PostgreSQL warehouse through psycopg 3: a pool of read-only autocommit sessions."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from pathlib import Path
from typing import Any

import psycopg
from psycopg_pool import ConnectionPool

from kor.adapters.base import Rows, WarehouseColumn, WarehouseRelation

# Settings of a target that are handed to libpq; everything else is ours.
_CONNINFO_KEYS = ("host", "port", "dbname", "user", "password", "sslmode", "options")
DEFAULT_CONNECT_TIMEOUT = 10


def _configure(connection: psycopg.Connection) -> None:
    # Every statement runs in its own read-only transaction: a failed query leaves no aborted
    # transaction behind, and nothing the profiler sends can write.
    connection.autocommit = True
    connection.execute("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")


class PostgresAdapter:
    """Each thread holds one pooled session for the length of a `connection_named` block."""

    Relation = WarehouseRelation

    def __init__(self, conninfo: str, pool_size: int = 4,
                 wait_seconds: float = DEFAULT_CONNECT_TIMEOUT) -> None:
        # A first, direct connection reports an unreachable server or a bad password with
        # libpq's own message, which the pool would hide behind a timeout.
        psycopg.connect(conninfo, autocommit=True).close()
        # One session per profiling thread; a thread waits at most `wait_seconds` for one, so
        # a server that goes away mid-run fails each later query instead of hanging the run.
        self._pool = ConnectionPool(conninfo, min_size=1, max_size=max(1, pool_size),
                                    timeout=wait_seconds, configure=_configure, open=True,
                                    name="kor")
        self._local = threading.local()

    @classmethod
    def from_target(cls, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> PostgresAdapter:
        """The adapter of a `type: postgres` target; the pool holds a session per thread."""
        wait_seconds = float(target.get("connect_timeout", DEFAULT_CONNECT_TIMEOUT))
        settings = {key: str(target[key]) for key in _CONNINFO_KEYS
                    if target.get(key) is not None}
        conninfo = psycopg.conninfo.make_conninfo(connect_timeout=str(int(wait_seconds)),
                                                  **settings)
        return cls(conninfo, pool_size=threads, wait_seconds=wait_seconds)

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    @contextmanager
    def connection_named(self, name: str) -> Iterator[psycopg.Connection]:
        held = getattr(self._local, "connection", None)
        if held is not None:  # nested block on the same thread: reuse its session
            yield held
            return
        with self._pool.connection() as connection:
            self._local.connection = connection
            try:
                yield connection
            finally:
                self._local.connection = None

    @contextmanager
    def _session(self) -> Iterator[psycopg.Connection]:
        with self.connection_named("adapter") as connection:
            yield connection

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        # Types as the catalog spells them: "integer", "character varying(20)", "numeric(10,2)".
        with self._session() as connection:
            rows = connection.execute(
                """
                SELECT a.attname, format_type(a.atttypid, a.atttypmod)
                FROM pg_catalog.pg_attribute a
                JOIN pg_catalog.pg_class c ON c.oid = a.attrelid
                JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
                WHERE n.nspname = %s AND c.relname = %s
                  AND a.attnum > 0 AND NOT a.attisdropped
                  AND (%s::text IS NULL OR %s::text = current_database())
                ORDER BY a.attnum
                """,
                (relation.schema, relation.identifier, relation.database, relation.database),
            ).fetchall()
        return [WarehouseColumn(name, dtype) for name, dtype in rows]

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]:
        with self._session() as connection:
            cursor = connection.execute(sql)
            rows = cursor.fetchall() if fetch and cursor.description is not None else []
            return cursor.statusmessage, rows

    def interrupt(self) -> None:
        pass

    def snapshot(self) -> AbstractContextManager[None]:
        return nullcontext()

    def close(self) -> None:
        self._pool.close()
