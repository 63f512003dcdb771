"""What the report's pages show: the stored rows decoded and arranged for the templates.

Text stays text here: escaping is the templates' job. Numbers stay numbers, formatted by the
templates' filters; only the charts' geometry is worked out here.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime
from typing import Any, NamedTuple

from kor.compute.metadata import (
    ColumnProfileResult,
    ProfiledTable,
    TableRun,
    decode_alerts,
    decode_top_values,
)

SEVERITIES = ("error", "warning", "info")

# The top-values chart, in SVG user units: a row per value, the longest bar for the most
# frequent one. Inside a row the layout is the chart macro's (labels left of x=170, bars after).
_ROW_HEIGHT, _BAR_WIDTH, _LABEL_CHARACTERS = 18, 220, 22


@dataclass
class Alert:
    """A stored alert; a field missing from the stored mapping reads as empty."""

    severity: str
    type: str
    message: str


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


@dataclass
class Column:
    """One column's latest profile with its stored JSON decoded."""

    row: ColumnProfileResult
    alerts: list[Alert]
    chart: Chart | None

    @property
    def worst(self) -> str:
        return _worst({alert.severity for alert in self.alerts} - {"info"})


@dataclass
class Section:
    """One table: its latest profile, column by column, and its stored runs."""

    columns: list[Column]
    runs: list[TableRun]

    @property
    def first(self) -> ColumnProfileResult:
        return self.columns[0].row

    @property
    def alerts(self) -> list[tuple[str, Alert]]:
        return [(column.row.column_name, alert)
                for column in self.columns for alert in column.alerts]


@dataclass
class OverviewLine:
    table: ProfiledTable
    href: str

    @property
    def worst(self) -> str:
        return _worst(set(self.table.alerts_by_severity) - {"info"})

    @property
    def counts(self) -> list[tuple[str, int]]:
        return [(severity, self.table.alerts_by_severity.get(severity, 0))
                for severity in SEVERITIES]


@dataclass
class Overview:
    """Every stored table's latest run, and the sums over them."""

    lines: list[OverviewLine]
    column_count: int
    latest: datetime
    totals: dict[str, int]


def _worst(severities: set[str]) -> str:
    # The severity a row is highlighted with; callers leave "info" out, it highlights nothing.
    return next((severity for severity in SEVERITIES if severity in severities), "")


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


def _column(row: ColumnProfileResult) -> Column:
    alerts = [Alert(severity=str(alert.get("severity", "")), type=str(alert.get("type", "")),
                    message=str(alert.get("message", "")))
              for alert in decode_alerts(row)]
    return Column(row=row, alerts=alerts, chart=_chart(decode_top_values(row)))


def section(columns: list[ColumnProfileResult], runs: list[TableRun]) -> Section:
    return Section(columns=[_column(row) for row in columns], runs=runs)


def overview(tables: list[ProfiledTable], link: Callable[[ProfiledTable], str]) -> Overview:
    return Overview(
        lines=[OverviewLine(table, link(table)) for table in tables],
        column_count=sum(table.column_count for table in tables),
        latest=max(table.profiled_at for table in tables),
        totals={severity: sum(t.alerts_by_severity.get(severity, 0) for t in tables)
                for severity in SEVERITIES})
