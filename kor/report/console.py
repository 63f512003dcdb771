"""`zel profile show`: the latest stored profile of each table as Rich tables."""

from __future__ import annotations

from itertools import groupby

from rich.console import Console
from rich.table import Table
from rich.text import Text

from kor.compute.metadata import ColumnProfileResult, decode_alerts
from kor.report.figures import lengths, number, percent, printable, qualified, timestamp

# The worst severity among a column's alerts colours its count.
SEVERITY_STYLES = {"error": "bold red", "warning": "yellow", "info": "cyan"}


def _alerts_cell(row: ColumnProfileResult) -> Text:
    alerts = decode_alerts(row)
    if not alerts:
        return Text("0", style="dim")
    severities = {str(alert.get("severity")) for alert in alerts}
    style = next((s for k, s in SEVERITY_STYLES.items() if k in severities), "")
    return Text(str(len(alerts)), style=style)


def profile_table(rows: list[ColumnProfileResult]) -> Table:
    """One table's latest profile: one line per column. Stored text never reads as markup and
    never reaches the terminal as control characters."""
    first = rows[0]
    title = Text(printable(qualified(first.source_name, first.table_name)), style="bold")
    title.append(printable(f"  {first.profile_mode}, {number(first.row_count)} rows, "
                           f"profiled {timestamp(first.profiled_at)}"), style="dim")
    table = Table(title=title, title_justify="left")
    table.add_column("column")
    for heading in ("null %", "distinct %", "min", "max", "mean"):
        table.add_column(heading, justify="right")
    table.add_column("lengths", justify="right")
    table.add_column("alerts", justify="right")
    for row in rows:
        table.add_row(Text(printable(row.column_name)), percent(row.null_percent),
                      percent(row.distinct_percent), number(row.min_value),
                      number(row.max_value), number(row.mean_value), lengths(row),
                      _alerts_cell(row))
    return table


def alert_lines(rows: list[ColumnProfileResult]) -> list[Text]:
    lines = []
    for row in rows:
        for alert in decode_alerts(row):
            severity = str(alert.get("severity", ""))
            line = Text("  ")
            line.append(f"{printable(severity):<8}", style=SEVERITY_STYLES.get(severity, ""))
            line.append(printable(f"{row.column_name}: {alert.get('type', '')} "
                                  f"{alert.get('message', '')}"))
            lines.append(line)
    return lines


def print_profiles(console: Console, rows: list[ColumnProfileResult]) -> None:
    """Rows come ordered by source and table, as the store returns them."""
    for _, group in groupby(rows, key=lambda row: (row.source_name, row.table_name)):
        table_rows = list(group)
        console.print(profile_table(table_rows))
        for line in alert_lines(table_rows):
            console.print(line)
        console.print()
