"""Run records: one per profile run, one per table of it, written as the run goes."""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime

from kor.compute.metadata.records import TableKey
from kor.compute.metadata.schema import PROFILE_FIELDS, PROFILES_TABLE
from kor.compute.metadata.session import StoreSession
from kor.strenum import StrEnum


class RunState(StrEnum):
    """What became of a run's profiling; how the command ended is its exit status, beside it."""

    RUNNING = "running"          # started, not (yet) ended: a run killed outright stays so
    COMPLETED = "completed"      # every selected table measured and stored
    TABLES_FAILED = "tables_failed"  # some table failed, or its rows could not be stored
    NOTHING_SELECTED = "nothing_selected"
    INTERRUPTED = "interrupted"
    # Never written: a run recorded as running whose process is gone (see `reader.runs`).
    ABANDONED = "abandoned"
    # Read from stores written by earlier versions, which recorded the command's verdict.
    SUCCESS = "success"
    FAILED = "failed"
    IMPORTED = "imported"        # grouped from a store written before runs were recorded


@dataclass
class RunStart:
    """What a run was asked to do."""

    project: str
    target: str
    select: Sequence[str]
    exclude: Sequence[str]
    profile_mode: str
    threads: int
    tool_version: str


@dataclass
class TableRunRecord:
    """One table of a run: its outcome, its size, and its columns in table order."""

    source_name: str
    table_name: str
    status: str
    error: str | None
    row_count: int
    column_count: int
    duration_ms: int
    profiled_at: datetime
    columns: Sequence[tuple[str, str | None]]
    stored: bool
    freshness_column: str | None = None
    freshness_seconds: float | None = None
    # The warehouse's own columns of a table whose columns are declared; None: as profiled.
    warehouse_columns: Sequence[tuple[str, str | None]] | None = None
    # What proves the table's data unchanged while it stays the same (see `reuse_tables`).
    evidence: str | None = None


@dataclass
class MeasuredTable:
    """A table's latest measured and stored run, with the evidence recorded with it."""

    run_id: int
    measured_in: int  # the run that measured it: `run_id` itself unless that reused it
    profiled_at: datetime
    evidence: str


def start_run(session: StoreSession, start: RunStart) -> int:
    """Records the run as running and makes it the run of every row the session writes.

    The id is kept on the session, not passed along: the rows are written by stores the
    native task makes, which know the session alone."""
    connection = session.connection()
    row = connection.execute("SELECT COALESCE(MAX(run_id), 0) + 1 FROM runs").fetchone()
    assert row is not None
    run_id = int(row[0])
    connection.execute(
        "INSERT INTO runs (run_id, started_at, project, target, selectors, profile_mode, "
        "threads, status, tool_version) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        [run_id, datetime.now(), start.project, start.target,
         json.dumps({"select": list(start.select), "exclude": list(start.exclude)}),
         start.profile_mode, start.threads, RunState.RUNNING.value, start.tool_version])
    session.run_id = run_id
    return run_id


def _columns_json(columns: Sequence[tuple[str, str | None]]) -> str:
    """A column list as table_runs stores it: JSON pairs of name and type."""
    return json.dumps([list(column) for column in columns])


def record_table_run(session: StoreSession, record: TableRunRecord) -> None:
    if session.run_id is None:
        raise RuntimeError("no run has been started in this store session")
    session.connection().execute(
        "INSERT INTO table_runs (run_id, source_name, table_name, status, error, row_count, "
        "column_count, duration_ms, profiled_at, columns, stored, freshness_column, "
        "freshness_seconds, warehouse_columns, evidence) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        [session.run_id, record.source_name, record.table_name, record.status, record.error,
         record.row_count, record.column_count, record.duration_ms, record.profiled_at,
         _columns_json(record.columns), record.stored,
         record.freshness_column, record.freshness_seconds,
         None if record.warehouse_columns is None else _columns_json(record.warehouse_columns),
         record.evidence])



def measured_tables(session: StoreSession) -> dict[TableKey, MeasuredTable]:
    """Each table's latest measured and stored run before the session's, where it recorded
    evidence; a later failed run does not hide it (a failure changes no data)."""
    rows = session.connection().execute("""
        SELECT source_name, table_name, run_id, coalesce(reused_from, run_id), profiled_at,
               evidence
        FROM table_runs WHERE status = 'success' AND stored AND run_id <> $run
        QUALIFY row_number() OVER (PARTITION BY source_name, table_name
                                   ORDER BY run_id DESC, profiled_at DESC) = 1""",
        {"run": session.run_id}).fetchall()
    return {(source, table): MeasuredTable(run_id, measured_in, profiled_at, evidence)
            for source, table, run_id, measured_in, profiled_at, evidence in rows
            if evidence is not None}


def reuse_tables(session: StoreSession, reused: Sequence[tuple[TableKey, MeasuredTable]]
                 ) -> list[tuple[str, str, str | None]]:
    """Records the tables as run again in the session's run with their earlier profiles: the
    rows are copied under the new run id, so every reader, diff and prune sees a run that
    holds its own rows; the table run names the run that measured them. All or nothing.
    Returns the (table, column, alerts) of the rows copied."""
    if session.run_id is None:
        raise RuntimeError("no run has been started in this store session")
    if not reused:
        return []
    picked = {"run": session.run_id,
              "sources": [key[0] for key, _ in reused], "tables": [key[1] for key, _ in reused],
              "runs": [table.run_id for _, table in reused],
              "ats": [table.profiled_at for _, table in reused]}
    keys = ("(SELECT unnest($runs) AS run_id, unnest($sources) AS source_name, "
            "unnest($tables) AS table_name, unnest($ats) AS profiled_at) k "
            "USING (run_id, source_name, table_name, profiled_at)")
    fields = ", ".join(PROFILE_FIELDS)
    connection = session.connection()
    connection.execute("BEGIN TRANSACTION")
    try:
        copied = connection.execute(
            f"INSERT INTO {PROFILES_TABLE} ({fields}, run_id) "
            f"SELECT {fields}, $run FROM {PROFILES_TABLE} JOIN {keys} "
            "RETURNING table_name, column_name, alerts", picked).fetchall()
        # The time a reused table took in this run is no time: nothing was measured.
        connection.execute(
            "INSERT INTO table_runs (run_id, source_name, table_name, status, error, "
            "row_count, column_count, duration_ms, profiled_at, columns, stored, "
            "reused_from, evidence, freshness_column, freshness_seconds, warehouse_columns) "
            "SELECT $run, source_name, table_name, status, error, row_count, column_count, "
            "0, profiled_at, columns, stored, coalesce(reused_from, run_id), evidence, "
            # The same latest value, older by the time since it was measured.
            "freshness_column, freshness_seconds + epoch($now) - epoch(profiled_at), "
            f"warehouse_columns FROM table_runs JOIN {keys}", {**picked, "now": datetime.now()})
        connection.execute("COMMIT")
    except BaseException:
        connection.execute("ROLLBACK")
        raise
    return [(table, column, alerts) for table, column, alerts in copied]


def finish_run(session: StoreSession, state: RunState, exit_status: int) -> None:
    if session.run_id is None:
        raise RuntimeError("no run has been started in this store session")
    session.connection().execute(
        "UPDATE runs SET ended_at = ?, status = ?, exit_status = ? WHERE run_id = ?",
        [datetime.now(), state.value, exit_status, session.run_id])


def set_exit_status(session: StoreSession, run_id: int, exit_status: int) -> None:
    """The status the command ended with, when it is known only after the run was finished
    (its output failed)."""
    session.connection().execute("UPDATE runs SET exit_status = ? WHERE run_id = ?",
                                 [exit_status, run_id])


def prune_runs(session: StoreSession, run_ids: list[int]) -> None:
    """Removes the runs, their table runs and their rows, all or nothing."""
    connection = session.connection()
    connection.execute("BEGIN TRANSACTION")
    try:
        for table in ("column_profiles", "anomalies", "table_runs", "runs"):
            connection.execute(f"DELETE FROM {table} WHERE run_id IN (SELECT unnest(?))",
                               [run_ids])
        connection.execute("COMMIT")
    except BaseException:
        connection.execute("ROLLBACK")
        raise


def record_anomalies(session: StoreSession, rows: Sequence[Sequence[object]]) -> None:
    """Stores a run's anomalies, each its ANOMALY_FIELDS in order, in one statement."""
    if not rows:
        return
    columns = list(zip(*rows, strict=True))
    session.connection().execute(
        "INSERT INTO anomalies SELECT "
        + ", ".join(f"unnest($c{i})" for i in range(len(columns))),
        {f"c{i}": list(column) for i, column in enumerate(columns)})
