"""`zel profile diff` and `zel profile history` in the terminal (Rich) and as JSON."""

from __future__ import annotations

import dataclasses
import json
from datetime import datetime
from enum import Enum
from typing import Any

from rich.console import Console, JustifyMethod
from rich.table import Table
from rich.text import Text

from kor.compute.metadata.records import RecordedRun, RecordedTableRun
from kor.profiling.anomalies import ANOMALY, Anomaly
from kor.profiling.diff import Change, ProjectDiff, TableDiff
from kor.report.content import TableState
from kor.report.figures import timestamp
from kor.report.wording import anomaly_message, change_message
from kor.text import MISSING, number, one_line, printable, qualified

SEVERITY_STYLES = {"error": "bold red", "warning": "yellow", "info": "cyan"}


def as_json(value: Any) -> str:
    """Records as JSON: dataclasses as objects, times in ISO form, enums by name."""
    return json.dumps(_plain(value), indent=2, ensure_ascii=False)


def _plain(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, Enum):
        return str(value)
    if isinstance(value, datetime):
        return value.isoformat()
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, float) and value != value:
        return None
    return value


def diff_json(diff: ProjectDiff) -> str:
    document = _plain(diff)
    for table, shown in zip(diff.tables, document["tables"], strict=True):
        shown["changes"] = [_change_record(change) for change in table.changes]
    document["worst"] = None if diff.worst is None else str(diff.worst)
    return json.dumps(document, indent=2, ensure_ascii=False)


def _change_record(change: Change) -> dict[str, Any]:
    """A change as JSON has it: its figures, then its words (what else the words need, such
    as an anomaly's range, is not repeated)."""
    return {"kind": _plain(change.kind), "severity": _plain(change.severity),
            "column": change.column, "base": _plain(change.base), "head": _plain(change.head),
            "message": change_message(change)}


def anomalies_json(found: list[Anomaly]) -> str:
    """Anomalies as flat records, with their words."""
    return as_json([{"run_id": a.run_id, "source_name": a.source_name,
                     "table_name": a.table_name, "column_name": a.column_name,
                     "metric": a.metric.value, "severity": str(a.severity), "type": ANOMALY,
                     "value": a.value, "low": a.low, "high": a.high, "median": a.median,
                     "runs": a.runs, "seasonal": a.seasonal, "message": anomaly_message(a)}
                    for a in found])


def _run_label(table_run: RecordedTableRun | None) -> str:
    if table_run is None:
        return MISSING
    return f"run {table_run.run_id} ({timestamp(table_run.run_started_at)})"


def _table_heading(table: TableDiff) -> Text:
    heading = Text(printable(qualified(table.source_name, table.table_name)), style="bold")
    heading.append(f"  {_run_label(table.base)} → {_run_label(table.head)}", style="dim")
    return heading


def changes_grid(changes: list[Change]) -> Table:
    """A table's changes, the most severe first; stored text is printed as text."""
    grid = Table(show_header=True, box=None, padding=(0, 2, 0, 2))
    for heading in ("severity", "change", "column", "what"):
        grid.add_column(heading)
    for change in sorted(changes, key=lambda c: -c.severity):
        severity = str(change.severity)
        grid.add_row(Text(severity, style=SEVERITY_STYLES[severity]), Text(change.kind),
                     Text(printable(change.column or "")),
                     Text(one_line(change_message(change))))
    return grid


def print_diff(console: Console, diff: ProjectDiff) -> None:
    """One block per table: its changes, the most severe first."""
    if not diff.tables:
        console.print("Nothing to compare: no recorded run of the selected tables.")
        return
    for table in diff.tables:
        console.print(_table_heading(table))
        if table.note:
            console.print(Text(f"  {table.note}", style="dim"))
        if not table.changes:
            if not table.note:
                console.print(Text("  no changes", style="dim"))
            continue
        console.print(changes_grid(table.changes))
    counts = {str(s): sum(1 for t in diff.tables for c in t.changes if c.severity == s)
              for s in sorted({c.severity for t in diff.tables for c in t.changes},
                              reverse=True)}
    summary = ", ".join(f"{n:,} {name}" for name, n in counts.items()) or "no changes"
    console.print(f"\n{len(diff.tables):,} tables compared: {summary}.")


def _listing(*columns: tuple[str, JustifyMethod]) -> Table:
    table = Table(show_header=True, box=None, padding=(0, 2, 0, 0))
    for heading, justify in columns:
        table.add_column(heading, justify=justify)
    return table


def print_runs(console: Console, runs: list[RecordedRun]) -> None:
    """One line per run, newest first."""
    table = _listing(("run", "right"), ("started", "left"), ("status", "left"),
                     ("exit", "right"), ("tables", "right"), ("failed", "right"),
                     ("mode", "left"), ("target", "left"), ("selected", "left"))
    for run in runs:
        table.add_row(str(run.run_id), timestamp(run.started_at), Text(run.status),
                      number(run.exit_status), number(run.tables), number(run.failed_tables),
                      Text(run.profile_mode or MISSING), Text(printable(run.target or MISSING)),
                      Text(printable(" ".join(run.select)) or MISSING))
    console.print(table)


def _table_run_status(run: RecordedTableRun) -> str:
    if run.succeeded and not run.stored:
        return TableState.NOT_STORED
    if run.succeeded and run.reused_from is not None:
        return f"unchanged since run {run.reused_from}"
    return run.status


def print_table_runs(console: Console, runs: list[RecordedTableRun]) -> None:
    """One line per run of a table, newest first."""
    table = _listing(("run", "right"), ("started", "left"), ("table", "left"),
                     ("status", "left"), ("rows", "right"), ("columns", "right"),
                     ("error", "left"))
    for run in runs:
        table.add_row(str(run.run_id), timestamp(run.run_started_at),
                      Text(printable(qualified(run.source_name, run.table_name))),
                      Text(_table_run_status(run)),
                      number(run.row_count), number(run.column_count),
                      Text(one_line(run.error or "")))
    console.print(table)
