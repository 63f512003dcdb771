"""The report's views, read fresh from the metadata store for every request, file or `show`.

Each view reads through one connection. Changes come from the diff's own pairing and
comparison (`kor.profiling.diff`); only the rows a view shows are read.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

from kor.compute.metadata import PROFILE_FIELDS, ColumnProfileResult, MetadataReader, store_path
from kor.compute.metadata.records import RecordedTableRun, RunPoint, TableKey
from kor.config.runtime import project_settings
from kor.profiling.anomalies import ANOMALY, Anomaly, Metric, Status
from kor.profiling.diff import (
    RowsByRun,
    RunPair,
    compare_tables,
    previous_measured,
    rows_by_run,
    run_pairs,
)
from kor.profiling.history import project_rules
from kor.profiling.read import open_reader
from kor.profiling.rules import DiffRules
from kor.report import content, html
from kor.report.content import (
    AlertsView,
    Changes,
    Links,
    Overview,
    TableLine,
    TableView,
)
from kor.report.wording import anomaly_message

# What a summary of a column needs: who it is, its counts and its alerts. The other fields,
# its figures and (the widest by far) its most frequent values, read as None.
SUMMARY_FIELDS = tuple(name for name in PROFILE_FIELDS if name not in (
    "min_value", "max_value", "mean_value", "median_value", "stddev_value", "p25", "p50",
    "p75", "min_length", "max_length", "avg_length", "histogram", "top_values", "min_exact"))


@dataclass
class ReportSource:
    """What the report is made of: the store, the project's name and its rules for changes."""

    reader: MetadataReader
    project: str | None = None
    rules: DiffRules = field(default_factory=DiffRules)

    @classmethod
    def for_project(cls, project_dir: Path | str) -> ReportSource:
        """The report of the project in `project_dir`; raises ProjectError for a folder that
        is not a project or a `diff:` setting that is not rules."""
        project = Path(project_dir)
        open_reader(project)
        name = project_settings(project).get("name")
        return cls(MetadataReader(store_path(project.resolve())),
                   None if name is None else str(name), project_rules(project))

    @classmethod
    def for_store(cls, path: Path) -> ReportSource:
        """The report of a store file alone: no project name, the default rules."""
        return cls(MetadataReader(path))


@dataclass
class _Latest:
    """Each recorded table's latest run paired with its previous measured one, and the stored
    rows of both."""

    pairs: dict[TableKey, RunPair]
    rows: RowsByRun

    def shown(self, key: TableKey) -> RecordedTableRun | None:
        base, head = self.pairs[key]
        assert head is not None  # every table in the default pairing has a latest run
        return _shown(base, head)

    def read(self, reader: MetadataReader, keys: Iterable[TableKey], fields: tuple[str, ...],
             *, shown: bool) -> None:
        """Adds the rows of the tables `keys`: of the run each shows with `shown`, else of
        both runs of its pair (what a diff compares)."""
        wanted = set()
        for key in keys:
            runs = (self.shown(key),) if shown else self.pairs[key]
            wanted |= {(run.run_id, *key) for run in runs if run is not None}
        self.rows.update(rows_by_run(reader.table_profiles(wanted - self.rows.keys(),
                                                           fields=fields)))


def _shown(base: RecordedTableRun | None, head: RecordedTableRun) -> RecordedTableRun | None:
    """The run whose profile a table shows: its latest, or the one before when that failed."""
    return head if head.succeeded and head.stored else base


def _latest(reader: MetadataReader, whole: bool) -> _Latest:
    """`whole`: every field of the rows of both runs of each pair; else what a summary needs
    (see SUMMARY_FIELDS) of the run each table shows."""
    pairs = run_pairs(reader)
    if whole:
        ids = {run.run_id for pair in pairs.values() for run in pair if run is not None}
        return _Latest(pairs, rows_by_run(reader.run_profiles(ids)))
    latest = _Latest(pairs, {})
    latest.read(reader, pairs, SUMMARY_FIELDS, shown=True)
    return latest


def _rows(run: RecordedTableRun | None, key: TableKey, rows: RowsByRun
          ) -> dict[str, ColumnProfileResult]:
    return {} if run is None else rows.get((run.run_id, *key), {})


def latest_judged(reader: MetadataReader) -> list[Anomaly]:
    """The anomalies (not the shifts) of each table's latest run."""
    return [anomaly for anomaly in map(Anomaly.of_row, reader.anomaly_rows(latest=True))
            if anomaly.status is Status.ANOMALY]


def row_count_bands(found: list[Anomaly]) -> dict[TableKey, tuple[float, float]]:
    """The usual row-count range each table's latest run left, where it left it."""
    return {(a.source_name, a.table_name): (a.low, a.high) for a in found
            if a.column_name is None and a.metric is Metric.ROW_COUNT}


def _overview(source: ReportSource, latest: _Latest, histories: dict[TableKey, list[RunPoint]],
              links: Links, whole: bool,
              bands: dict[TableKey, tuple[float, float]] | None = None,
              tallies: dict[tuple[int, str, str], tuple[int, list[str]]] | None = None
              ) -> Overview:
    """`whole`: the rows were read whole, so the lines carry their columns and the changes
    cover every figure; else the changes are the summary's (schema, rows, alerts). With
    `tallies` (see `MetadataReader.table_tallies`) the lines' sums come from them."""
    heads = [head for _, head in latest.pairs.values() if head is not None]
    newest = max(heads, key=lambda head: head.run_id)
    lines = []
    for key, (_, head) in latest.pairs.items():
        assert head is not None
        shown = latest.shown(key)
        rows = _rows(shown, key, latest.rows)

        def measure(key: TableKey = key) -> tuple[Changes, content.Trend | None]:
            # The pair as it stands when measured: the summary's may have lacked column lists.
            base, head = latest.pairs[key]
            return (Changes(compare_tables(key, base, head, latest.rows, source.rules,
                                           figures=whole)),
                    content.trend(histories.get(key, []), band=(bands or {}).get(key)))

        tally = None if tallies is None else (
            (0, []) if shown is None else tallies.get((shown.run_id, *key), (0, [])))
        lines.append(TableLine(key, links, head, shown, head.run_id < newest.run_id, rows,
                               measure, content.columns(shown, rows) if whole else [], tally))
    return Overview(source.project, lines, newest.run_id, newest.run_started_at)


def _summary(source: ReportSource, links: Links
             ) -> tuple[Overview, Callable[[list[TableLine]], None]] | None:
    """Every recorded table's latest run, its sums counted in the store, and what reads the
    rest of some of its lines (their rows, changes and trends) through the reader held; None
    when no run has been recorded. Nothing is made of each table but its line."""
    reader = source.reader
    latest = _Latest(run_pairs(reader, columns=False), {})
    if not latest.pairs:
        return None
    tallies = reader.table_tallies(
        (shown.run_id, *key) for key in latest.pairs if (shown := latest.shown(key)))
    histories: dict[TableKey, list[RunPoint]] = {}
    bands: dict[TableKey, tuple[float, float]] = {}

    def measured(lines: list[TableLine]) -> None:
        keys = [line.key for line in lines]
        latest.pairs.update(run_pairs(reader, tables=keys))
        latest.read(reader, keys, SUMMARY_FIELDS, shown=False)
        for line in lines:
            line.rows = _rows(line.shown, line.key, latest.rows)
        histories.update(reader.run_history(limit=content.TREND_RUNS, tables=keys))
        wanted = set(keys)
        bands.update(row_count_bands([anomaly for anomaly in latest_judged(reader)
                                      if (anomaly.source_name, anomaly.table_name) in wanted]))

    # The lines read the histories and bands when first measured, after `measured` filled them.
    return (_overview(source, latest, histories, links, whole=False, bands=bands,
                      tallies=tallies), measured)


def overview(source: ReportSource, links: Links) -> Overview | None:
    """Every recorded table's latest run; None when no run has been recorded."""
    with source.reader.holding():
        made = _summary(source, links)
        if made is None:
            return None
        summary, measured = made
        measured(summary.lines)
    return summary


def table_view(source: ReportSource, key: TableKey, links: Links, run_id: int | None = None
               ) -> TableView | None:
    """One table's latest profile, or its profile in run `run_id`; None when the store has
    no such run of the table."""
    reader = source.reader
    with reader.holding():
        runs = reader.table_runs(key[1], source_name=key[0])
        head = next((run for run in runs if run_id in (None, run.run_id)), None)
        if head is None:
            return None
        base = previous_measured(runs, head)
        rows = rows_by_run(reader.run_profiles(
            {run.run_id for run in (base, head) if run is not None}, key))
    # A run asked for by id shows its own figures or none; the latest shows the last measured.
    shown = _shown(base, head) if run_id is None else (
        head if head.succeeded and head.stored else None)
    return TableView(
        key, source.project, head, shown, content.columns(shown, _rows(shown, key, rows)),
        content.history([RunPoint.of(run) for run in runs], key, shown, links),
        Changes(compare_tables(key, base, head, rows, source.rules)), pinned=run_id is not None)


def anomaly_alerts(found: list[Anomaly], links: Links) -> list[content.AlertEntry]:
    """Anomalies as alerts (a table's own figures under the column name "")."""
    return [content.AlertEntry((a.source_name, a.table_name),
                               links.table((a.source_name, a.table_name)), a.column_name or "",
                               content.Alert(str(a.severity), ANOMALY, anomaly_message(a)),
                               links.column((a.source_name, a.table_name), a.column_name)
                               if a.column_name else None)
            for a in found]


def alerts(source: ReportSource, links: Links, severity: str | None = None,
           alert_type: str | None = None) -> AlertsView | None:
    """The alerts of every table's shown profile; None when no run has been recorded."""
    with source.reader.holding():
        latest = _latest(source.reader, whole=False)
        judged = (anomaly_alerts(latest_judged(source.reader), links) if latest.pairs
                  else [])
    if not latest.pairs:
        return None
    tables = []
    for key in latest.pairs:
        shown = latest.shown(key)
        tables.append((key, content.columns(shown, _rows(shown, key, latest.rows),
                                            charts=False)))
    return content.alerts_view(source.project, tables, links, severity, alert_type, judged)


@dataclass
class Document:
    """Everything the single-file report holds."""

    overview: Overview
    alerts: AlertsView
    tables: list[TableView]
    # The anomalies of the tables' latest runs, as alerts.
    judged: list[content.AlertEntry] = field(default_factory=list)


def document(source: ReportSource, links_for: Callable[[list[TableKey]], Links]
             ) -> Document | None:
    """The overview, the alerts and every table's latest profile; None when no run has been
    recorded. `links_for` makes the links of the file that holds these tables."""
    reader = source.reader
    with reader.holding():
        latest = _latest(reader, whole=True)
        if not latest.pairs:
            return None
        histories = reader.run_history()
        links = links_for(list(latest.pairs))
        found = latest_judged(reader)
        judged, bands = anomaly_alerts(found, links), row_count_bands(found)
    summary = _overview(source, latest, histories, links, whole=True, bands=bands)
    tables = [TableView(line.key, source.project, line.head, line.shown, line.columns,
                        content.history(histories.get(line.key, []), line.key, line.shown,
                                        links),
                        line.changes)
              for line in summary.lines]
    every = content.alerts_view(source.project, [(t.key, t.columns) for t in tables], links,
                                judged=judged)
    return Document(summary, every, tables, judged)


def narrowed(summary: Overview, keys: set[TableKey]) -> Overview:
    """The overview of some of its tables only."""
    return dataclasses.replace(summary, lines=[line for line in summary.lines
                                               if line.key in keys])


def overview_page(source: ReportSource, page: int = 1, query: str = "",
                  sort: str | None = None, order: str | None = None) -> str:
    """A page of the overview, of the tables whose name holds `query`, sorted by the column
    `sort` in `order` (see `content.paged`). Only the listed tables' changes and histories
    are read: a store may hold ten thousand tables, a page lists a hundred."""
    with source.reader.holding():
        made = _summary(source, html.SERVED)
        if made is None:
            return html.empty_store_page(source.reader.path, source.project)
        summary, measured = made
        view = content.paged(summary, page, query, html.SERVED.overview, sort, order)
        measured(view.listed)
    return html.overview_page(view)


def table_page(source: ReportSource, source_name: str, table_name: str,
               run_id: int | None = None) -> str | None:
    """The page of one table (in one run), or None when the store holds no such run."""
    view = table_view(source, (source_name, table_name), html.SERVED, run_id)
    return None if view is None else html.table_page(view)


def alerts_page(source: ReportSource, severity: str | None = None,
                alert_type: str | None = None) -> str:
    view = alerts(source, html.SERVED, severity, alert_type)
    if view is None:
        return html.empty_store_page(source.reader.path, source.project)
    return html.alerts_page(view)


def report_document(source: ReportSource) -> str | None:
    """The whole report as one file, or None when no run has been recorded."""
    whole = document(source, html.FileLinks)
    return None if whole is None else html.report_file(whole.overview, whole.alerts,
                                                       whole.tables)
