"""The HTML report: plain pages with a little inline CSS and inline SVG, nothing fetched.

Every text that comes from the store goes through `_e` (html.escape) before it reaches markup.
"""

from __future__ import annotations

from collections.abc import Callable
from html import escape
from pathlib import Path
from typing import Any
from urllib.parse import quote

from kor.compute.metadata import (
    ColumnProfileResult,
    ProfiledTable,
    TableRun,
    decode_alerts,
    decode_top_values,
)
from kor.report.figures import MISSING, lengths, number, percent, qualified, timestamp

SEVERITIES = ("error", "warning", "info")

CSS = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em 2em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: .6em 0; }
th, td { padding: .25em .7em; border-bottom: 1px solid #ddd; text-align: right; }
th { background: #f3f3f3; } td.name, th.name { text-align: left; }
tr.error td { background: #fde8e8; } tr.warning td { background: #fff6dd; }
.badge { display: inline-block; padding: 0 .4em; border-radius: 3px; font-size: .85em; }
.badge.error { background: #c62828; color: #fff; } .badge.warning { background: #f9a825; }
.badge.info { background: #bbdefb; } .muted { color: #777; }
figure { display: inline-block; margin: .5em 1.5em .5em 0; vertical-align: top; }
figcaption { font-weight: 600; } svg text { font: 12px system-ui, sans-serif; }
"""


def _e(value: Any) -> str:
    return escape(str(value), quote=True)


def table_url(source_name: str, table_name: str) -> str:
    """The served page of a table; names may hold any character, '/' included."""
    return f"/table/{quote(source_name, safe='')}/{quote(table_name, safe='')}"


def document(title: str, body: str) -> str:
    return (f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{_e(title)}</title><style>{CSS}</style></head>\n<body>\n{body}\n"
            f"</body></html>\n")


def _badge(severity: str, text: str) -> str:
    return f'<span class="badge {_e(severity)}">{_e(text)}</span>'


def _worst(severities: set[str]) -> str:
    return next((severity for severity in SEVERITIES if severity in severities), "")


def overview(tables: list[ProfiledTable], link: Callable[[ProfiledTable], str]) -> str:
    """The latest run of every stored table; `link` gives each table's address."""
    latest = max(table.profiled_at for table in tables)
    totals = {severity: sum(t.alerts_by_severity.get(severity, 0) for t in tables)
              for severity in SEVERITIES}
    summary = ", ".join(f"{totals[s]:,} {s}" for s in SEVERITIES)
    lines = [
        "<h1>Profile report</h1>",
        f"<p>{len(tables):,} tables, {sum(t.column_count for t in tables):,} columns; "
        f"alerts: {_e(summary)}. Latest run: {_e(timestamp(latest))}.</p>",
        "<table class=\"overview\"><thead><tr><th class=\"name\">table</th>"
        "<th class=\"name\">mode</th><th>rows</th><th>columns</th>"
        + "".join(f"<th>{s}</th>" for s in SEVERITIES)
        + "<th>profiled at</th></tr></thead><tbody>",
    ]
    for table in tables:
        counts = "".join(
            f"<td>{_badge(s, str(n)) if (n := table.alerts_by_severity.get(s, 0)) else 0}</td>"
            for s in SEVERITIES)
        lines.append(
            f'<tr class="{_worst(set(table.alerts_by_severity) - {"info"})}">'
            f'<td class="name"><a href="{_e(link(table))}">'
            f"{_e(qualified(table.source_name, table.table_name))}</a></td>"
            f'<td class="name">{_e(table.profile_mode)}</td>'
            f"<td>{number(table.row_count)}</td><td>{table.column_count:,}</td>{counts}"
            f"<td>{_e(timestamp(table.profiled_at))}</td></tr>")
    lines.append("</tbody></table>")
    return "\n".join(lines)


_METRICS: list[tuple[str, Callable[[ColumnProfileResult], str]]] = [
    ("null %", lambda row: percent(row.null_percent)),
    ("distinct %", lambda row: percent(row.distinct_percent)),
    ("min", lambda row: number(row.min_value)),
    ("max", lambda row: number(row.max_value)),
    ("mean", lambda row: number(row.mean_value)),
    ("stddev", lambda row: number(row.stddev_value)),
    ("p25", lambda row: number(row.p25)),
    ("p50", lambda row: number(row.p50)),
    ("p75", lambda row: number(row.p75)),
    ("lengths", lengths),
]


def _columns_table(columns: list[ColumnProfileResult]) -> str:
    lines = ['<table class="columns"><thead><tr><th class="name">column</th>'
             + "".join(f"<th>{_e(heading)}</th>" for heading, _ in _METRICS)
             + '<th class="name">alerts</th></tr></thead><tbody>']
    for row in columns:
        alerts = decode_alerts(row)
        worst = _worst({str(alert.get("severity")) for alert in alerts} - {"info"})
        badges = " ".join(_badge(str(a.get("severity", "")), str(a.get("type", "")))
                          for a in alerts)
        lines.append(f'<tr class="{worst}"><td class="name">{_e(row.column_name)}</td>'
                     + "".join(f"<td>{_e(figure(row))}</td>" for _, figure in _METRICS)
                     + f'<td class="name">{badges}</td></tr>')
    lines.append("</tbody></table>")
    return "\n".join(lines)


def _alerts_list(columns: list[ColumnProfileResult]) -> str:
    items = [f"<li>{_badge(str(alert.get('severity', '')), str(alert.get('severity', '')))} "
             f"<b>{_e(row.column_name)}</b> {_e(alert.get('type', ''))}: "
             f"{_e(alert.get('message', ''))}</li>"
             for row in columns for alert in decode_alerts(row)]
    if not items:
        return '<p class="muted">No alerts.</p>'
    return '<ul class="alerts">\n' + "\n".join(items) + "\n</ul>"


def _label(value: str, width: int = 22) -> str:
    if value == "":
        return '""'
    return value if len(value) <= width else value[: width - 1] + "…"


def top_values_chart(entries: list[dict[str, Any]]) -> str:
    """Horizontal bars, one per value, as inline SVG; the full value is each bar's title."""
    bar_height, label_width, bar_width = 18, 170, 220
    most = max(entry["count"] for entry in entries) or 1
    height = bar_height * len(entries) + 4
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_width + bar_width + 70}" '
             f'height="{height}" role="img">']
    for index, entry in enumerate(entries):
        y = index * bar_height + 2
        value, count = str(entry["value"]), entry["count"]
        length = max(1, round(bar_width * count / most))
        parts.append(
            f"<g><title>{_e(value)}: {count:,}</title>"
            f'<text x="{label_width - 6}" y="{y + 13}" text-anchor="end">{_e(_label(value))}</text>'
            f'<rect x="{label_width}" y="{y + 2}" width="{length}" height="{bar_height - 4}" '
            f'fill="#5c8dd6"/>'
            f'<text x="{label_width + length + 4}" y="{y + 13}">{count:,}</text></g>')
    parts.append("</svg>")
    return "".join(parts)


def _top_values(columns: list[ColumnProfileResult]) -> str:
    figures = [f"<figure><figcaption>{_e(row.column_name)}</figcaption>"
               f"{top_values_chart(entries)}</figure>"
               for row in columns if (entries := decode_top_values(row))]
    return "\n".join(figures) if figures else '<p class="muted">No top values stored.</p>'


def history_table(runs: list[TableRun]) -> str:
    lines = ['<table class="history"><thead><tr><th class="name">profiled at</th>'
             '<th class="name">mode</th><th>rows</th><th>columns</th><th>alerts</th></tr>'
             "</thead><tbody>"]
    lines += [f'<tr><td class="name">{_e(timestamp(run.profiled_at))}</td>'
              f'<td class="name">{_e(run.profile_mode)}</td><td>{number(run.row_count)}</td>'
              f"<td>{run.column_count:,}</td><td>{run.alert_count:,}</td></tr>"
              for run in runs]
    lines.append("</tbody></table>")
    return "\n".join(lines)


def table_section(columns: list[ColumnProfileResult], runs: list[TableRun],
                  back: str) -> str:
    """One table's latest profile, its alerts, its top values and its history."""
    first = columns[0]
    return "\n".join([
        f'<p><a href="{_e(back)}">← all tables</a></p>',
        f"<h1>{_e(qualified(first.source_name, first.table_name))}</h1>",
        f"<p>{number(first.row_count)} rows, {len(columns):,} columns, mode "
        f"{_e(first.profile_mode)}, profiled at {_e(timestamp(first.profiled_at))}. "
        f'<span class="muted">{MISSING} = not measured for this column.</span></p>',
        "<h2>Columns</h2>", _columns_table(columns),
        "<h2>Alerts</h2>", _alerts_list(columns),
        "<h2>Top values</h2>", _top_values(columns),
        "<h2>History</h2>", history_table(runs),
    ])


def message_page(title: str, message: str) -> str:
    return document(title, f"<h1>{_e(title)}</h1>\n<p>{_e(message)}</p>")


def empty_store_page(store_path: Path) -> str:
    return message_page("No profiles yet",
                        f"The metadata store {store_path} holds no profiles yet: "
                        "run `zel profile run` first, then reload this page.")


def not_found_page(what: str) -> str:
    return message_page("Not found", f"No stored profile for {what}.")


def report_file(tables: list[ProfiledTable],
                sections: list[tuple[list[ColumnProfileResult], list[TableRun]]]) -> str:
    """The whole report as one self-contained page: sections and anchors instead of routes.

    `sections` holds the columns and the history of each of `tables`, in the same order.
    """
    anchors = {(t.source_name, t.table_name): f"t{i}" for i, t in enumerate(tables, start=1)}
    body = [f'<section id="overview">'
            f"{overview(tables, lambda t: '#' + anchors[t.source_name, t.table_name])}</section>"]
    for table, (columns, runs) in zip(tables, sections, strict=True):
        body.append(f'<hr><section id="{anchors[table.source_name, table.table_name]}">'
                    f"{table_section(columns, runs, '#overview')}</section>")
    return document("Profile report", "\n".join(body))
