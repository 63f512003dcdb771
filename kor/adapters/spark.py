"""A Spark warehouse through PySpark: a session in this process, or a cluster over Spark Connect."""

from __future__ import annotations

import contextlib
import logging
import os
import re
import shutil
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from datetime import timezone
from pathlib import Path
from typing import Any

from kor.adapters.base import WarehouseColumn, WarehouseRelation
from kor.adapters.evidence import settled, tree_identity
from kor.adapters.interruption import Interruption
from kor.adapters.kinds import SPARK_KINDS
from kor.adapters.spark_sql import dotted_pairs, prepare, quote

INSTALL_HINT = "PySpark is not installed: pip install 'kor[spark]'"
DEFAULT_MASTER = "local[*]"
# Timestamps with a time zone come back as UTC wall-clock times, whatever the machine's zone.
SESSION_TIME_ZONE = "UTC"
_LOG_CONFIG = Path(__file__).with_name("spark-log4j2.properties")

# A local session's settings unless the target's `conf` says otherwise.
_LOCAL_DEFAULTS = {
    "spark.ui.showConsoleProgress": "false",  # progress bars would cross the live display
    "spark.ui.enabled": "false",
    "spark.driver.extraJavaOptions": f"-Dlog4j2.configurationFile={_LOG_CONFIG.as_uri()}",
}
_SESSION_DEFAULTS = {
    # A failed query's message without the server's Java stack under it.
    "spark.sql.pyspark.jvmStacktrace.enabled": "false",
    "spark.sql.connect.serverStacktrace.enabled": "false",
}
_TIME_ZONE = "spark.sql.session.timeZone"
# Spark Connect's own policy retries an unreachable cluster for ten minutes and more; this one
# gives up after about three seconds.
_CONNECT_RETRIES: dict[str, Any] = {"max_retries": 3, "initial_backoff": 200,
                                    "backoff_multiplier": 2.0, "max_backoff": 1000}
# gRPC waits 20 s by default for a server that accepts the connection but never answers.
_CONNECT_TIMEOUT_MS = 2000


class SparkUnavailable(RuntimeError):
    """Spark cannot be started or reached for a target."""


class SparkQueryError(RuntimeError):
    """A statement that failed while it ran, with Spark's own message."""


class SparkQueryCancelled(SparkQueryError):
    """A query stopped by `interrupt()`."""


# A Range node of a physical plan: `Range (0, 1, step=1, splits=2)`.
_SPLITS = re.compile(r"\bRange \(.*\bsplits=(\d+)\)")
# How each kind of session reports a statement that `interrupt()` cancelled.
_CANCELLED = ("[SPARK_JOB_CANCELLED]", "[OPERATION_CANCELED]")


@dataclass(frozen=True)
class Registration:
    """A file location that a local session lists as the table `schema.table`."""

    schema: str
    table: str
    location: str
    format: str
    options: dict[str, str]


@dataclass(frozen=True)
class SparkTarget:
    """The settings of a `type: spark` target."""

    remote: str | None
    master: str
    conf: dict[str, str]
    tables: list[Registration]

    @classmethod
    def parse(cls, target: Mapping[str, Any], project_root: Path) -> SparkTarget:
        remote, master = target.get("remote"), target.get("master")
        if remote and master:
            raise ValueError("give either remote (Spark Connect) or master (local), not both")
        tables = [_registration(str(name), entry, project_root)
                  for name, entry in _mapping(target, "tables").items()]
        if remote and tables:
            raise ValueError("tables: registers files in a local session only; on a cluster, "
                             "profile the tables of its catalog")
        return cls(str(remote) if remote else None, str(master or DEFAULT_MASTER),
                   {str(key): _text(value) for key, value in _mapping(target, "conf").items()},
                   tables)


def _mapping(settings: Mapping[str, Any], key: str) -> Mapping[str, Any]:
    value = settings.get(key) or {}
    if not isinstance(value, Mapping):
        raise ValueError(f"{key}: expected a mapping, got {type(value).__name__}")
    return value


def _text(value: Any) -> str:
    # YAML reads `true` as a boolean; Spark wants its own spelling.
    return str(value).lower() if isinstance(value, bool) else str(value)


def _registration(name: str, entry: Any, project_root: Path) -> Registration:
    schema, dot, table = name.partition(".")
    if not (dot and schema and table):
        raise ValueError(f"tables: {name!r}: name a table as schema.table")
    if not isinstance(entry, Mapping) or not entry.get("path"):
        raise ValueError(f"tables: {name}: expected a mapping with a path")
    location = str(entry["path"])
    if "://" not in location:  # a plain path is the project's; a URI is Spark's to resolve
        path = project_root / location
        if not path.exists():
            raise ValueError(f"tables: {name}: {path} not found")
        location = str(path.resolve())
    options = {str(key): _text(value) for key, value in _mapping(entry, "options").items()}
    return Registration(schema, table, location, str(entry.get("format", "parquet")), options)


def _folded(exc: BaseException | str) -> str:
    """A message on one line: gRPC's detail alone, or the first line of the text."""
    text = str(exc)
    details = re.search(r'details = "([^"]*)"', text)
    if details:
        return details.group(1)
    return next((line.strip() for line in text.splitlines() if line.strip()), type(exc).__name__)


def _quiet_pyspark() -> None:
    from pyspark.logger import PySparkLogger

    # Each failed query would print its context as about 7.5 KB of JSON; the table that failed
    # carries the message already.
    for name in ("SQLQueryContextLogger", "DataFrameQueryContextLogger"):
        PySparkLogger.getLogger(name).setLevel(logging.CRITICAL)
    # Said once the retries are spent, before the error that the adapter reports anyway.
    warnings.filterwarnings("ignore", message=r"\[RETRIES_EXCEEDED\]", category=UserWarning)


def _connect_session(settings: SparkTarget, resources: contextlib.ExitStack) -> Any:
    from pyspark.sql.connect.client import DefaultChannelBuilder
    from pyspark.sql.connect.client.retries import DefaultPolicy
    from pyspark.sql.connect.session import SparkSession

    assert settings.remote is not None
    channel = DefaultChannelBuilder(settings.remote,
                                    [("grpc.min_reconnect_backoff_ms", _CONNECT_TIMEOUT_MS)])
    session = SparkSession(connection=channel)
    resources.callback(session.stop)
    session.client.set_retry_policies([DefaultPolicy(**_CONNECT_RETRIES)])
    # A reattachable query that `interrupt()` cancels before its first answer is sent again
    # by the client as a new operation, which then runs on unseen; one stream per query can
    # be cancelled for good.
    session.client.disable_reattachable_execute()
    try:
        session.conf.set(_TIME_ZONE, SESSION_TIME_ZONE)
    except Exception as exc:
        session.release_session_on_close = False  # nothing to release on a server never reached
        raise SparkUnavailable(f"cannot reach Spark Connect at {settings.remote}: "
                               f"{_folded(exc)}") from exc
    _apply(session, _session_conf(settings))
    return session


def _local_session(settings: SparkTarget, resources: contextlib.ExitStack) -> Any:
    from pyspark.sql import SparkSession

    active = SparkSession.getActiveSession()
    if active is not None:
        # This process runs Spark already (a notebook's, a test suite's session): share its
        # context through a session of our own, and leave the context running at close.
        session = active.newSession()
        _apply(session, _session_conf(settings))
        return session
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        raise SparkUnavailable("a local Spark session needs Java 17 or later, and there is no "
                               "java on PATH nor a JAVA_HOME; or name a cluster with remote:")
    # Spark's catalog writes under its warehouse folder, by default ./spark-warehouse.
    warehouse = tempfile.mkdtemp(prefix="zel-spark-")
    resources.callback(shutil.rmtree, warehouse, ignore_errors=True)
    conf = {**_LOCAL_DEFAULTS, "spark.sql.warehouse.dir": warehouse, **_session_conf(settings)}
    builder = SparkSession.builder.master(settings.master).appName("zel")
    for key, value in conf.items():
        builder = builder.config(key, value)
    try:
        with _loopback_driver(settings.master):
            session = builder.getOrCreate()
    except Exception as exc:
        raise SparkUnavailable(f"cannot start a local Spark session: {_folded(exc)}") from exc
    resources.callback(session.stop)
    # Failed tasks log their Java stacks at ERROR; the query's own error says what failed.
    session.sparkContext.setLogLevel("FATAL")
    return session


@contextlib.contextmanager
def _loopback_driver(master: str) -> Iterator[None]:
    """While Spark's JVM starts: a session of this process alone binds to loopback.

    Spark would otherwise move its driver's ports to the machine's network address (and say so
    on stderr). The JVM reads SPARK_LOCAL_IP from the environment it is started with.
    """
    if not master.startswith("local") or "SPARK_LOCAL_IP" in os.environ:
        yield
        return
    os.environ["SPARK_LOCAL_IP"] = "127.0.0.1"
    try:
        yield
    finally:
        del os.environ["SPARK_LOCAL_IP"]


def _session_conf(settings: SparkTarget) -> dict[str, str]:
    # The time zone is not the target's to choose: stored values must not depend on it.
    return {**_SESSION_DEFAULTS, **settings.conf, _TIME_ZONE: SESSION_TIME_ZONE}


def _apply(session: Any, conf: Mapping[str, str]) -> None:
    for key, value in conf.items():
        try:
            session.conf.set(key, value)
        except Exception as exc:
            raise SparkUnavailable(f"conf: {key}: {_folded(exc)}") from exc


def _register(session: Any, registration: Registration,
              resources: contextlib.ExitStack) -> bool:
    """Lists the files as the table; whether they are a partitioned folder."""
    name = f"{quote(registration.schema)}.{quote(registration.table)}"
    where = f"tables: {registration.schema}.{registration.table}"
    try:
        session.sql(f"CREATE DATABASE IF NOT EXISTS {quote(registration.schema)}")
        if session.catalog.tableExists(name):
            raise SparkUnavailable(f"{where}: the session's catalog has a table of that name")
        session.catalog.createTable(name, path=registration.location, source=registration.format,
                                    **registration.options)
        resources.callback(session.sql, f"DROP TABLE IF EXISTS {name}")  # the files stay
        # A partitioned folder lists no partitions, and so no rows, until they are looked for.
        # DESCRIBE says so from the catalog; listColumns would infer the schema again, in two
        # jobs.
        partitioned = _partitioned(session.sql(f"DESCRIBE TABLE {name}").collect())
        if partitioned:
            session.sql(f"ALTER TABLE {name} RECOVER PARTITIONS")
        return partitioned
    except SparkUnavailable:
        raise
    except Exception as exc:
        # A local session reports the failed Java call ("An error occurred while calling
        # o43.createTable."); Spark's own reason is among its causes.
        reason = _java_message(exc) if hasattr(exc, "java_exception") else str(exc)
        raise SparkUnavailable(f"{where}: {_folded(reason)}") from exc


def _partitioned(description: list[Any]) -> bool:
    """Whether DESCRIBE lists partition columns: under a "# Partition Information" row, which
    has no type (a column of that name has one)."""
    return any(name == "# Partition Information" and not dtype
               for name, dtype, *_ in description)


def _java_message(exc: Any) -> str:
    """What went wrong in a Py4J error: the first of its Java causes that carries Spark's error
    class (`[FILE_NOT_EXIST] ...`), else the innermost; not the call that reported it."""
    messages = []
    cause = exc.java_exception
    while cause is not None:
        messages.append(str(cause.getMessage() or ""))
        cause = cause.getCause()
    return next((m for m in messages if m.startswith("[")),
                next((m for m in reversed(messages) if m), str(exc)))


def _rows(table: Any) -> list[tuple[Any, ...]]:
    """An Arrow table's rows as tuples, time-zoned timestamps as naive UTC times.

    PySpark's own rows would render those in the machine's local zone.
    """
    import pyarrow as pa

    columns = []
    for column in table.columns:
        values = column.to_pylist()
        if pa.types.is_timestamp(column.type) and column.type.tz is not None:
            values = [None if value is None
                      else value.astimezone(timezone.utc).replace(tzinfo=None)
                      for value in values]
        columns.append(values)
    return list(zip(*columns, strict=True))


def _key(relation: WarehouseRelation) -> tuple[str, str]:
    """A relation's (schema, table) as `tables:` entries are looked up: Spark's names have no
    case."""
    return relation.schema.lower(), relation.identifier.lower()


@dataclass
class _Table:
    """A table of `tables:` and whether the session lists it yet."""

    registration: Registration
    registered: bool = False
    partitioned: bool = False


class SparkAdapter:
    """One Spark session shared by every thread; each statement runs as a read-only query."""

    Relation = WarehouseRelation

    def __init__(self, session: Any, cancel: Callable[[], object],
                 resources: contextlib.ExitStack,
                 java_errors: tuple[type[BaseException], ...] = (),
                 tables: Iterable[Registration] = ()) -> None:
        self._session = session
        self._resources = resources
        self._java_errors = java_errors
        # The target's `tables:` by (schema, table) as Spark matches names, without case. Each
        # is registered when a statement first names it: a run of a few of many tables, or
        # one that reuses unchanged tables, lists and reads the files of those it measures.
        self._tables = {(r.schema.lower(), r.table.lower()): _Table(r) for r in tables}
        self._registering = threading.Lock()
        # One session serves every thread: a cancel stops all of its jobs at once.
        def cancel_all(_: None) -> None:
            cancel()

        self._interruption: Interruption[None] = Interruption(cancel_all)

    @classmethod
    def from_target(cls, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> SparkAdapter:
        """The adapter of a `type: spark` target; one session serves any number of `threads`."""
        settings = SparkTarget.parse(target, project_root)
        try:
            import pyspark  # noqa: F401
        except ImportError as exc:
            raise SparkUnavailable(INSTALL_HINT) from exc
        _quiet_pyspark()
        with contextlib.ExitStack() as resources:
            java_errors: tuple[type[BaseException], ...] = ()
            if settings.remote:
                session = _connect_session(settings, resources)
                cancel = session.interruptAll
            else:
                from py4j.protocol import Py4JJavaError

                session = _local_session(settings, resources)
                cancel = session.sparkContext.cancelAllJobs
                # A query that fails while it runs arrives as the Java call that reported it.
                java_errors = (Py4JJavaError,)
            return cls(session, cancel, resources.pop_all(), java_errors, settings.tables)

    def quote(self, name: str) -> str:
        return quote(name)

    def suggested_threads(self) -> int | None:
        """The engine's default parallelism (a local[N] session's N, a cluster's cores): more
        statements at once than that only queue for the same cores.

        Read from the plan of a range, which is split that many ways: no job runs, and it
        works alike on a local session and through Spark Connect.
        """
        with self._interruption.statement(None):
            (plan,) = self._session.sql("EXPLAIN SELECT * FROM range(1)").collect()[0]
        splits = _SPLITS.search(str(plan))
        return int(splits.group(1)) if splits else None

    def change_evidence(self, relation: WarehouseRelation) -> dict[str, Any] | None:
        """For a table of the target's `tables:` on this machine's disk: every file under its
        path with its identity (see `tree_identity`), and how the files are read. None for any
        other table (the catalog's, a URI's): Spark cannot prove those unchanged.

        Spark lists a table's files when it is registered and keeps the list: a table
        registered before the listing is refreshed after it, so the queries that follow read
        the files as listed or as written later, never as they were before. A later write
        makes the next listing differ."""
        table = self._tables.get(_key(relation)) if relation.database is None else None
        if table is None or "://" in table.registration.location:
            return None
        registration = table.registration
        files = tree_identity(Path(registration.location))
        if files is None or not settled([identity for _, identity in files]):
            return None
        with self._registering:
            if table.registered:
                name = f"{quote(registration.schema)}.{quote(registration.table)}"
                with self._interruption.statement(None):
                    self._session.sql(f"REFRESH TABLE {name}")
                    if table.partitioned:  # a partition folder added since is found
                        self._session.sql(f"ALTER TABLE {name} RECOVER PARTITIONS")
        return {"spark_files": {"location": registration.location,
                                "format": registration.format,
                                "options": registration.options, "files": files}}

    def _reach(self, pairs: Iterable[tuple[str, str]]) -> None:
        """Registers the tables of `tables:` among `pairs` (schema, table) not registered
        yet."""
        for key in pairs:
            table = self._tables.get(key)
            if table is None or table.registered:
                continue
            with self._registering:
                if not table.registered:
                    with self._interruption.statement(None):
                        table.partitioned = _register(self._session, table.registration,
                                                      self._resources)
                    table.registered = True

    def connection_named(self, name: str) -> contextlib.AbstractContextManager[Any]:
        return contextlib.nullcontext(self._session)

    def snapshot(self) -> contextlib.AbstractContextManager[None]:
        # Spark reads each table as it is when a query starts; there is no session-wide view.
        return contextlib.nullcontext()

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        # DESCRIBE keeps varchar(n) and char(n), which the catalog API reports as string.
        parts = (relation.database, relation.schema, relation.identifier)
        # Registered under any catalog named: one of another catalog is merely registered early.
        self._reach([_key(relation)])
        with self._interruption.statement(None):
            rows = self._session.sql(
                "DESCRIBE TABLE " + ".".join(quote(part) for part in parts if part)).collect()
        columns = []
        for name, dtype, *_ in rows:
            # Partition details follow a blank row or a "# Partition Information" row, neither
            # of which has a type; a column may well be called "#tag".
            if not name or not dtype:
                break
            columns.append(WarehouseColumn(name, dtype))
        return columns

    def column_kind(self, data_type: str) -> str | None:
        """The profiler's kind of a type as this warehouse names it; None: not one of its
        own names (a user-defined type), left to the profiler's keyword rule."""
        kind = SPARK_KINDS.kind(data_type)
        return None if kind is None else kind.value

    def execute(self, sql: str, fetch: bool = False) -> tuple[Any, list[tuple[Any, ...]]]:
        statement = prepare(sql)
        self._reach(dotted_pairs(statement))
        try:
            table = self._arrow(statement)
        except Exception as exc:
            # A table of `tables:` named in a way the pairs miss: register them all, once.
            unregistered = [key for key, entry in self._tables.items() if not entry.registered]
            if "[TABLE_OR_VIEW_NOT_FOUND]" not in str(exc) or not unregistered:
                raise
            self._reach(unregistered)
            table = self._arrow(statement)
        return "OK", _rows(table) if fetch else []

    def _arrow(self, statement: str) -> Any:
        try:
            with self._interruption.statement(None):
                return self._session.sql(statement).toArrow()
        except Exception as exc:
            message = _java_message(exc) if isinstance(exc, self._java_errors) else str(exc)
            if any(mark in message for mark in _CANCELLED):
                raise SparkQueryCancelled(message) from exc
            if isinstance(exc, self._java_errors):
                raise SparkQueryError(message) from exc
            raise

    def interrupt(self) -> None:
        # The cancel goes out on a thread of its own: the signal handler that calls this never
        # waits on the JVM or the network. What was cancelled leaves as KeyboardInterrupt.
        self._interruption.interrupt()

    def close(self) -> None:
        self._resources.close()
