"""What changed between two profile runs: per table, its schema, its rows, and every column.

By default each table's latest run is compared with its latest earlier run that was measured
and stored. `base`/`head` pin runs instead: a run id, or a date (the last run started on or
before it); a table is then compared as it was profiled in exactly those runs. Figures that
were not measured (a failed table, a failed column) are never compared: the diff says so.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import date, datetime, time
from typing import Any

from kor.compute.metadata import ColumnProfileResult, MetadataReader, decode_alerts
from kor.compute.metadata.records import RecordedRun, RecordedTableRun, TableKey, decode_top_values
from kor.profiling.anomalies import Anomaly, Status
from kor.profiling.rules import ChangeKind, DiffRules, Severity


class RunNotFound(LookupError):
    """A `base`/`head` that names no recorded run."""


@dataclass
class Change:
    """One change: what changed, where, and its value or figure before and after. Its words
    are the presentation's (`kor.report.wording`), so the diff hands over figures alone."""

    kind: ChangeKind
    severity: Severity
    column: str | None
    base: Any
    head: Any
    # A new alert's own message.
    alert_message: str | None = None
    # A distinct share taken of the non-null values only (some side holds NULLs).
    of_non_null: bool = False
    # What an ANOMALY change reports.
    anomaly: Anomaly | None = None


@dataclass
class TableDiff:
    source_name: str
    table_name: str
    base: RecordedTableRun | None
    head: RecordedTableRun | None
    changes: list[Change] = field(default_factory=list)
    # Why figures were not compared, when they were not.
    note: str | None = None

    @property
    def worst(self) -> Severity | None:
        return max((change.severity for change in self.changes), default=None)


@dataclass
class ProjectDiff:
    base_run: int | None
    head_run: int | None
    tables: list[TableDiff]
    # Selectors that picked nothing, each as a line saying so.
    unmatched: list[str] = field(default_factory=list)

    @property
    def worst(self) -> Severity | None:
        return max((t.worst for t in self.tables if t.worst is not None), default=None)


RunPair = tuple[RecordedTableRun | None, RecordedTableRun | None]
RowsByRun = dict[tuple[int, str, str], dict[str, ColumnProfileResult]]


# Values closer than this (relative) are the same figure computed twice.
_SAME = 1e-9


def resolve_run(runs: list[RecordedRun], spec: str) -> int:
    """The run id `spec` names: a run id is ASCII digits alone; anything else is read as an
    ISO-8601 date or date and time (an offset converted to this machine's local time, in
    which runs are recorded), meaning the last run started then or before. A date alone
    covers its whole day."""
    if spec.isascii() and spec.isdigit():
        if any(run.run_id == int(spec) for run in runs):
            return int(spec)
        hint = ""
        if len(spec) == 8 and _moment(f"{spec[:4]}-{spec[4:6]}-{spec[6:]}") is not None:
            hint = f" (a date is written {spec[:4]}-{spec[4:6]}-{spec[6:]})"
        raise RunNotFound(f"no recorded run with id {spec}{hint}")
    moment = _moment(spec)
    if moment is None:
        raise RunNotFound(f"{spec!r} is neither a run id (digits) nor a date "
                          "(YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS][+HH:MM])")
    earlier = [run.run_id for run in runs if run.started_at <= moment]
    if not earlier:
        raise RunNotFound(f"no recorded run started on or before {spec}")
    return max(earlier)


def _moment(spec: str) -> datetime | None:
    """The local time `spec` names, as runs' start times are stored; None when it is none."""
    try:
        if re.fullmatch(r"\d{4}-\d{2}-\d{2}", spec):
            return datetime.combine(date.fromisoformat(spec), time.max)
        moment = datetime.fromisoformat(spec)
        if moment.tzinfo is not None:
            moment = moment.astimezone().replace(tzinfo=None)
    except (ValueError, OverflowError):
        return None
    return moment


def diff_runs(reader: MetadataReader, rules: DiffRules, *, base: str | None = None,
              head: str | None = None,
              tables: Iterable[TableKey] | None = None) -> ProjectDiff:
    """Compares the tables of the store (only `tables`, as (source, table), when given)."""
    with reader.holding():
        return _diff_runs(reader, rules, base, head, tables)


def _diff_runs(reader: MetadataReader, rules: DiffRules, base: str | None, head: str | None,
               tables: Iterable[TableKey] | None) -> ProjectDiff:
    runs = reader.runs()
    base_id = resolve_run(runs, base) if base is not None else None
    head_id = resolve_run(runs, head) if head is not None else None
    pairs = run_pairs(reader, base_id, head_id, tables)
    rows = rows_by_run(reader.run_profiles(
        t.run_id for pair in pairs.values() for t in pair if t is not None))
    diffs = [compare_tables(key, base_run, head_run, rows, rules)
             for key, (base_run, head_run) in pairs.items()]
    heads = {(d.source_name, d.table_name, d.head.run_id): d for d in diffs
             if d.head is not None and d.note is None}
    for row in reader.anomaly_rows(run for _, _, run in heads):
        found = Anomaly.of_row(row)
        diff = heads.get((found.source_name, found.table_name, found.run_id))
        severity = rules.severity(ChangeKind.ANOMALY, found.source_name, found.table_name,
                                  found.column_name, alert=str(found.severity))
        if diff is not None and found.status is Status.ANOMALY and severity is not None:
            diff.changes.append(Change(ChangeKind.ANOMALY, severity, found.column_name,
                                       (found.low, found.high), found.value, anomaly=found))
    return ProjectDiff(base_id, head_id, diffs)


def run_pairs(reader: MetadataReader, base_id: int | None = None, head_id: int | None = None,
              tables: Iterable[TableKey] | None = None, *, columns: bool = True
              ) -> dict[TableKey, RunPair]:
    """The (older, newer) table runs a diff compares, per table in source and table order:
    each table's run in `head_id` (default: its latest) against its run in `base_id`
    (default: its latest earlier run that was measured and stored); of `tables` only when
    given, and without `columns` with the runs' column lists unread."""
    wanted = None if tables is None else list(tables)
    heads = _by_table(reader.latest_table_runs(head_id, tables=wanted, columns=columns))
    bases = _by_table(
        reader.latest_table_runs(base_id, tables=wanted, columns=columns) if base_id is not None
        else reader.measured_before(head_id, tables=wanted, columns=columns))
    keys = sorted(heads.keys() | (bases.keys() if base_id is not None else set()))
    return {key: (bases.get(key), heads.get(key)) for key in keys}


def previous_measured(runs: list[RecordedTableRun], head: RecordedTableRun
                      ) -> RecordedTableRun | None:
    """Of one table's runs, newest first, the one a diff compares `head` with by default:
    the latest earlier run that was measured and stored (`run_pairs` picks it in SQL)."""
    position = next(index for index, run in enumerate(runs) if run is head)
    return next((run for run in runs[position + 1:] if run.succeeded and run.stored), None)


def _by_table(table_runs: list[RecordedTableRun]) -> dict[TableKey, RecordedTableRun]:
    return {(t.source_name, t.table_name): t for t in table_runs}


def rows_by_run(rows: Iterable[tuple[int, ColumnProfileResult]]) -> RowsByRun:
    """Stored column rows by (run id, source, table), then by column name."""
    grouped: RowsByRun = {}
    for run_id, row in rows:
        grouped.setdefault((run_id, row.source_name, row.table_name), {})[row.column_name] = row
    return grouped


def compare_tables(key: TableKey, base: RecordedTableRun | None,
                   head: RecordedTableRun | None, rows: RowsByRun, rules: DiffRules, *,
                   figures: bool = True) -> TableDiff:
    """What changed in one table from `base` to `head`, whose column rows `rows` holds.
    Without `figures` columns are compared by their alerts alone (so their rows need only
    their counts and alerts): the schema, the rows and the alerts, as an overview sums up."""
    source, table = key
    diff = TableDiff(source, table, base, head)

    def change(kind: ChangeKind, column: str | None, before: Any, after: Any,
               measure: float | None = None, alert: str | None = None, **wording: Any) -> None:
        severity = rules.severity(kind, source, table, column, measure, alert)
        if severity is not None:
            diff.changes.append(Change(kind, severity, column, before, after, **wording))

    if head is None:
        change(ChangeKind.TABLE_MISSING, None, base.run_id if base else None, None)
        return diff
    if not head.succeeded:
        change(ChangeKind.TABLE_FAILED, None, None, head.error)
        diff.note = "the newer run of this table failed: nothing to compare"
        return diff
    if base is None:
        change(ChangeKind.TABLE_ADDED, None, None, head.run_id)
        return diff
    if not (base.succeeded and base.stored and head.stored):
        which = "older" if not (base.succeeded and base.stored) else "newer"
        diff.note = f"the {which} run of this table was not stored: nothing to compare"
        return diff
    if base.run_id == head.run_id:
        diff.note = "the same run on both sides"
        return diff
    if head.reused_from is not None and head.reused_from in (base.run_id, base.reused_from):
        # Both sides are one measurement: the data has provably not changed in between.
        diff.note = f"unchanged since run {head.reused_from}"
        return diff
    _compare_schema(base, head, change)
    _compare_rows(base.row_count or 0, head.row_count or 0, change)
    _compare_freshness(base, head, change)
    base_rows = rows.get((base.run_id, source, table), {})
    head_rows = rows.get((head.run_id, source, table), {})
    for name, head_row in head_rows.items():
        if name in base_rows:
            _compare_column(name, base_rows[name], head_row, change, figures)
    return diff


def _compare_schema(base: RecordedTableRun, head: RecordedTableRun, change: Any) -> None:
    # The warehouse's own columns where both runs listed them, so a column added to the
    # warehouse shows even while the models file declares fewer.
    listed = base.warehouse_columns is not None and head.warehouse_columns is not None
    base_columns = base.warehouse_columns if listed and base.warehouse_columns else base.columns
    head_columns = head.warehouse_columns if listed and head.warehouse_columns else head.columns
    base_types, head_types = dict(base_columns), dict(head_columns)
    for name, data_type in head_columns:
        if name not in base_types:
            change(ChangeKind.COLUMN_ADDED, name, None, data_type)
        elif None not in (base_types[name], data_type) and base_types[name] != data_type:
            change(ChangeKind.TYPE_CHANGED, name, base_types[name], data_type)
    for name, data_type in base_columns:
        if name not in head_types:
            change(ChangeKind.COLUMN_REMOVED, name, data_type, None)


def _compare_rows(before: int, after: int, change: Any) -> None:
    if after < before:
        change(ChangeKind.ROW_COUNT_DOWN, None, before, after, _relative(before, after))
    elif after > before:
        change(ChangeKind.ROW_COUNT_UP, None, before, after, _relative(before, after))


def _compare_freshness(base: RecordedTableRun, head: RecordedTableRun, change: Any) -> None:
    """The table's latest value aged more than time passed: no newer data since."""
    before, after = base.freshness_seconds, head.freshness_seconds
    if before is None or after is None or after <= before:
        return
    change(ChangeKind.FRESHNESS_LAG_UP, head.freshness_column, before, after,
           (after - before) / 3600)


def _relative(before: float, after: float) -> float:
    """The change as a percentage of `before` (infinite from zero)."""
    if before == 0:
        return math.inf
    return abs(after - before) / abs(before) * 100


def _same(before: float, after: float) -> bool:
    return abs(after - before) <= _SAME * max(abs(before), abs(after), 1.0)


def is_measured(row: ColumnProfileResult) -> bool:
    """Whether the column's figures were measured: a failed column carries no counts, or (in
    stores written before that) a PROFILE_ERROR alert."""
    if row.null_percent is None or row.distinct_count is None:
        return False
    return "PROFILE_ERROR" not in (row.alerts or "") or not any(
        alert.get("type") == "PROFILE_ERROR" for alert in decode_alerts(row))


def _compare_column(name: str, base: ColumnProfileResult, head: ColumnProfileResult,
                    change: Any, figures: bool) -> None:
    if not is_measured(base):
        return
    if not is_measured(head):
        change(ChangeKind.COLUMN_NOT_MEASURED, name, None, None)
        return
    if figures:
        _compare_figures(name, base, head, change)
    _compare_alerts(name, base, head, change)
    if figures:
        _compare_top_values(name, base, head, change)


def _compare_figures(name: str, base: ColumnProfileResult, head: ColumnProfileResult,
                     change: Any) -> None:
    assert base.null_percent is not None and head.null_percent is not None
    _points(name, "null_percent", base.null_percent, head.null_percent, change)
    # Distinct values are compared with the values there are: NULLs added to a column
    # change its null share, not how distinct its values are.
    before, after = _distinct_share(base), _distinct_share(head)
    if _is_unique(base) and not _is_unique(head):
        assert head.distinct_percent is not None
        change(ChangeKind.UNIQUE_LOST, name, base.distinct_percent, head.distinct_percent)
    elif before is not None and after is not None:
        _points(name, "distinct_percent", before, after, change,
                of_non_null=not (base.null_percent == head.null_percent == 0))
    if base.distinct_count != head.distinct_count:
        assert base.distinct_count is not None and head.distinct_count is not None
        change(ChangeKind.DISTINCT_COUNT_CHANGED, name, base.distinct_count,
               head.distinct_count, _relative(base.distinct_count, head.distinct_count))
    for kind, before, after, exact_before, exact_after in (
            (ChangeKind.MIN_CHANGED, base.min_value, head.min_value, base.min_exact,
             head.min_exact),
            (ChangeKind.MAX_CHANGED, base.max_value, head.max_value, base.max_exact,
             head.max_exact)):
        if before is not None and after is not None:
            if not _same(before, after):
                change(kind, name, before, after)
        elif None not in (exact_before, exact_after) and exact_before != exact_after:
            # Dates, times and text: the warehouse's own values, compared as stored.
            change(kind, name, exact_before, exact_after)
    for kind, before, after in (
            (ChangeKind.MEAN_CHANGED, base.mean_value, head.mean_value),
            (ChangeKind.STDDEV_CHANGED, base.stddev_value, head.stddev_value)):
        if before is not None and after is not None and not _same(before, after):
            change(kind, name, before, after, _relative(before, after))


def _distinct_share(row: ColumnProfileResult) -> float | None:
    """Distinct values as a percentage of the non-null values; None when there are none."""
    assert row.distinct_percent is not None and row.null_percent is not None
    if row.null_percent >= 100:
        return None
    # Multiplied first: with no NULLs the share is the stored percentage to the last bit.
    return row.distinct_percent * 100 / (100 - row.null_percent)


def _is_unique(row: ColumnProfileResult) -> bool:
    """No non-null value repeats (and there is at least one)."""
    if row.null_count is None or not row.row_count or row.distinct_count is None:
        share = _distinct_share(row)
        return share is not None and share >= 100
    values = row.row_count - row.null_count
    return values > 0 and row.distinct_count >= values


def _points(name: str, figure: str, before: float, after: float, change: Any,
            of_non_null: bool = False) -> None:
    if _same(before, after):
        return
    direction = "up" if after > before else "down"
    change(ChangeKind(f"{figure}_{direction}"), name, before, after, abs(after - before),
           of_non_null=of_non_null)


def _compare_alerts(name: str, base: ColumnProfileResult, head: ColumnProfileResult,
                    change: Any) -> None:
    if base.alerts == head.alerts:
        return
    # By type: the messages carry the figures, which move from run to run.
    before = {str(a.get("type")): a for a in decode_alerts(base)}
    after = {str(a.get("type")): a for a in decode_alerts(head)}
    for kind in sorted(after.keys() - before.keys()):
        alert = after[kind]
        change(ChangeKind.ALERT_NEW, name, None, kind, alert=str(alert.get("severity")),
               alert_message=str(alert.get("message", "")))
    for kind in sorted(before.keys() - after.keys()):
        change(ChangeKind.ALERT_RESOLVED, name, kind, None)


def _compare_top_values(name: str, base: ColumnProfileResult, head: ColumnProfileResult,
                        change: Any) -> None:
    if base.top_values == head.top_values:
        return
    before = [str(entry["value"]) for entry in decode_top_values(base)]
    after = [str(entry["value"]) for entry in decode_top_values(head)]
    if not before or not after:
        return  # only one side has top values: not measured alike
    appeared = [value for value in after if value not in before]
    gone = [value for value in before if value not in after]
    if appeared:
        change(ChangeKind.TOP_VALUES_NEW, name, None, appeared)
    if gone:
        change(ChangeKind.TOP_VALUES_GONE, name, gone, None)
