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

# The words of the changes whose wording is fixed.
_FIXED = {ChangeKind.TABLE_MISSING: "not profiled in the newer run",
          ChangeKind.TABLE_ADDED: "no earlier measured run to compare with",
          ChangeKind.COLUMN_REMOVED: "column removed",
          ChangeKind.COLUMN_NOT_MEASURED: "not measured in the newer run"}
# The figure a change of a column's figures names.
_FIGURES = {ChangeKind.MIN_CHANGED: "min", ChangeKind.MAX_CHANGED: "max",
            ChangeKind.MEAN_CHANGED: "mean", ChangeKind.STDDEV_CHANGED: "stddev"}
_SHARES = {ChangeKind.NULL_PERCENT_UP: "null %", ChangeKind.NULL_PERCENT_DOWN: "null %",
           ChangeKind.DISTINCT_PERCENT_UP: "distinct %",
           ChangeKind.DISTINCT_PERCENT_DOWN: "distinct %"}


def change_message(change: Change) -> str:
    """What one change says, as the diff, `show` and the report list it."""
    kind, before, after = change.kind, change.base, change.head
    if kind in _FIXED:
        return _FIXED[kind]
    if kind in _FIGURES:
        # A min or max of dates, times or text is the warehouse's own value, as stored.
        return f"{_FIGURES[kind]} {figure(before)} → {figure(after)}"
    if kind in _SHARES:
        label = _SHARES[kind] + (" of non-null" if change.of_non_null else "")
        return f"{label} {_share(before)} → {_share(after)}"
    if kind in (ChangeKind.ROW_COUNT_DOWN, ChangeKind.ROW_COUNT_UP):
        return f"rows {before:,} → {after:,}"
    if kind is ChangeKind.DISTINCT_COUNT_CHANGED:
        return f"distinct {before:,} → {after:,}"
    if kind is ChangeKind.UNIQUE_LOST:
        return f"no longer unique: distinct {after:.1f}%"
    if kind is ChangeKind.TABLE_FAILED:
        return f"the run failed: {after}"
    if kind is ChangeKind.COLUMN_ADDED:
        return "column added" + (f" ({after})" if after else "")
    if kind is ChangeKind.TYPE_CHANGED:
        return f"type {before} → {after}"
    if kind is ChangeKind.FRESHNESS_LAG_UP:
        return f"latest value {age_text(before)} → {age_text(after)} old"
    if kind is ChangeKind.ALERT_NEW:
        return f"new alert {after}: {change.alert_message}"
    if kind is ChangeKind.ALERT_RESOLVED:
        return f"alert {before} resolved"
    if kind is ChangeKind.TOP_VALUES_NEW:
        return "top values appeared: " + ", ".join(after)
    if kind is ChangeKind.TOP_VALUES_GONE:
        return "top values gone: " + ", ".join(before)
    assert kind is ChangeKind.ANOMALY and change.anomaly is not None
    return anomaly_message(change.anomaly)


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
