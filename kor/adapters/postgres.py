"""A PostgreSQL warehouse through psycopg 3: pooled read-only sessions, one snapshot per table."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import psycopg
from psycopg.pq import TransactionStatus
from psycopg.sql import SQL, Literal
from psycopg_pool import ConnectionPool

from kor.adapters.base import Rows, WarehouseColumn, WarehouseRelation
from kor.adapters.catalog import ColumnCatalog
from kor.adapters.interruption import Interruption
from kor.adapters.kinds import POSTGRES_KINDS

# Settings of a target that are handed to libpq; everything else is ours.
_CONNINFO_KEYS = ("host", "port", "dbname", "user", "password", "sslmode", "options")
DEFAULT_CONNECT_TIMEOUT = 10
# How long the interrupt waits for the server to take one cancel request.
CANCEL_TIMEOUT = 5.0

# Every column of the relations of one schema that a query can read (tables, views,
# materialized views, foreign and partitioned tables, sequences), with types as the catalog
# spells them: "integer", "character varying(20)", "numeric(10,2)".
_SCHEMA_COLUMNS = """
    SELECT n.nspname, c.relname, a.attname, format_type(a.atttypid, a.atttypmod)
    FROM pg_catalog.pg_attribute a
    JOIN pg_catalog.pg_class c ON c.oid = a.attrelid
    JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
    WHERE n.nspname = %s AND c.relkind IN ('r', 'v', 'm', 'f', 'p', 'S')
      AND a.attnum > 0 AND NOT a.attisdropped
      AND (%s::text IS NULL OR %s::text = current_database())
    ORDER BY c.relname, a.attnum
"""


def _configure(connection: psycopg.Connection) -> None:
    # Outside a snapshot every statement runs in its own read-only transaction: a failed query
    # leaves no aborted transaction behind, and nothing the profiler sends can write.
    connection.autocommit = True
    connection.execute("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")


def _end_transaction(connection: psycopg.Connection) -> None:
    if connection.info.transaction_status in (TransactionStatus.INTRANS,
                                              TransactionStatus.INERROR):
        try:
            connection.execute("ROLLBACK")
        except psycopg.Error:
            pass  # a broken session: the pool discards it when it comes back


class _Snapshot:
    """One exported snapshot, and the pooled sessions attached to it, while a table is profiled."""

    def __init__(self, holder: psycopg.Connection, snapshot_id: str) -> None:
        self.holder = holder
        self.begin = SQL("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; "
                         "SET TRANSACTION SNAPSHOT {}").format(Literal(snapshot_id))
        self.attached: set[int] = set()  # id() of the sessions inside its transaction
        self.idle: list[psycopg.Connection] = []  # attached sessions no thread holds

    def join(self, connection: psycopg.Connection) -> None:
        """Before each statement: the session in this snapshot's transaction."""
        status = connection.info.transaction_status
        if status == TransactionStatus.INTRANS and id(connection) in self.attached:
            return
        # A failed statement aborted the transaction; the exported snapshot is still held, so
        # the session starts a new transaction on it and the table's other statements go on.
        prefix = SQL("ROLLBACK; " if status != TransactionStatus.IDLE else "")
        connection.execute(prefix + self.begin)
        self.attached.add(id(connection))


class PostgresAdapter:
    """Each thread holds one pooled session for the length of a `connection_named` block."""

    Relation = WarehouseRelation

    def __init__(self, conninfo: str, pool_size: int = 4,
                 wait_seconds: float = DEFAULT_CONNECT_TIMEOUT) -> None:
        # A first, direct connection reports an unreachable server or a bad password with
        # libpq's own message, which the pool would hide behind a timeout.
        psycopg.connect(conninfo, autocommit=True).close()
        self._conninfo = conninfo
        # One session per profiling thread; a thread waits at most `wait_seconds` for one, so
        # a server that goes away mid-run fails each later query instead of hanging the run.
        self._pool = ConnectionPool(conninfo, min_size=1, max_size=max(1, pool_size),
                                    timeout=wait_seconds, configure=_configure, open=True,
                                    name="kor")
        self._local = threading.local()
        self._lock = threading.Lock()
        # The session that exports each table's snapshot and holds it open; outside the pool,
        # since it runs no statement of the table.
        self._holder: psycopg.Connection | None = None
        self._snapshot: _Snapshot | None = None
        self._interruption: Interruption[psycopg.Connection] = Interruption(
            lambda connection: connection.cancel_safe(timeout=CANCEL_TIMEOUT))
        self._catalog = ColumnCatalog(self._read_schema)

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
        connection = self._take()
        self._local.connection = connection
        try:
            yield connection
        finally:
            self._local.connection = None
            self._give_back(connection)

    def _take(self) -> psycopg.Connection:
        with self._lock:
            if self._snapshot is not None and self._snapshot.idle:
                return self._snapshot.idle.pop()
        return self._pool.getconn()

    def _give_back(self, connection: psycopg.Connection) -> None:
        with self._lock:
            snapshot = self._snapshot
            if (snapshot is not None and id(connection) in snapshot.attached
                    and not connection.closed):
                snapshot.idle.append(connection)
                return
        # Not in the snapshot, or in one that ended while the session was held; a session
        # that broke goes back too, and the pool replaces it.
        _end_transaction(connection)
        self._pool.putconn(connection)

    @contextmanager
    def _statement(self) -> Iterator[psycopg.Connection]:
        with self.connection_named("adapter") as connection:
            with self._interruption.statement(connection):
                snapshot = self._snapshot
                if snapshot is not None:
                    snapshot.join(connection)
                yield connection

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        return self._catalog.columns(relation)

    def column_kind(self, data_type: str) -> str | None:
        """The profiler's kind of a type as this warehouse names it; None: not one of its
        own names (a user-defined type), left to the profiler's keyword rule."""
        kind = POSTGRES_KINDS.kind(data_type)
        return None if kind is None else kind.value

    def _read_schema(self, database: str | None, schema: str) -> Rows:
        with self._statement() as connection:
            return connection.execute(_SCHEMA_COLUMNS, (schema, database, database)).fetchall()

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]:
        with self._statement() as connection:
            cursor = connection.execute(sql)
            rows = cursor.fetchall() if fetch and cursor.description is not None else []
            return cursor.statusmessage, rows

    @contextmanager
    def snapshot(self) -> Iterator[None]:
        """One session exports a REPEATABLE READ snapshot and keeps its transaction open; every
        pooled session used inside the block imports it (as parallel dump tools do)."""
        if self._snapshot is not None:
            raise RuntimeError("snapshot blocks of one adapter do not nest")
        holder = self._holder_session()
        try:
            with self._interruption.statement(holder):
                holder.execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                row = holder.execute("SELECT pg_export_snapshot()").fetchone()
        except BaseException:
            _end_transaction(holder)
            raise
        assert row is not None
        current = _Snapshot(holder, str(row[0]))
        with self._lock:
            self._snapshot = current
        try:
            yield
        finally:
            with self._lock:
                self._snapshot = None
                idle, current.idle = current.idle, []
            for connection in idle:
                _end_transaction(connection)
                self._pool.putconn(connection)
            _end_transaction(holder)

    def _holder_session(self) -> psycopg.Connection:
        holder = self._holder
        if holder is None or holder.closed or holder.broken:
            holder = psycopg.connect(self._conninfo)
            _configure(holder)
            # It idles in its transaction while the table's statements run on other sessions;
            # a server-wide idle timeout would end it and with it the snapshot.
            holder.execute("SET idle_in_transaction_session_timeout = 0")
            self._holder = holder
        return holder

    def interrupt(self) -> None:
        self._interruption.interrupt()

    def close(self) -> None:
        if self._holder is not None:
            self._holder.close()
        self._pool.close()
