"""Reading the store back: the latest profile of each table, and each table's history."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from contextvars import ContextVar
from datetime import datetime
from pathlib import Path
from typing import Any

import duckdb

from kor.compute.metadata.connection import open_store
from kor.compute.metadata.migrations import check_layout, upgrade
from kor.compute.metadata.records import (
    ProfiledTable,
    RecordedRun,
    RecordedTableRun,
    RunPoint,
    TableRun,
    decode_columns,
    decode_list,
    decode_selectors,
    summarise,
)
from kor.compute.metadata.runs import RunState
from kor.compute.metadata.schema import (
    ANOMALY_FIELDS,
    LAYOUT_VERSION,
    PROFILE_FIELDS,
    PROFILES_TABLE,
    ColumnProfileResult,
)
from kor.compute.metadata.session import StoreSession

# A name matches a table by its own name, or by "source.table" (a table name may hold dots).
_NAME_MATCHES = """($source IS NULL OR source_name = $source)
  AND ($table IS NULL OR table_name = $table
       OR ($source IS NULL AND source_name || '.' || table_name = $table))"""


# Numbers a table's runs from its newest (a table named twice in one run: the later first).
_NEWEST_PER_TABLE = ("row_number() OVER (PARTITION BY t.source_name, t.table_name "
                     "ORDER BY t.run_id DESC, t.profiled_at DESC)")

_Held = tuple[tuple["MetadataReader", "duckdb.DuckDBPyConnection | None"], ...]
# The connections `holding` keeps, innermost last, each for the thread or task that opened
# it: one reader serves every handler thread of `serve`, and a DuckDB connection runs one
# call at a time.
_held: ContextVar[_Held] = ContextVar("kor_held_connections", default=())


def _unnested(keys: Sequence[tuple[Any, ...]], *names: str) -> dict[str, list[Any]]:
    """Query parameters of `keys`, one list per part, named `names`: what `unnest` of each
    reads back as the keys' rows."""
    return {name: [key[index] for key in keys] for index, name in enumerate(names)}


class MetadataReader:
    """Read-only access to a store file; a missing file or table reads as an empty store."""

    def __init__(self, path: Path) -> None:
        self.path = path

    @contextmanager
    def holding(self) -> Iterator[MetadataReader]:
        """Keeps one connection for every read made inside the block (a diff makes four), in
        this thread or task only: the reads of other threads go on through their own."""
        with self._open() as connection:
            token = _held.set((*_held.get(), (self, connection)))
            try:
                yield self
            finally:
                _held.reset(token)

    @contextmanager
    def _reading(self) -> Iterator[duckdb.DuckDBPyConnection | None]:
        for reader, connection in reversed(_held.get()):
            if reader is self:
                yield connection
                return
        with self._open() as connection:
            yield connection

    @contextmanager
    def _open(self) -> Iterator[duckdb.DuckDBPyConnection | None]:
        """A connection to read with, or None when nothing has been stored yet.

        A store of an older layout is upgraded first (the one write a reader makes); one this
        version cannot read raises StoreLayoutError.
        """
        session = StoreSession.current(self.path)
        if session is not None and session.is_open:
            # This process holds the file for a run: read through the run's own connection.
            with session.connection().cursor() as cursor:
                yield cursor
            return
        # An empty file is what a store creation cut short leaves: no store.
        if not self.path.is_file() or self.path.stat().st_size == 0:
            yield None
            return
        connection = open_store(self.path, read_only=True)
        try:
            version = check_layout(connection)
            if version is not None and version < LAYOUT_VERSION:
                connection.close()
                with open_store(self.path, read_only=False) as writable:
                    upgrade(writable)
                connection = open_store(self.path, read_only=True)
            yield None if version is None else connection
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
                SELECT {', '.join(PROFILE_FIELDS)} FROM {PROFILES_TABLE}
                WHERE {_NAME_MATCHES}
                -- A run that reused a profile holds a copy of its rows, measured at the same
                -- time: the newest run's copy is the one.
                QUALIFY rank() OVER (PARTITION BY source_name, table_name
                                     ORDER BY profiled_at DESC, run_id DESC NULLS LAST) = 1
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
                SELECT source_name, table_name, profiled_at, run_id, profile_mode, row_count,
                       alerts
                FROM {PROFILES_TABLE}
                WHERE {_NAME_MATCHES}
                ORDER BY profiled_at, run_id, source_name, table_name, column_name
                """,
                {"table": table_name, "source": source_name},
            ).fetchall()
        # By run too: a run that reused a profile holds rows of the same time.
        runs: dict[tuple[datetime, int | None, str, str], TableRun] = {}
        for source, table, profiled_at, run_id, mode, row_count, alerts in rows:
            key = (profiled_at, run_id, source, table)
            if key not in runs:
                runs[key] = TableRun(source, table, profiled_at, mode, row_count, 0, 0)
            run = runs[key]
            run.column_count += 1
            run.row_count = max(run.row_count, row_count)
            run.alert_count += len(decode_list(alerts))
        return list(runs.values())

    def runs(self) -> list[RecordedRun]:
        """Every recorded run, newest first, with its tables counted."""
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute("""
                SELECT r.run_id, r.started_at, r.ended_at, r.project, r.target, r.selectors,
                       r.profile_mode, r.threads, r.status, r.exit_status, r.tool_version,
                       count(t.run_id), count(t.run_id) FILTER (WHERE t.status <> 'success')
                FROM runs r LEFT JOIN table_runs t ON t.run_id = r.run_id
                GROUP BY ALL ORDER BY r.run_id DESC""").fetchall()
        # A run holds the store's write lock from its start to its end, so no other process
        # can read while one goes: any run still recorded as running was killed outright,
        # except this process's own. (No pid is recorded: pids are reused and per host.)
        session = StoreSession.current(self.path)
        live = session.run_id if session is not None and session.is_open else None
        return [RecordedRun(run_id, started, ended, project, target,
                            *decode_selectors(selectors), mode, threads,
                            RunState.ABANDONED.value
                            if status == RunState.RUNNING.value and run_id != live else status,
                            exit_status, version, tables, failed)
                for (run_id, started, ended, project, target, selectors, mode, threads, status,
                     exit_status, version, tables, failed) in rows]

    def table_runs(self, table: str | None = None,
                   source_name: str | None = None) -> list[RecordedTableRun]:
        """Every recorded run of the matching tables, newest first."""
        return self._table_runs(
            f"SELECT run_id, source_name, table_name, profiled_at FROM table_runs "
            f"WHERE {_NAME_MATCHES}", {"table": table, "source": source_name})

    def latest_table_runs(self, run_id: int | None = None, *,
                          tables: Iterable[tuple[str, str]] | None = None,
                          columns: bool = True) -> list[RecordedTableRun]:
        """Each table's latest run; of run `run_id` only when given (`tables`, `columns`: see
        `_table_runs`)."""
        return self._table_runs(f"""
            SELECT run_id, source_name, table_name, profiled_at FROM table_runs t
            WHERE $run IS NULL OR run_id = $run QUALIFY {_NEWEST_PER_TABLE} = 1""",
                                {"run": run_id}, tables, columns)

    def measured_before(self, run_id: int | None = None, *,
                        tables: Iterable[tuple[str, str]] | None = None,
                        columns: bool = True) -> list[RecordedTableRun]:
        """Each table's latest run that was measured and stored before its latest run (its
        run in `run_id` when given; `tables`, `columns`: see `_table_runs`)."""
        return self._table_runs(f"""
            SELECT run_id, source_name, table_name, profiled_at FROM table_runs t
            JOIN (SELECT source_name, table_name, run_id AS head_run, profiled_at AS head_at
                  FROM table_runs t WHERE $run IS NULL OR run_id = $run
                  QUALIFY {_NEWEST_PER_TABLE} = 1) h USING (source_name, table_name)
            WHERE t.status = 'success' AND t.stored
              AND (t.run_id < h.head_run OR (t.run_id = h.head_run AND t.profiled_at < h.head_at))
            QUALIFY {_NEWEST_PER_TABLE} = 1""", {"run": run_id}, tables, columns)

    def _table_runs(self, picked: str, parameters: dict[str, object],
                    tables: Iterable[tuple[str, str]] | None = None, columns: bool = True
                    ) -> list[RecordedTableRun]:
        """The table runs whose keys the query `picked` selects (of the (source, table)s
        `tables` only, when given): narrow first, so the wide columns are read only for the
        runs picked. Without `columns` the column lists are not read: `columns` reads as
        empty and `warehouse_columns` as None (an overview of many tables lists few)."""
        keys = None if tables is None else sorted(set(tables))
        if keys == []:
            return []
        only = "" if keys is None else (
            "SEMI JOIN (SELECT unnest($sources) AS source_name, unnest($names) AS table_name) "
            "w ON w.source_name = t.source_name AND w.table_name = t.table_name")
        if keys is not None:
            parameters = {**parameters, **_unnested(keys, "sources", "names")}
        lists = "t.columns, t.warehouse_columns" if columns else "NULL, NULL"
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(f"""
                WITH picked AS ({picked})
                SELECT t.run_id, r.started_at, t.source_name, t.table_name, t.status, t.error,
                       t.row_count, t.column_count, t.duration_ms, t.profiled_at, t.stored,
                       t.freshness_column, t.freshness_seconds, t.reused_from, {lists}
                FROM table_runs t JOIN runs r ON r.run_id = t.run_id
                SEMI JOIN picked p ON p.run_id = t.run_id AND p.source_name = t.source_name
                     AND p.table_name = t.table_name AND p.profiled_at = t.profiled_at
                {only}
                ORDER BY t.run_id DESC, t.profiled_at DESC, t.source_name, t.table_name""",
                parameters).fetchall()
        return [RecordedTableRun(run_id, started, source, table, status, error, row_count,
                                 column_count, duration, profiled_at, decode_columns(profiled),
                                 stored, freshness_column, freshness_seconds,
                                 None if warehouse is None else decode_columns(warehouse),
                                 reused_from)
                for (run_id, started, source, table, status, error, row_count, column_count,
                     duration, profiled_at, stored, freshness_column, freshness_seconds,
                     reused_from, profiled, warehouse) in rows]

    def run_profiles(self, run_ids: Iterable[int], table: tuple[str, str] | None = None, *,
                     fields: tuple[str, ...] = PROFILE_FIELDS
                     ) -> list[tuple[int, ColumnProfileResult]]:
        """The stored column rows of the runs (of one table, as (source, table), when given),
        each with its run id; the fields not in `fields` read as None, so a page that shows
        only counts does not decode every figure and top value."""
        ids = sorted(set(run_ids))
        if not ids:
            return []
        source, name = table if table is not None else (None, None)
        with self._reading() as connection:
            if connection is None:
                return []
            rows = connection.execute(
                f"SELECT run_id, {', '.join(fields)} FROM {PROFILES_TABLE} "
                "WHERE run_id IN (SELECT unnest($ids)) AND ($source IS NULL OR "
                "(source_name = $source AND table_name = $table))",
                {"ids": ids, "source": source, "table": name}).fetchall()
        return [(row[0], ColumnProfileResult(**dict(zip(fields, row[1:], strict=True))))
                for row in rows]

    def table_profiles(self, runs: Iterable[tuple[int, str, str]], *,
                       fields: tuple[str, ...] = PROFILE_FIELDS
                       ) -> list[tuple[int, ColumnProfileResult]]:
        """The stored column rows of the table runs `runs` (run id, source, table), each with
        its run id, as `run_profiles` gives them: only the tables asked for, not whole runs."""
        rows = self._of_table_runs(runs, f"SELECT p.run_id, "
                                         f"{', '.join(f'p.{name}' for name in fields)} "
                                         f"FROM {PROFILES_TABLE} p")
        return [(row[0], ColumnProfileResult(**dict(zip(fields, row[1:], strict=True))))
                for row in rows]

    def table_tallies(self, runs: Iterable[tuple[int, str, str]]
                      ) -> dict[tuple[int, str, str], tuple[int, list[str]]]:
        """Of each table run of `runs` (run id, source, table) that stored rows: how many
        columns, and the stored alert texts of those that have any; counted in the store, so
        an overview's sums over many tables make no row of each."""
        rows = self._of_table_runs(runs, f"""
            SELECT p.run_id, p.source_name, p.table_name, count(DISTINCT p.column_name),
                   list(p.alerts) FILTER (WHERE p.alerts IS NOT NULL)
            FROM {PROFILES_TABLE} p""", "GROUP BY ALL")
        return {(run_id, source, table): (columns, alerts or [])
                for run_id, source, table, columns, alerts in rows}

    def _of_table_runs(self, runs: Iterable[tuple[int, str, str]], select: str,
                       then: str = "") -> list[tuple[Any, ...]]:
        """`select` from the column rows `p` of the table runs `runs` only, then `then`."""
        keys = sorted(set(runs))
        if not keys:
            return []
        with self._reading() as connection:
            if connection is None:
                return []
            return connection.execute(
                "WITH wanted AS (SELECT unnest($ids) AS run_id, unnest($sources) AS s, "
                f"unnest($names) AS t) {select} SEMI JOIN wanted w ON w.run_id = p.run_id "
                f"AND w.s = p.source_name AND w.t = p.table_name {then}",
                _unnested(keys, "ids", "sources", "names")).fetchall()

    def run_history(self, table: tuple[str, str] | None = None, limit: int | None = None, *,
                    tables: Iterable[tuple[str, str]] | None = None
                    ) -> dict[tuple[str, str], list[RunPoint]]:
        """Each table's runs (of one table, or of `tables`, when given), newest first, at most
        `limit` each: their outcome, size and freshness, without their column lists."""
        source, name = table if table is not None else (None, None)
        keys = None if tables is None else sorted(set(tables))
        if keys == []:
            return {}
        with self._reading() as connection:
            if connection is None:
                return {}
            rows = connection.execute("""
                WITH wanted AS (SELECT unnest($sources) AS source_name,
                                       unnest($names) AS table_name)
                SELECT t.source_name, t.table_name, t.run_id, r.started_at, t.profiled_at,
                       t.status, t.error, t.row_count, t.column_count, t.duration_ms, t.stored,
                       t.reused_from, t.freshness_seconds
                FROM table_runs t JOIN runs r USING (run_id)
                WHERE ($source IS NULL OR (t.source_name = $source AND t.table_name = $table))
                  AND ($sources IS NULL OR EXISTS (
                      SELECT 1 FROM wanted w WHERE w.source_name = t.source_name
                                               AND w.table_name = t.table_name))
                QUALIFY $limit IS NULL OR row_number() OVER (
                    PARTITION BY t.source_name, t.table_name
                    ORDER BY t.run_id DESC, t.profiled_at DESC) <= $limit
                ORDER BY t.source_name, t.table_name, t.run_id DESC, t.profiled_at DESC""",
                {"source": source, "table": name, "limit": limit,
                 **(_unnested(keys, "sources", "names") if keys else
                    {"sources": None, "names": None})}).fetchall()
        history: dict[tuple[str, str], list[RunPoint]] = {}
        for source_name, table_name, *point in rows:
            history.setdefault((source_name, table_name), []).append(RunPoint(*point))
        return history

    def anomaly_rows(self, run_ids: Iterable[int] | None = None, *, latest: bool = False
                     ) -> list[tuple[Any, ...]]:
        """Stored anomalies (ANOMALY_FIELDS in order) of the runs, or with `latest` of each
        table's latest run, in source, table, column and metric order."""
        ids = None if run_ids is None else sorted(set(run_ids))
        with self._reading() as connection:
            if connection is None:
                return []
            return connection.execute(f"""
                SELECT {', '.join(f'a.{name}' for name in ANOMALY_FIELDS)} FROM anomalies a
                WHERE ($ids IS NULL OR a.run_id IN (SELECT unnest($ids)))
                  AND (NOT $latest OR a.run_id = (
                      SELECT max(t.run_id) FROM table_runs t
                      WHERE t.source_name = a.source_name AND t.table_name = a.table_name))
                ORDER BY a.source_name, a.table_name, a.column_name NULLS FIRST, a.metric,
                         a.run_id""", {"ids": ids, "latest": latest}).fetchall()

    def column_baselines(self, heads: list[tuple[str, str, int, datetime, int]],
                         series: list[tuple[str, str, str, int, str]],
                         narrowest: Sequence[tuple[str, float, float, float, float]] = ()
                         ) -> list[tuple[Any, ...]]:
        """What judging the columns of the `heads` (source, table, run under test, its time,
        how many of the table's latest measured runs to look back at) needs, per column of
        `series` (source, table, column, window, seasonality) and metric: the value under
        test, the median and MAD of the baseline and how many values it has, the previous
        value, whether that was an anomaly, and the run the baseline starts from.

        The baseline is the last `window` values of the measured and stored runs before the
        run under test, from the latest shift's run on, without the runs flagged since; with
        a seasonality only the runs of the same weekday or hour.

        Left out are the series with no baseline, and those whose value is well inside the
        `narrowest` band of their metric (metric, scale, small, points, share: the half-width
        max(scale · MAD · (1 + small / n), points, share · |median|)), which the caller makes
        no narrower than any series' own: a judged run is nearly all normal values."""
        if not heads or not series:
            return []
        h = list(zip(*heads, strict=True))
        s = list(zip(*series, strict=True))
        b: list[tuple[Any, ...]] = list(zip(*narrowest, strict=True)) or [()] * 5
        slot = ("CASE {kind} WHEN 'weekday' THEN isodow({at}) "
                "WHEN 'hour' THEN hour({at}) ELSE 0 END")
        with self._reading() as connection:
            if connection is None:
                return []
            return connection.execute(f"""
                WITH heads AS (
                    SELECT unnest($h0) AS source_name, unnest($h1) AS table_name,
                           unnest($h2) AS head_run, unnest($h3) AS head_at,
                           unnest($h4) AS lookback),
                settings AS (
                    SELECT unnest($s0) AS source_name, unnest($s1) AS table_name,
                           unnest($s2) AS column_name, unnest($s3) AS win,
                           unnest($s4) AS kind, generate_subscripts($s0, 1) AS sid),
                measured AS (
                    SELECT t.run_id, t.source_name, t.table_name, t.profiled_at, h.head_run,
                           h.head_at
                    FROM table_runs t JOIN heads h USING (source_name, table_name)
                    WHERE t.status = 'success' AND t.stored AND t.run_id <= h.head_run
                    QUALIFY row_number() OVER (PARTITION BY t.source_name, t.table_name
                                               ORDER BY t.run_id DESC) <= h.lookback + 1),
                -- A series is keyed by its column's number in `settings` from here on:
                -- grouping and joining by four names over millions of values cost most.
                figures AS (UNPIVOT (
                    SELECT s.sid, m.run_id, m.head_run,
                           {slot.format(kind='s.kind', at='m.profiled_at')}
                               = {slot.format(kind='s.kind', at='m.head_at')} AS same,
                           p.null_percent, p.distinct_percent,
                           p.mean_value AS mean, p.min_value AS min, p.max_value AS max,
                           p.avg_length,
                           CAST(json_extract(p.top_values, '$[0].count') AS DOUBLE) * 100
                               / nullif(p.row_count, 0) AS top_share
                    FROM {PROFILES_TABLE} p JOIN measured m ON p.run_id = m.run_id
                         AND p.source_name = m.source_name AND p.table_name = m.table_name
                    JOIN settings s ON s.source_name = p.source_name
                         AND s.table_name = p.table_name AND s.column_name = p.column_name)
                    ON null_percent, distinct_percent, mean, min, max, avg_length, top_share
                    INTO NAME metric VALUE value),
                judged AS (
                    SELECT s.sid, a.metric, a.run_id, a.status, a.baseline_from
                    FROM anomalies a JOIN settings s USING (source_name, table_name,
                                                            column_name)),
                shifts AS (
                    SELECT sid, metric, max(baseline_from) AS since
                    FROM judged WHERE status = 'shift' GROUP BY ALL),
                flagged AS (
                    SELECT DISTINCT sid, metric, run_id FROM judged WHERE status = 'anomaly'),
                series AS (
                    SELECT f.*, coalesce(sh.since, 0) AS since,
                           fl.run_id IS NOT NULL AS flagged
                    FROM figures f LEFT JOIN shifts sh USING (sid, metric)
                    LEFT JOIN flagged fl USING (sid, metric, run_id)),
                -- One pass per series: the value under test, the previous one and the
                -- baseline, newest first (the widest window's worth: a top-n aggregate
                -- costs half an ordered list), cut to the series' own window below.
                gathered AS (
                    SELECT sid, metric,
                           list(value) FILTER (run_id = head_run) AS tested,
                           arg_max(value, run_id, $widest) FILTER (
                               run_id < head_run AND run_id >= since AND same
                               AND NOT (flagged AND run_id > since)) AS base,
                           arg_max(value, run_id) FILTER (run_id < head_run) AS previous,
                           arg_max(flagged, run_id) FILTER (run_id < head_run) AS was_flagged,
                           max(run_id) FILTER (run_id < head_run) AS previous_run
                    FROM series GROUP BY sid, metric),
                cut AS (
                    SELECT g.*, s.source_name, s.table_name, s.column_name,
                           base[:s.win] AS window_values
                    FROM gathered g JOIN settings s USING (sid)),
                banded AS (
                    SELECT *, unnest(tested) AS value,
                           list_aggregate(window_values, 'median') AS mid,
                           list_aggregate(window_values, 'mad') AS mad,
                           coalesce(len(window_values), 0) AS n
                    FROM cut),
                narrowest AS (
                    SELECT unnest($b0) AS metric, unnest($b1) AS scale, unnest($b2) AS small,
                           unnest($b3) AS points, unnest($b4) AS share)
                SELECT source_name, table_name, column_name, metric, value, mid, mad, n,
                       previous, coalesce(was_flagged, false), previous_run
                FROM banded LEFT JOIN narrowest USING (metric)
                -- "Well inside": by more than the rounding of either side's arithmetic.
                WHERE mid IS NOT NULL AND NOT coalesce(
                    isfinite(mid) AND isfinite(mad)
                    AND abs(value - mid) + 1e-9 * (abs(value) + abs(mid))
                        < greatest(scale * mad * (1 + small / n), points, share * abs(mid))
                          * (1 - 1e-9), false)
                ORDER BY source_name, table_name, column_name, metric""",
                {**{f"h{i}": list(c) for i, c in enumerate(h)},
                 **{f"s{i}": list(c) for i, c in enumerate(s)},
                 **{f"b{i}": list(c) for i, c in enumerate(b)}, "widest": max(s[3])}
            ).fetchall()
