"""The anomaly band by hand, the history it needs, seasonality, flagged runs, settings, and a
table's freshness lag judged run by run from the store."""

from __future__ import annotations

from datetime import datetime, timedelta
from pathlib import Path

import duckdb
import pytest

from kor.compute.metadata import MetadataReader, ProjectMetadataStore
from kor.config.files import ProjectError
from kor.profiling.anomalies import (
    AnomalySettings,
    Metric,
    Observation,
    Seasonality,
    SeriesRule,
    Status,
    band_of,
    judge,
    judge_run,
    judge_series,
)
from kor.report.wording import anomaly_message

MONDAY = datetime(2026, 1, 5, 6)


def _history(values: list[float], statuses: dict[int, Status] | None = None
             ) -> list[Observation]:
    return [Observation(i, MONDAY + timedelta(days=i), v, (statuses or {}).get(i, Status.NORMAL))
            for i, v in enumerate(values)]


@pytest.mark.parametrize(("values", "metric", "rule", "low", "high"), [
    # median 12, MAD 1: 3.5 · 1.4826 · 1 · (1 + 3/5) = 8.30256 beats the floor 0.05 · 12
    ([10, 11, 12, 13, 100], Metric.MEAN, SeriesRule(), 3.69744, 20.30256),
    # a flat series: MAD 0, the floor max(0.5 points, 10 % of 5)
    ([5] * 7, Metric.NULL_PERCENT, SeriesRule(), 4.5, 5.5),
    ([5] * 7, Metric.NULL_PERCENT, SeriesRule(floor=1), 4.0, 6.0),
    # row counts: their change, at least ±2 points
    ([0.0] * 7, Metric.ROW_COUNT, SeriesRule(), -2.0, 2.0),
    # median 20, MAD 15 (even counts: the middle two averaged); k = 2: 2 · 1.4826 · 15 · 1.75
    ([0, 10, 30, 40], Metric.MIN, SeriesRule(sensitivity=2), -57.8365, 97.8365),
])
def test_band_by_hand(values: list[float], metric: Metric, rule: SeriesRule, low: float,
                      high: float) -> None:
    found = band_of(values, metric, rule)
    assert (found.low, found.high, found.runs) == (pytest.approx(low), pytest.approx(high),
                                                    len(values))


WEEK = [10, 10, 10, 10, 10, 40, 40]  # Monday to Sunday


@pytest.mark.parametrize(("history", "value", "at_day", "rule", "status"), [
    # too little history: 6 values of the 7 needed, then 7
    (_history([5] * 6), 50, 6, SeriesRule(), Status.TOO_FEW),
    (_history([5] * 7), 50, 7, SeriesRule(), Status.ANOMALY),
    (_history([5] * 7), 5.2, 7, SeriesRule(), Status.NORMAL),
    # a Saturday of a weekly series: usual among Saturdays, odd among all days
    (_history(WEEK * 5), 40, 40, SeriesRule(seasonality=Seasonality.WEEKDAY), Status.NORMAL),
    (_history(WEEK * 5), 40, 40, SeriesRule(), Status.ANOMALY),
    (_history(WEEK * 5), 10, 40, SeriesRule(seasonality=Seasonality.WEEKDAY), Status.ANOMALY),
    # three Saturdays of the four the seasonal baseline needs
    (_history(WEEK * 3), 40, 26, SeriesRule(seasonality=Seasonality.WEEKDAY), Status.TOO_FEW),
    # the flagged runs (100s) are left out: with them the range would reach 19
    (_history([5, 5, 100, 5, 5, 100, 5, 5, 100, 5, 5, 100],
              {2: Status.ANOMALY, 5: Status.ANOMALY, 8: Status.ANOMALY}), 19, 12, SeriesRule(),
     Status.ANOMALY),
    # ... but not when too few would be left
    (_history([5, 100, 100, 100, 5, 5, 5, 5], {1: Status.ANOMALY, 2: Status.ANOMALY}), 19, 8,
     SeriesRule(), Status.TOO_FEW),
    # the run after an anomaly, staying where it went: a shift, not a second alarm
    (_history([5] * 7 + [50], {7: Status.ANOMALY}), 50.2, 8, SeriesRule(), Status.SHIFT),
    (_history([5] * 7 + [50], {7: Status.ANOMALY}), 90, 8, SeriesRule(), Status.ANOMALY),
    # after a shift the baseline starts again at the flagged run: too few, then the new level
    (_history([5] * 7 + [50, 50], {7: Status.ANOMALY, 8: Status.SHIFT}), 50, 9, SeriesRule(),
     Status.TOO_FEW),
    (_history([5] * 7 + [50] * 7, {7: Status.ANOMALY, 8: Status.SHIFT}), 50, 14,
     SeriesRule(), Status.NORMAL),
])
def test_judged(history: list[Observation], value: float, at_day: int, rule: SeriesRule,
                status: Status) -> None:
    at = MONDAY + timedelta(days=at_day)
    assert judge(history, value, at, Metric.MEAN, rule).status is status


def test_row_counts_by_their_change() -> None:
    # Growing 2 % a run, a drop of a fifth on run 12, back the run after, a step kept at 18.
    counts = [1000 * 1.02 ** i for i in range(20)]
    counts[12] *= 0.8
    counts[18:] = [c * 1.5 for c in counts[18:]]
    times = [MONDAY + timedelta(days=i) for i in range(20)]
    statuses = [v.status for v in judge_series(counts, times, Metric.ROW_COUNT, SeriesRule())]
    assert statuses[:8] == [Status.TOO_FEW] * 8
    assert statuses[8:] == [Status.NORMAL] * 4 + [Status.ANOMALY] + [Status.NORMAL] * 5 + [
        Status.ANOMALY, Status.SHIFT]


@pytest.mark.parametrize(("text", "line", "message"), [
    ("anomalies: [1]\n", 2, "'anomalies' must be a mapping"),
    ("anomalies:\n  window: 0\n", 3, "'anomalies.window' must be a whole number of at least 1"),
    ("anomalies:\n  window: 5\n  min_runs: 9\n", 4, "'anomalies.min_runs' (9) cannot exceed"),
    ("anomalies:\n  sensitivity: .nan\n", 3, "'anomalies.sensitivity' must be a number"),
    ("anomalies:\n  seasonality: monthly\n", 3,
     "'anomalies.seasonality' must be one of none, weekday, hour"),
    ("anomalies:\n  seasonality: {by: hour, min_runs: x}\n", 3,
     "'anomalies.seasonality.min_runs' must be a whole number"),
    ("anomalies:\n  metrics:\n    rows: error\n", 4, "unknown metric 'rows'"),
    ("anomalies:\n  metrics:\n    mean: {severity: loud}\n", 4,
     "'anomalies.metrics.mean.severity' must be one of info, warning, error, ignore"),
    ("anomalies:\n  columns:\n    raw.*:\n      windw: 3\n", 5,
     "'anomalies.columns.raw.*' has unknown key 'windw'"),
    ("anomalies:\n  ignore: {a: 1}\n", 3, "'anomalies.ignore' must be a list of globs"),
    ("anomalies:\n  winow: 3\n", 3, "'anomalies' has unknown key 'winow'"),
])
def test_settings_refused_with_file_and_line(tmp_path: Path, text: str, line: int,
                                             message: str) -> None:
    path = tmp_path / "zel_project.yml"
    path.write_text("name: shop\n" + text)
    with pytest.raises(ProjectError) as refused:
        AnomalySettings.of_project(tmp_path)
    assert str(refused.value).startswith(f"{path}: at line {line}: ")
    assert message in str(refused.value)


def test_settings_by_glob_metric_and_ignore() -> None:
    settings = AnomalySettings.from_settings({
        "window": 10, "sensitivity": 4, "metrics": {"mean": "error", "min": "ignore"},
        "columns": {"raw.orders": {"seasonality": "weekday"},
                    "raw.orders.*": {"metrics": {"mean": {"sensitivity": 6}}}},
        "ignore": ["raw.tmp_*"]})
    mean = settings.rule("raw", "orders", "amount", Metric.MEAN)
    assert mean is not None and (mean.window, mean.sensitivity, str(mean.severity)) == (
        10, 6, "error")
    rows = settings.rule("raw", "orders", None, Metric.ROW_COUNT)
    assert rows is not None and (rows.seasonality, rows.sensitivity) == (
        Seasonality.WEEKDAY, 4)
    assert settings.rule("raw", "orders", "amount", Metric.MIN) is None
    assert settings.rule("raw", "tmp_x", None, Metric.ROW_COUNT) is None


H = 3600.0
# 7 runs at 1.5 h: MAD 0, so the floor, max(600 s, 25 % of 1.5 h) = 1,350 s: 1.125 h-1.875 h.
USUAL = [1.5 * H] * 7


@pytest.mark.parametrize(("lags", "found"), [
    (USUAL + [30 * H], [("anomaly", "freshness lag 30.0 h is above its usual range 1.1–1.9 h "
                                    "(median of 7 runs)")]),
    # the late load is left out of the baseline: back at 1.5 h is normal, 1.8 h too
    (USUAL + [30 * H, 1.5 * H, 1.8 * H], []),
    # still late the run after: a shift, its former range the one before the late load
    (USUAL + [30 * H, 30.2 * H], [("shift", "freshness lag 30.2 h stays above its former "
                                            "range 1.1–1.9 h: taken as its new level")]),
    # the band is symmetric: a load that came early is as unusual as a late one
    (USUAL + [0.5 * H], [("anomaly", "freshness lag 0.5 h is below its usual range 1.1–1.9 h "
                                     "(median of 7 runs)")]),
    # a lag of minutes: the floor of 600 s, in minutes
    ([120.0] * 7 + [1200.0], [("anomaly", "freshness lag 20.0 min is above its usual range "
                                          "-8.0–12.0 min (median of 7 runs)")]),
    # six lags of the seven needed; a run with no dated column is not judged
    ([1.5 * H] * 6 + [30 * H], []),
    (USUAL + [None], []),
])
def test_freshness_lag_judged_on_its_value(tmp_path: Path, lags: list[float | None],
                                           found: list[tuple[str, str]]) -> None:
    store = ProjectMetadataStore(tmp_path)
    store.initialize()
    store.close()
    reader = MetadataReader(store.path)
    for run, lag in enumerate(lags, 1):
        at = MONDAY + timedelta(days=run)
        with duckdb.connect(str(store.path)) as connection:
            connection.execute("INSERT INTO runs (run_id, started_at, status) "
                               "VALUES (?, ?, 'success')", [run, at])
            connection.execute(
                "INSERT INTO table_runs (run_id, source_name, table_name, status, row_count, "
                "column_count, profiled_at, columns, stored, freshness_seconds) "
                "VALUES (?, 'raw', 'orders', 'success', 100, 0, ?, '[]', true, ?)",
                [run, at, lag])
        judged = judge_run(reader, run, AnomalySettings())
        with duckdb.connect(str(store.path)) as connection:
            for anomaly in judged.anomalies:
                connection.execute("INSERT INTO anomalies VALUES (" + ", ".join("?" * 14) + ")",
                                   list(anomaly.row()))
    assert [(a.status.value, anomaly_message(a)) for a in judged.anomalies
            if a.metric is Metric.FRESHNESS_LAG] == found
