"""`zel profile show`: the report's overview, tables and alerts as Rich tables.

Stored text never reads as markup and never reaches the terminal as control characters.
"""

from __future__ import annotations

from rich.cells import cell_len
from rich.console import Console, JustifyMethod
from rich.table import Table
from rich.text import Text

from kor.report.changes import SEVERITY_STYLES, changes_grid
from kor.report.content import (
    AlertsView,
    Changes,
    Column,
    Overview,
    TableState,
    TableView,
    Trend,
    status,
)
from kor.report.figures import duration, extremes, freshness, lengths, share, signed, timestamp
from kor.text import MISSING, number, one_line, printable, qualified

LEGEND = ("Every figure is exact and computed in the warehouse over all rows, without "
          "sampling: exact null and distinct counts (distinct values leave NULL out; % of all "
          "rows), the sample standard deviation, interpolated quartiles (p25, p50, p75), "
          f"lengths in characters. {MISSING} = not measured.")
_SPARKS = "▁▂▃▄▅▆▇█"
_STATUS_STYLES = {TableState.FAILED: "bold red", TableState.NOT_STORED: "yellow",
                  TableState.SUCCESS: "green", TableState.UNCHANGED: "green"}


def _text(value: str, style: str = "") -> Text:
    return Text(printable(value), style=style)


def _table_name(key: tuple[str, str]) -> Text:
    return _text(qualified(*key), "bold")


def sparkline(trend: Trend | list[int] | None) -> str:
    """Counts as a line of block characters: a trend's, scaled between its lowest and highest;
    a histogram's (a list), from nothing up to its highest."""
    if trend is None:
        return MISSING
    top = len(_SPARKS) - 1
    if isinstance(trend, list):
        most = max(trend) or 1
        return "".join(" " if c == 0 else _SPARKS[max(1, round(c / most * top))] for c in trend)
    low, high = min(trend.counts), max(trend.counts)
    return "".join(_SPARKS[top // 2 if high == low else round((c - low) / (high - low) * top)]
                   for c in trend.counts)


def _change_summary(changes: Changes) -> Text:
    if not changes.compared:
        return Text(changes.reason, style="dim")
    if not changes.diff.changes:
        return Text("no changes", style="dim")
    delta = changes.row_delta
    summary = Text()
    if delta is None:
        summary.append("rows unchanged", style="dim")
    else:
        summary.append(f"rows {signed(delta)}",
                       style=SEVERITY_STYLES[changes.severity_of([changes.rows])])
    for parts, noun in ((changes.schema, "schema change"), (changes.new_alerts, "new alert")):
        if parts:
            summary.append(f"; {len(parts):,} {noun}{'s' if len(parts) > 1 else ''}",
                           style=SEVERITY_STYLES[changes.severity_of(list(parts))])
    return summary


def _count(severity: str, count: int) -> Text:
    return Text(f"{count:,}", style=SEVERITY_STYLES[severity] if count else "dim")


def print_overview(console: Console, overview: Overview) -> None:
    """Every table's latest run: its status, size, alerts, changes and row-count trend."""
    totals = ", ".join(f"{overview.totals[s]:,} {s}" for s in overview.totals)
    title = _text(f"{overview.project} profile report" if overview.project
                  else "Profile report", "bold")
    title.append(f"  {len(overview.lines):,} tables ({overview.failed:,} failed, "
                 f"{overview.stale:,} stale), {overview.column_count:,} columns; alerts: "
                 f"{totals}. Latest run: run {overview.latest_run}, started "
                 f"{timestamp(overview.latest_started)}.", style="dim")
    table = Table(title=title, title_justify="left")
    overview_columns: list[tuple[str, JustifyMethod]] = [
        ("table", "left"), ("status", "left"), ("rows", "right"), ("columns", "right"),
        ("error", "right"), ("warning", "right"), ("info", "right"),
        ("change since the previous run", "left"), ("rows, last runs", "left"),
        ("latest / age", "left"), ("latest run", "left")]
    for heading, justify in overview_columns:
        table.add_column(heading, justify=justify)
    for line in overview.lines:
        state = Text(line.status, style=_STATUS_STYLES[line.status])
        if line.stale:
            state.append(" stale", style="dim")
        measured = line.head.succeeded
        table.add_row(_text(qualified(*line.key)), state,
                      number(line.head.row_count if measured else None),
                      number(line.head.column_count if measured else None),
                      *(_count(severity, count) for severity, count in line.alert_counts),
                      _change_summary(line.changes), sparkline(line.trend),
                      _text(freshness(line.shown, line.rows)),
                      f"run {line.head.run_id}, {timestamp(line.head.run_started_at)}")
    console.print(table)
    console.print(Text(LEGEND, style="dim"))


def _alerts_cell(column: Column) -> Text:
    if not column.alerts:
        return Text("0", style="dim")
    return Text(str(len(column.alerts)), style=SEVERITY_STYLES.get(column.worst, ""))


COLUMN_HEADINGS = ("column", "type", "nulls", "null %", "distinct", "distinct %", "min", "max",
                   "mean", "stddev", "p25", "p50", "p75", "lengths", "alerts")
# What a narrow terminal leaves out first; the name, the shares, the extremes and the alerts
# stay whatever the width.
LEFT_OUT_FIRST = ("p25", "p75", "stddev", "p50", "lengths", "distinct", "nulls", "type", "mean")
# Each column's padding and border, and the table's last border.
_CELL_FRAME, _TABLE_FRAME = 3, 1


def _cells(column: Column) -> tuple[Text | str, ...]:
    row = column.row
    # The extremes of text are data: printed as text, never read as markup.
    low, high = (_text(value) for value in extremes(row, column.data_type))
    return (_text(column.name), _text(column.data_type or MISSING, "dim"),
            number(row.null_count), share(row, row.null_percent),
            number(row.distinct_count), share(row, row.distinct_percent),
            low, high, number(row.mean_value), number(row.stddev_value), number(row.p25),
            number(row.p50), number(row.p75), lengths(row), _alerts_cell(column))


def _fitting(rows: list[tuple[Text | str, ...]], width: int) -> list[str]:
    """The headings of the columns that fit `width` without folding a cell or a heading,
    leaving out LEFT_OUT_FIRST in its order until they do."""
    natural = {heading: max([cell_len(heading)] + [cell_len(str(row[i])) for row in rows])
               + _CELL_FRAME
               for i, heading in enumerate(COLUMN_HEADINGS)}
    kept = list(COLUMN_HEADINGS)
    for heading in LEFT_OUT_FIRST:
        if sum(natural[h] for h in kept) + _TABLE_FRAME <= width:
            break
        kept.remove(heading)
    return kept


def columns_table(view: TableView, width: int | None = None) -> tuple[Table, list[str]]:
    """One run's columns in table order: their types, counts and figures; with `width`, only
    the figures that fit it. Returns the table and the headings left out."""
    shown = view.shown
    title = _table_name(view.key)
    if shown is not None:
        mode = view.columns[0].row.profile_mode if view.columns else MISSING
        title.append(printable(f"  run {shown.run_id}, profiled {timestamp(shown.profiled_at)}"
                               f", {mode}, {number(shown.row_count)} rows, "
                               f"{len(view.columns):,} columns"), style="dim")
    rows = [_cells(column) for column in view.columns]
    kept = list(COLUMN_HEADINGS) if width is None else _fitting(rows, width)
    table = Table(title=title, title_justify="left")
    for heading in kept:
        # What still does not fit folds onto a second line rather than lose its digits.
        table.add_column(heading, overflow="fold",
                         justify="left" if heading in ("column", "type") else "right")
    at = [COLUMN_HEADINGS.index(heading) for heading in kept]
    for row in rows:
        table.add_row(*(row[i] for i in at))
    return table, [heading for heading in COLUMN_HEADINGS if heading not in kept]


def _alert_line(column: str, severity: str, alert_type: str, message: str) -> Text:
    line = Text("  ")
    line.append(f"{printable(severity):<8}", style=SEVERITY_STYLES.get(severity, ""))
    line.append(printable(f"{column}: {alert_type} {message}"))
    return line


def _top_values(console: Console, view: TableView) -> None:
    for column in view.columns:
        if column.chart is None:
            continue
        console.print(_text(f"  {column.name}", "bold"))
        grid = Table(show_header=False, box=None, padding=(0, 1, 0, 4))
        for _ in range(3):
            grid.add_column()
        for bar in column.chart.bars:
            grid.add_row(_text(bar.label), Text("█" * max(1, bar.length // 10), style="blue"),
                         number(bar.frequency))
        console.print(grid)


def _histograms(console: Console, view: TableView) -> None:
    for column in view.columns:
        shape = column.histogram
        if shape is None:
            continue
        line = _text(f"  {column.name}  ", "bold")
        line.append(sparkline(shape.counts), style="blue")
        line.append(printable(f"  {shape.first} … {shape.last}, "
                              f"{number(sum(shape.counts))} values"), style="dim")
        console.print(line)


def _history(view: TableView) -> Table:
    table = Table(title=Text("History, newest first", style="bold"), title_justify="left",
                  box=None, padding=(0, 2, 0, 0))
    history_columns: list[tuple[str, JustifyMethod]] = [
        ("run", "right"), ("started", "left"), ("status", "left"), ("rows", "right"),
        ("columns", "right"), ("took", "right"), ("error", "left")]
    for heading, justify in history_columns:
        table.add_column(heading, justify=justify)
    for entry in view.history:
        run = entry.run
        table.add_row(f"{'*' if entry.shown else ''}{run.run_id}",
                      timestamp(run.run_started_at),
                      Text(status(run), style=_STATUS_STYLES[status(run)]),
                      number(run.row_count), number(run.column_count),
                      duration(run.duration_ms), Text(one_line(run.error or "")))
    return table


def print_table(console: Console, view: TableView, detail: bool = False,
                wide: bool = False) -> None:
    """A table's columns, alerts and changes; with `detail` its top values and history. The
    figures that do not fit the terminal are left out and named, unless `wide`."""
    if view.notice:
        console.print(_table_name(view.key))
        console.print(Text(one_line(view.notice), style="bold red"))
    if view.shown is not None:
        table, left_out = columns_table(view, None if wide else console.width)
        console.print(table)
        if left_out:
            console.print(Text(f"{', '.join(left_out)} left out at {console.width} columns: "
                               "--wide shows every figure, --format json every stored value.",
                               style="dim"))
        for name, alert in view.alerts:
            console.print(_alert_line(name, alert.severity, alert.type, alert.message))
    changes = view.changes
    heading = Text("Changes", style="bold")
    if changes.compared and changes.diff.base is not None:
        heading.append(f" since run {changes.diff.base.run_id} "
                       f"({timestamp(changes.diff.base.run_started_at)})", style="dim")
    console.print(heading)
    if not changes.compared:
        console.print(Text(f"  {changes.reason}", style="dim"))
    if changes.diff.changes:
        console.print(changes_grid(changes.diff.changes))
    elif changes.compared:
        console.print(Text("  no changes", style="dim"))
    if detail:
        if view.shown is not None and any(column.chart for column in view.columns):
            console.print(Text("Top values", style="bold"))
            _top_values(console, view)
        if view.shown is not None and any(column.histogram for column in view.columns):
            console.print(Text("Histograms", style="bold"))
            _histograms(console, view)
        console.print(_history(view))
    console.print()


def print_alerts(console: Console, view: AlertsView) -> None:
    """Every alert the filters keep, the most severe first."""
    chosen = [f"severity {view.severity}"] if view.severity else []
    chosen += [f"type {view.alert_type}"] if view.alert_type else []
    title = Text("Alerts", style="bold")
    title.append(printable(f"  {len(view.entries):,}"
                           + (f" of {', '.join(chosen)}" if chosen else "")), style="dim")
    table = Table(title=title, title_justify="left")
    for heading in ("severity", "table", "column", "type", "message"):
        table.add_column(heading)
    for entry in view.entries:
        severity = entry.alert.severity
        table.add_row(_text(severity, SEVERITY_STYLES.get(severity, "")),
                      _text(qualified(*entry.key)), _text(entry.column),
                      _text(entry.alert.type), _text(entry.alert.message))
    console.print(table)
