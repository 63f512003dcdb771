"""What `zel profile show` shows: the report's views read from the store, narrowed to the
tables asked for. Printing them is the terminal's (`kor.report.console`) or JSON's."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from kor.compute.metadata import ColumnProfileResult
from kor.profiling.history import matching_tables
from kor.profiling.read import latest_profiles, read_errors
from kor.report.content import AlertsView, NoLinks, Overview, TableView, alerts_view
from kor.report.site import ReportSource, document, narrowed


@dataclass
class Shown:
    """The views of the tables shown and the overview of those tables; the alerts view when
    alerts were asked for, else the stored rows when they were; and a line for each selector
    of the tables' names that picks no source or model."""

    tables: list[TableView]
    overview: Overview
    alerts: AlertsView | None = None
    rows: list[ColumnProfileResult] | None = None
    unmatched: list[str] = field(default_factory=list)


def shown(project_dir: Path | str, table: str | None = None, *, with_alerts: bool = False,
          severity: str | None = None, alert_type: str | None = None,
          with_rows: bool = False) -> Shown | None:
    """Every table's latest profile, or only those `table` names (as `matching_tables`
    reads it: none of them shown when none is stored); the alerts of severity `severity` and
    type `alert_type` with `with_alerts`; the rows of the profiles with `with_rows`. None when
    no run has been recorded."""
    source = ReportSource.for_project(project_dir)
    with read_errors(source.reader.path):
        whole = document(source, lambda keys: NoLinks())
    if whole is None:
        return None
    views = whole.tables
    unmatched: list[str] = []
    if table is not None:
        named, unmatched = matching_tables(project_dir, table, [view.key for view in views])
        views = [view for view in views if view.key in named]
    keys = {view.key for view in views}
    found = Shown(views, narrowed(whole.overview, keys), unmatched=unmatched)
    if not views:
        return found
    if with_alerts:
        found.alerts = alerts_view(source.project, [(v.key, v.columns) for v in views],
                                   NoLinks(), severity, alert_type,
                                   [entry for entry in whole.judged if entry.key in keys])
    elif with_rows:
        found.rows = [row for row in latest_profiles(project_dir)
                      if (row.source_name, row.table_name) in keys]
    return found
