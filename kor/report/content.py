"""What the report shows: stored runs and rows arranged for the HTML templates and the terminal.

Text stays text here: escaping is the templates' job, and the terminal's. Numbers stay numbers,
formatted by `kor.report.figures`; only the charts' geometry is worked out here. Addresses come
from a `Links`, so one arrangement serves the served pages, the single file and the terminal.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from datetime import datetime
from functools import cached_property, lru_cache, partial
from typing import Any, NamedTuple, Protocol

from kor.compute.metadata import ColumnProfileResult, decode_list, decode_top_values
from kor.compute.metadata.records import RecordedTableRun, RunPoint, TableKey
from kor.profiling.diff import Change, TableDiff
from kor.profiling.rules import SEVERITY_NAMES, ChangeKind, Severity
from kor.report.wording import change_message
from kor.strenum import StrEnum
from kor.text import figure

# Alert severities, the most severe first.
SEVERITIES = tuple(reversed(SEVERITY_NAMES))
# The runs a table's row-count trend covers.
TREND_RUNS = 12

# The top-values chart, in SVG user units: a row per value, the longest bar for the most
# frequent one. Inside a row the layout is the chart macro's (labels left of x=170, bars after).
_ROW_HEIGHT, _BAR_WIDTH, _LABEL_CHARACTERS = 18, 220, 22

_SCHEMA_CHANGES = (ChangeKind.COLUMN_ADDED, ChangeKind.COLUMN_REMOVED, ChangeKind.TYPE_CHANGED)
_ROW_CHANGES = (ChangeKind.ROW_COUNT_DOWN, ChangeKind.ROW_COUNT_UP)


class Links(Protocol):
    """Where a page's links lead; None where the output has nothing to lead to."""

    def table(self, key: TableKey, run_id: int | None = None) -> str | None: ...

    def alerts(self, severity: str | None = None, alert_type: str | None = None
               ) -> str | None: ...

    def column(self, key: TableKey, name: str) -> str | None: ...


class NoLinks:
    """The terminal's: nothing to follow."""

    def table(self, key: TableKey, run_id: int | None = None) -> str | None:
        return None

    def alerts(self, severity: str | None = None, alert_type: str | None = None
               ) -> str | None:
        return None

    def column(self, key: TableKey, name: str) -> str | None:
        return None


@dataclass
class Alert:
    """A stored alert; a field missing from the stored mapping reads as empty."""

    severity: str
    type: str
    message: str

    @classmethod
    def of(cls, stored: dict[str, Any]) -> Alert:
        return cls(severity=str(stored.get("severity", "")), type=str(stored.get("type", "")),
                   message=str(stored.get("message", "")))


class Bar(NamedTuple):
    """One top value: its row's offset from the chart's top, its bar's length."""

    value: str
    label: str
    frequency: int
    top: int
    length: int


@dataclass
class Chart:
    """A column's top values, a bar each, in the order stored."""

    height: int
    bars: list[Bar]


class Bin(NamedTuple):
    """One bar of a histogram: where it stands, how tall it is, what it counts."""

    label: str
    frequency: int
    left: int
    height: int


@dataclass
class Histogram:
    """A column's distribution as stored: equal-width bins of a number, or periods of a date,
    a bar each from left to right."""

    bins: list[Bin]
    first: str
    last: str
    width: int = 0

    @property
    def counts(self) -> list[int]:
        return [entry.frequency for entry in self.bins]


@dataclass
class Column:
    """One column of a table run: its declared type and its stored profile."""

    name: str
    data_type: str | None
    row: ColumnProfileResult
    alerts: tuple[Alert, ...]
    chart: Chart | None
    histogram: Histogram | None = None

    @property
    def worst(self) -> str:
        return worst({alert.severity for alert in self.alerts} - {"info"})


@dataclass
class Trend:
    """A table's row counts over its last runs, oldest first, drawn as a small line; failed
    runs are marked on the axis."""

    width: int
    height: int
    line: str
    last: tuple[float, float]
    failed: list[float]
    counts: list[int]
    # The usual range the latest row count left (an anomaly), as the top and the bottom of
    # the band drawn behind the line.
    band: tuple[float, float] | None = None
    band_range: tuple[float, float] | None = None


@dataclass
class ChangeLine:
    """A change as a page lists it: in words."""

    kind: ChangeKind
    severity: Severity
    column: str | None
    message: str

    @classmethod
    def of(cls, change: Change) -> ChangeLine:
        return cls(change.kind, change.severity, change.column, change_message(change))


@dataclass
class Changes:
    """A table's diff against its previous measured run, as the overview sums it up."""

    diff: TableDiff

    @cached_property
    def ordered(self) -> list[ChangeLine]:
        return [ChangeLine.of(change)
                for change in sorted(self.diff.changes, key=lambda change: -change.severity)]

    @cached_property
    def rows(self) -> Change | None:
        return next((c for c in self.diff.changes if c.kind in _ROW_CHANGES), None)

    @cached_property
    def row_delta(self) -> int | None:
        if self.rows is None:
            return None
        return int(self.rows.head) - int(self.rows.base)

    @cached_property
    def schema(self) -> list[ChangeLine]:
        return [ChangeLine.of(c) for c in self.diff.changes if c.kind in _SCHEMA_CHANGES]

    @cached_property
    def new_alerts(self) -> list[ChangeLine]:
        return [ChangeLine.of(c) for c in self.diff.changes if c.kind is ChangeKind.ALERT_NEW]

    @cached_property
    def worst(self) -> str:
        return "" if self.diff.worst is None else str(self.diff.worst)

    @staticmethod
    def severity_of(changes: Sequence[Change | ChangeLine | None]) -> str:
        """The most severe of `changes`, by name."""
        return str(max(change.severity for change in changes if change is not None))

    @cached_property
    def compared(self) -> bool:
        """Whether two measured runs were compared (else `reason` says why not)."""
        return (self.diff.note is None and self.diff.base is not None
                and self.diff.head is not None and self.diff.head.succeeded)

    @cached_property
    def reason(self) -> str:
        if self.diff.head is not None and not self.diff.head.succeeded:
            return "not measured: the run failed"
        if self.diff.note is not None:
            return self.diff.note
        return "no earlier measured run to compare with"


@dataclass
class TableLine:
    """One table on the overview: its latest run and the profile it shows (`rows`, by
    column; `columns` arranged from them where a page shows them). Its changes and trend are
    worked out by `measure` when first asked for: a page of the overview lists a few of
    its lines, its sums count them all."""

    key: TableKey
    links: Links
    head: RecordedTableRun
    shown: RecordedTableRun | None
    stale: bool
    rows: dict[str, ColumnProfileResult]
    measure: Callable[[], tuple[Changes, Trend | None]]
    columns: list[Column] = field(default_factory=list)
    # Where set, what the overview's sums need of the shown run's rows, counted in the store
    # (its columns, its rows' alert texts): `rows` is read for the lines a page lists only.
    tally: tuple[int, list[str]] | None = None

    @cached_property
    def href(self) -> str | None:
        # Made for the lines a page lists only: a served link quotes both names.
        return self.links.table(self.key)

    @cached_property
    def _measured(self) -> tuple[Changes, Trend | None]:
        return self.measure()

    @property
    def changes(self) -> Changes:
        return self._measured[0]

    @property
    def trend(self) -> Trend | None:
        return self._measured[1]

    @property
    def status(self) -> TableState:
        return status(self.head)

    @property
    def column_total(self) -> int:
        """The columns of the shown run's stored rows."""
        return len(self.rows) if self.tally is None else self.tally[0]

    @cached_property
    def alert_counts(self) -> list[tuple[str, int]]:
        # A plain loop: the overview's sums count the alerts of every table in the store.
        counts = dict.fromkeys(SEVERITIES, 0)
        texts = [row.alerts for row in self.rows.values()] if self.tally is None else (
            self.tally[1])
        for text in texts:
            for alert in _alerts(text):
                if alert.severity in counts:
                    counts[alert.severity] += 1
        return list(counts.items())

    @property
    def worst(self) -> str:
        if not self.head.succeeded:
            return "error"
        return worst({severity for severity, count in self.alert_counts if count} - {"info"})


class Order(StrEnum):
    ASC = "asc"
    DESC = "desc"


def _alert_count(severity: str, line: TableLine) -> int:
    return dict(line.alert_counts)[severity]


# The served overview's sortable columns, by the name their links carry, and what each sorts
# by: None (a failed run's counts, no freshness) sorts last in either order. The changes and
# the trend are left out: badges and a drawing have no order, and sorting by them would work
# out every table's diff for one page.
SORTS: dict[str, Callable[[TableLine], Any]] = {
    "table": lambda line: line.key,
    "status": lambda line: line.status,
    "rows": lambda line: line.head.row_count if line.head.succeeded else None,
    "columns": lambda line: line.head.column_count if line.head.succeeded else None,
    **{severity: partial(_alert_count, severity) for severity in SEVERITIES},
    "age": lambda line: None if line.shown is None else line.shown.freshness_seconds,
    "run": lambda line: line.head.run_id,
}
DEFAULT_SORT = "table"


def sorted_lines(lines: list[TableLine], sort: str, order: Order) -> list[TableLine]:
    """`lines` (in name order, as the overview lists them) by the column `sort`; ties keep
    name order in both orders (a reversed sort is stable too), missing values go last."""
    keyed = [(SORTS[sort](line), line) for line in lines]
    present = [entry for entry in keyed if entry[0] is not None]
    present.sort(key=lambda entry: entry[0], reverse=order is Order.DESC)
    return [line for _, line in present] + [line for value, line in keyed if value is None]


@dataclass
class Page:
    """The lines a served overview lists: those whose name holds `query`, `size` a page, in
    the order of the column `sort`."""

    number: int
    count: int
    query: str
    lines: list[TableLine]
    # Where the first listed line stands among those the query keeps, and how many it keeps.
    first: int
    matched: int
    previous: str | None
    next: str | None
    sort: str = DEFAULT_SORT
    order: Order = Order.ASC
    # Each sortable column's header link: its first page, sorted by it (the other way round
    # when it is the column sorted by, ascending).
    headers: dict[str, str] = field(default_factory=dict)

    @property
    def sorted_otherwise(self) -> bool:
        """Whether the lines are in another order than the default, by name upwards."""
        return (self.sort, self.order) != (DEFAULT_SORT, Order.ASC)


@dataclass
class Overview:
    """Every recorded table's latest run, and the sums over them; `page`, where set, lists
    some of them."""

    project: str | None
    lines: list[TableLine]
    latest_run: int
    latest_started: datetime
    page: Page | None = None

    @property
    def listed(self) -> list[TableLine]:
        return self.lines if self.page is None else self.page.lines

    @property
    def column_count(self) -> int:
        return sum(line.column_total for line in self.lines)

    @cached_property
    def totals(self) -> dict[str, int]:
        sums = dict.fromkeys(SEVERITIES, 0)
        for line in self.lines:
            for severity, count in line.alert_counts:
                sums[severity] += count
        return sums

    @property
    def failed(self) -> int:
        return sum(1 for line in self.lines if not line.head.succeeded)

    @property
    def stale(self) -> int:
        return sum(1 for line in self.lines if line.stale)


@dataclass
class HistoryEntry:
    run: RunPoint
    href: str | None
    shown: bool


@dataclass
class TableView:
    """One table's page: the profile of one of its runs, its history and its diff."""

    key: TableKey
    project: str | None
    head: RecordedTableRun
    shown: RecordedTableRun | None
    columns: list[Column]
    history: list[HistoryEntry]
    changes: Changes
    # A run asked for by id, rather than the latest.
    pinned: bool = False

    @property
    def notice(self) -> str | None:
        """Why the figures are not the asked-for run's own, when they are not."""
        if self.head.succeeded and self.head.stored:
            return None
        which = f"Run {self.head.run_id}" if self.pinned else (
            f"The latest run (run {self.head.run_id})")
        what = (f"failed: {self.head.error}" if not self.head.succeeded
                else "was measured but its rows were not stored")
        text = f"{which} of this table {what}."
        if self.shown is not None:
            text += f" The figures below are from run {self.shown.run_id}."
        return text

    @property
    def alerts(self) -> list[tuple[str, Alert]]:
        return [(column.name, alert) for column in self.columns for alert in column.alerts]


@dataclass
class AlertEntry:
    key: TableKey
    href: str | None
    column: str
    alert: Alert
    # The column's row on its table's page; None for a table's own figures.
    column_href: str | None = None

    def record(self) -> dict[str, str]:
        """The alert as a flat record, for JSON."""
        return {"source_name": self.key[0], "table_name": self.key[1],
                "column_name": self.column, "severity": self.alert.severity,
                "type": self.alert.type, "message": self.alert.message}


@dataclass
class AlertFilter:
    """A choice of the alerts page: its label, its address and how many alerts it keeps."""

    label: str
    href: str | None
    count: int
    active: bool


@dataclass
class AlertGroup:
    """The alerts of one severity and type, for the file's list of anchors."""

    severity: str
    type: str
    anchor: str
    entries: list[AlertEntry]


@dataclass
class AlertsView:
    """The alerts of every table's latest profile, narrowed by severity and type."""

    project: str | None
    entries: list[AlertEntry]
    severity: str | None
    alert_type: str | None
    severities: list[AlertFilter]
    types: list[AlertFilter]
    # The page without the severity chosen, and without the type chosen.
    all_severities: str | None
    all_types: str | None
    groups: list[AlertGroup] = field(default_factory=list)


def worst(severities: set[str]) -> str:
    # The severity a row is highlighted with; callers leave "info" out, it highlights nothing.
    return next((severity for severity in SEVERITIES if severity in severities), "")


class TableState(StrEnum):
    """What became of a table in a run, as the report and `show` name it."""

    FAILED = "failed"
    NOT_STORED = "not stored"  # measured, its rows refused by the store
    SUCCESS = "success"
    UNCHANGED = "unchanged"    # its earlier profile reused, the data provably the same


def status(run: RecordedTableRun | RunPoint) -> TableState:
    if not run.succeeded:
        return TableState.FAILED
    if not run.stored:
        return TableState.NOT_STORED
    return TableState.SUCCESS if run.reused_from is None else TableState.UNCHANGED


def _label(value: str) -> str:
    if value == "":
        return '""'
    if len(value) <= _LABEL_CHARACTERS:
        return value
    return value[: _LABEL_CHARACTERS - 1] + "…"


def _chart(entries: list[dict[str, Any]]) -> Chart | None:
    if not entries:
        return None
    most = max(entry["count"] for entry in entries) or 1
    bars = []
    for index, entry in enumerate(entries):
        value, count = str(entry["value"]), entry["count"]
        bars.append(Bar(value, _label(value), count, index * _ROW_HEIGHT + 2,
                        max(1, round(_BAR_WIDTH * count / most))))
    return Chart(height=_ROW_HEIGHT * len(bars) + 4, bars=bars)


@lru_cache(maxsize=4096)
def _alerts(text: str | None) -> tuple[Alert, ...]:
    # Columns share their alerts' texts often ("Column has only 2 distinct values"): each
    # text is decoded once.
    return tuple(Alert.of(alert) for alert in decode_list(text))


def alerts(row: ColumnProfileResult) -> tuple[Alert, ...]:
    """A stored row's alerts; shared between rows that store the same text, not to be
    changed."""
    return _alerts(row.alerts)


def columns(run: RecordedTableRun | None, rows: dict[str, ColumnProfileResult],
            charts: bool = True) -> list[Column]:
    """A run's stored columns in table order, with the types the run recorded; rows the run
    does not list (a store written before it kept the order) follow by name."""
    types = dict(run.columns) if run is not None else {}
    order = [name for name in types if name in rows]
    order += sorted(rows.keys() - types.keys())
    return [Column(name, types.get(name), rows[name], alerts(rows[name]),
                   _chart(decode_top_values(rows[name])) if charts else None,
                   histogram(rows[name]) if charts else None)
            for name in order]


# The histogram, in SVG user units: bars this wide, the tallest this high.
HISTOGRAM_BAR = 12
HISTOGRAM_HEIGHT = 48


def histogram(row: ColumnProfileResult) -> Histogram | None:
    """The stored histogram of a column: numbers by "low"/"high", dates by "start"."""
    entries = [entry for entry in decode_list(row.histogram)
               if isinstance(entry.get("count"), int)]
    if not entries:
        return None
    labels = [str(entry["start"])[:10] if "start" in entry
              else f"{figure(entry.get('low'))}–{figure(entry.get('high'))}"
              for entry in entries]
    most = max(entry["count"] for entry in entries) or 1
    bins = [Bin(label, entry["count"], index * (HISTOGRAM_BAR + 2),
                round(HISTOGRAM_HEIGHT * entry["count"] / most))
            for index, (label, entry) in enumerate(zip(labels, entries, strict=True))]
    first = figure(entries[0].get("start", entries[0].get("low")))
    last = figure(entries[-1].get("start", entries[-1].get("high")))
    return Histogram(bins, first, last, len(bins) * (HISTOGRAM_BAR + 2))


def trend(points: list[RunPoint], width: int = 96, height: int = 22,
          band: tuple[float, float] | None = None) -> Trend | None:
    """The line of a table's row counts over `points` (newest first), with the usual range
    `band` of the latest drawn behind it; None under two."""
    points = list(reversed(points[:TREND_RUNS]))
    counted = [(index, p.row_count) for index, p in enumerate(points)
               if p.succeeded and p.row_count is not None]
    if len(counted) < 2:
        return None
    low: float = min(c for _, c in counted)
    high: float = max(c for _, c in counted)
    if band is not None:
        low, high = min(low, band[0]), max(high, band[1])
    step = (width - 6) / max(len(points) - 1, 1)

    def x(index: int) -> float:
        return round(3 + index * step, 1)

    def y(count: float) -> float:
        # A flat line sits in the middle; otherwise the fewest rows at the bottom.
        share = 0.5 if high == low else (count - low) / (high - low)
        return round(height - 4 - share * (height - 8), 1)

    line = " ".join(f"{x(i)},{y(c)}" for i, c in counted)
    last_index, last_count = counted[-1]
    return Trend(width, height, line, (x(last_index), y(last_count)),
                 [x(i) for i, p in enumerate(points) if not p.succeeded],
                 [c for _, c in counted],
                 None if band is None else (y(band[1]), y(band[0])), band)


def history(points: list[RunPoint], key: TableKey, shown: RecordedTableRun | None,
            links: Links) -> list[HistoryEntry]:
    shown_id = shown.run_id if shown is not None else None
    return [HistoryEntry(point, links.table(key, point.run_id), point.run_id == shown_id)
            for point in points]


def alerts_view(project: str | None, tables: list[tuple[TableKey, list[Column]]],
                links: Links, severity: str | None = None, alert_type: str | None = None,
                judged: Sequence[AlertEntry] = ()) -> AlertsView:
    """Every alert of the tables' columns and the `judged` ones (the anomalies of their latest
    runs), the most severe first, then by type and table."""
    every = [AlertEntry(key, links.table(key), column.name, alert, links.column(key, column.name))
             for key, table_columns in tables for column in table_columns
             for alert in column.alerts]
    every += judged
    rank = {name: index for index, name in enumerate(SEVERITIES)}
    every.sort(key=lambda e: (rank.get(e.alert.severity, len(rank)), e.alert.type, e.key))
    by_severity = Counter(e.alert.severity for e in every
                          if alert_type is None or e.alert.type == alert_type)
    by_type = Counter(e.alert.type for e in every
                      if severity is None or e.alert.severity == severity)
    severities = [AlertFilter(name, links.alerts(name, alert_type), by_severity[name],
                              name == severity)
                  for name in (*SEVERITIES, *sorted(by_severity.keys() - set(SEVERITIES)))]
    types = [AlertFilter(name, links.alerts(severity, name), count, name == alert_type)
             for name, count in sorted(by_type.items())]
    entries = [e for e in every if severity in (None, e.alert.severity)
               and alert_type in (None, e.alert.type)]
    groups: list[AlertGroup] = []
    for entry in every:
        if not groups or (groups[-1].severity, groups[-1].type) != (entry.alert.severity,
                                                                    entry.alert.type):
            groups.append(AlertGroup(entry.alert.severity, entry.alert.type,
                                     f"alerts-{len(groups) + 1}", []))
        groups[-1].entries.append(entry)
    return AlertsView(project, entries, severity, alert_type, severities, types,
                      links.alerts(None, alert_type), links.alerts(severity, None), groups)


# The served overview's lines a page.
PAGE_SIZE = 100


def sorting(sort: str | None, order: str | None) -> tuple[str, Order]:
    """The column and order a served overview is asked to sort by; what names neither reads
    as the default."""
    return (sort if sort in SORTS else DEFAULT_SORT,
            Order(order) if order in set(Order) else Order.ASC)


def paged(summary: Overview, number: int, query: str,
          address: Callable[[int, str, str, Order], str], sort: str | None = None,
          order: str | None = None) -> Overview:
    """The overview listing page `number` (from 1; past the last, the last) of the lines whose
    qualified name holds `query`, ignoring case, sorted by the column `sort` in `order`;
    `address` makes a page's link from its number, query, sort and order."""
    by, way = sorting(sort, order)
    wanted = query.casefold()
    kept = [line for line in summary.lines if wanted in ".".join(line.key).casefold()]
    if (by, way) != (DEFAULT_SORT, Order.ASC):  # else they are in that order already
        kept = sorted_lines(kept, by, way)
    count = max(1, -(-len(kept) // PAGE_SIZE))
    number = min(max(number, 1), count)
    start = (number - 1) * PAGE_SIZE
    headers = {column: address(1, query, column, Order.DESC if (column, way) == (by, Order.ASC)
                               else Order.ASC) for column in SORTS}
    page = Page(number, count, query, kept[start:start + PAGE_SIZE], start + 1, len(kept),
                address(number - 1, query, by, way) if number > 1 else None,
                address(number + 1, query, by, way) if number < count else None,
                by, way, headers)
    return replace(summary, page=page)
