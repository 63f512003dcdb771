"""How the library's findings read: a diff's changes and the anomalies of a run, worded alike
in the terminal, in JSON and in the report. The library hands over figures; the words are here.
"""

from __future__ import annotations

from collections.abc import Callable

from kor.profiling.anomalies import Anomaly, Metric, Status
from kor.profiling.diff import Change
from kor.profiling.freshness import age_text
from kor.profiling.rules import ChangeKind
from kor.text import figure, number


def _figure(name: str) -> Callable[[Change], str]:
    # A figure in full; a min or max of dates, times or text is the warehouse's own value,
    # as stored.
    return lambda c: f"{name} {figure(c.base)} → {figure(c.head)}"


def _points(name: str) -> Callable[[Change], str]:
    return lambda c: (f"{name}{' of non-null' if c.of_non_null else ''} "
                      f"{_share(c.base)} → {_share(c.head)}")


# What each kind of change says, from its values before (`base`) and after (`head`).
_WORDS: dict[ChangeKind, Callable[[Change], str]] = {
    ChangeKind.TABLE_FAILED: lambda c: f"the run failed: {c.head}",
    ChangeKind.TABLE_ADDED: lambda c: "no earlier measured run to compare with",
    ChangeKind.TABLE_MISSING: lambda c: "not profiled in the newer run",
    ChangeKind.COLUMN_ADDED: lambda c: "column added" + (f" ({c.head})" if c.head else ""),
    ChangeKind.COLUMN_REMOVED: lambda c: "column removed",
    ChangeKind.TYPE_CHANGED: lambda c: f"type {c.base} → {c.head}",
    ChangeKind.COLUMN_NOT_MEASURED: lambda c: "not measured in the newer run",
    ChangeKind.ROW_COUNT_DOWN: lambda c: f"rows {c.base:,} → {c.head:,}",
    ChangeKind.ROW_COUNT_UP: lambda c: f"rows {c.base:,} → {c.head:,}",
    ChangeKind.FRESHNESS_LAG_UP:
        lambda c: f"latest value {age_text(c.base)} → {age_text(c.head)} old",
    ChangeKind.NULL_PERCENT_UP: _points("null %"),
    ChangeKind.NULL_PERCENT_DOWN: _points("null %"),
    ChangeKind.UNIQUE_LOST: lambda c: f"no longer unique: distinct {c.head:.1f}%",
    ChangeKind.DISTINCT_PERCENT_DOWN: _points("distinct %"),
    ChangeKind.DISTINCT_PERCENT_UP: _points("distinct %"),
    ChangeKind.DISTINCT_COUNT_CHANGED: lambda c: f"distinct {c.base:,} → {c.head:,}",
    ChangeKind.MIN_CHANGED: _figure("min"),
    ChangeKind.MAX_CHANGED: _figure("max"),
    ChangeKind.MEAN_CHANGED: _figure("mean"),
    ChangeKind.STDDEV_CHANGED: _figure("stddev"),
    ChangeKind.ALERT_NEW: lambda c: f"new alert {c.head}: {c.alert_message}",
    ChangeKind.ALERT_RESOLVED: lambda c: f"alert {c.base} resolved",
    ChangeKind.TOP_VALUES_NEW: lambda c: "top values appeared: " + ", ".join(c.head),
    ChangeKind.TOP_VALUES_GONE: lambda c: "top values gone: " + ", ".join(c.base),
}


def change_message(change: Change) -> str:
    """What one change says, as the diff, `show` and the report list it."""
    if change.kind is ChangeKind.ANOMALY:
        assert change.anomaly is not None
        return anomaly_message(change.anomaly)
    return _WORDS[change.kind](change)


def _share(percent: float) -> str:
    # Small shares keep two significant digits: 0.0033 and 0.0083 are not both "0.0".
    return f"{percent:.2g}" if 0 < abs(percent) < 0.1 else f"{percent:.1f}"


_LABELS = {Metric.ROW_COUNT: "row count", Metric.FRESHNESS_LAG: "freshness lag",
           Metric.NULL_PERCENT: "null %",
           Metric.DISTINCT_PERCENT: "distinct %", Metric.MEAN: "mean", Metric.MIN: "min",
           Metric.MAX: "max", Metric.AVG_LENGTH: "average length",
           Metric.TOP_SHARE: "share of the most frequent value %"}


def anomaly_message(anomaly: Anomaly) -> str:
    """What an anomaly says: the figure, its side of the range and the range."""
    side = "below" if anomaly.value < anomaly.low else "above"
    written, unit = _figures(anomaly.metric, anomaly.high)
    usual = f"{written(anomaly.low)}–{written(anomaly.high)}{unit}"
    kind = "same-weekday or same-hour " if anomaly.seasonal else ""
    what = f"{_LABELS[anomaly.metric]} {written(anomaly.value)}{unit}"
    if anomaly.status is Status.SHIFT:
        return f"{what} stays {side} its former range {usual}: taken as its new level"
    return f"{what} is {side} its usual range {usual} (median of {anomaly.runs} {kind}runs)"


def _figures(metric: Metric, high: float) -> tuple[Callable[[float], str], str]:
    """How a message writes the figures of a metric, and their unit: a lag in hours, or in
    minutes when its usual range stays under an hour, to a tenth."""
    if metric is Metric.ROW_COUNT:
        return lambda value: f"{round(value):,}", ""
    if metric is Metric.FRESHNESS_LAG:
        size, unit = (3600, " h") if abs(high) >= 3600 else (60, " min")
        return lambda value: f"{value / size:,.1f}", unit
    return lambda value: number(round(value, 4) if abs(value) < 1e15 else value), ""
