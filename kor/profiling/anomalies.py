"""Anomalies: a figure judged against its own past runs, not against a fixed threshold.

Each table's row count and freshness lag and each column's figures are compared with the values
the same figure took in the table's last `window` measured and stored runs (at least
`min_runs` of them, or nothing is judged). The usual range is robust, median ± k · 1.4826 ·
MAD, so one odd run cannot widen it, and it never comes from the run under test or from runs
that were flagged themselves. A floor per metric (FLOORS) keeps a flat series from alarming
on noise. Row counts are judged on their change, in % of the last count that was not flagged,
so a growing table is not an anomaly every day; a freshness lag (the age of the table's
newest timestamp, in seconds) on its value.

A flagged value that the next run confirms (it stays on the same side, as near to the flagged
value as the range is wide) is a shift, not a second alarm: the baseline starts again at the
flagged run, and the series is judged again once it holds `min_runs` values of its new level.

    anomalies:
      window: 14
      min_runs: 7
      sensitivity: 3.5              # k
      seasonality: weekday          # or hour, none, or {by: weekday, min_runs: 4}
      metrics:
        row_count: error            # a severity, or ignore
        freshness_lag: {floor: 1800}  # seconds
        null_percent: {severity: warning, sensitivity: 5, floor: 1}
      columns:                      # globs: "source.table" and "source.table.column"
        raw.events: {seasonality: hour}
        raw.orders.comment: {metrics: {avg_length: ignore}}
      ignore: [raw.staging_*]
"""

from __future__ import annotations

import fnmatch
import math
import statistics
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from enum import Enum
from pathlib import Path
from typing import Any

from kor.compute.metadata import MetadataReader
from kor.compute.metadata.records import RecordedTableRun, TableKey
from kor.config.runtime import project_settings, setting_refused
from kor.profiling.rules import IGNORE, SEVERITY_NAMES, RuleError, Severity

# The scale that makes a MAD estimate the standard deviation of normally distributed values.
MAD_SCALE = 1.4826
DEFAULT_WINDOW, DEFAULT_MIN_RUNS, DEFAULT_SENSITIVITY = 14, 7, 3.5
DEFAULT_SEASONAL_MIN_RUNS = 4
SMALL_SAMPLE = 3.0
ANOMALY = "ANOMALY"


class Metric(str, Enum):
    """What is judged; the value is the name used in settings, the store and JSON."""

    ROW_COUNT = "row_count"
    FRESHNESS_LAG = "freshness_lag"
    NULL_PERCENT = "null_percent"
    DISTINCT_PERCENT = "distinct_percent"
    MEAN = "mean"
    MIN = "min"
    MAX = "max"
    AVG_LENGTH = "avg_length"
    TOP_SHARE = "top_share"


TABLE_METRICS = (Metric.ROW_COUNT, Metric.FRESHNESS_LAG)
COLUMN_METRICS = tuple(metric for metric in Metric if metric not in TABLE_METRICS)

# The least half-width of a range: (points of the metric's own unit, share of |median|).
# Row counts are judged in % change, so 2 points is "2 % more or fewer rows than usual".
# A freshness lag is in seconds: a load a quarter late, or 10 minutes, is how loads wander.
FLOORS: dict[Metric, tuple[float, float]] = {
    Metric.ROW_COUNT: (2.0, 0.0),
    Metric.FRESHNESS_LAG: (600.0, 0.25),
    Metric.NULL_PERCENT: (0.5, 0.1),
    Metric.DISTINCT_PERCENT: (1.0, 0.05),
    Metric.MEAN: (1e-9, 0.05),
    Metric.MIN: (1e-9, 0.05),
    Metric.MAX: (1e-9, 0.05),
    Metric.AVG_LENGTH: (0.5, 0.05),
    Metric.TOP_SHARE: (1.0, 0.05),
}


class Seasonality(str, Enum):
    NONE = "none"
    WEEKDAY = "weekday"
    HOUR = "hour"

    def slot(self, moment: datetime) -> int:
        if self is Seasonality.WEEKDAY:
            return moment.weekday()
        if self is Seasonality.HOUR:
            return moment.hour
        return 0


class Status(str, Enum):
    """What a judgement found; only ANOMALY and SHIFT are stored."""

    NORMAL = "normal"
    ANOMALY = "anomaly"
    SHIFT = "shift"          # a flagged value confirmed by the next run: the new normal
    TOO_FEW = "not enough history"


@dataclass(frozen=True)
class SeriesRule:
    """How one series (a metric of a table or column) is judged; severity None: ignored."""

    window: int = DEFAULT_WINDOW
    min_runs: int = DEFAULT_MIN_RUNS
    sensitivity: float = DEFAULT_SENSITIVITY
    seasonality: Seasonality = Seasonality.NONE
    seasonal_min_runs: int = DEFAULT_SEASONAL_MIN_RUNS
    severity: Severity | None = Severity.WARNING
    floor: float | None = None      # points; None: the metric's own (FLOORS)


@dataclass(frozen=True)
class Band:
    """The usual range of a series and what it came from."""

    median: float
    mad: float
    runs: int
    low: float
    high: float

    @property
    def half_width(self) -> float:
        return (self.high - self.low) / 2


def band(median: float, mad: float, runs: int, metric: Metric, rule: SeriesRule) -> Band:
    """median ± max(k · 1.4826 · MAD · (1 + 3 / runs), floor), the floor
    max(points, share · |median|)."""
    points, share = FLOORS[metric]
    if rule.floor is not None:
        points = rule.floor
    # A median and MAD of few runs are uncertain: 14 normal values at k = 3.5 would flag
    # 1.8 % of clean runs; widened by 1 + 3 / n, under 1 % (bench/anomalies.py).
    spread = rule.sensitivity * MAD_SCALE * mad * (1 + SMALL_SAMPLE / runs)
    half = max(spread, points, share * abs(median))
    return Band(median, mad, runs, median - half, median + half)


def band_of(values: Sequence[float], metric: Metric, rule: SeriesRule) -> Band:
    middle = statistics.median(values)
    return band(middle, statistics.median([abs(v - middle) for v in values]), len(values),
                metric, rule)


@dataclass
class Observation:
    """One earlier value of a series, oldest first, and what its own judgement found."""

    run_id: int
    at: datetime
    value: float
    status: Status = Status.NORMAL


@dataclass
class Verdict:
    status: Status
    value: float
    band: Band | None = None
    seasonal: bool = False
    # Runs of the series' baseline, when there were too few.
    runs: int = 0


def lookback(rule: SeriesRule) -> int:
    """How many earlier runs a baseline draws from: room for flagged runs to be left out,
    and with a seasonality for `window` runs of the same weekday or hour of daily or hourly
    runs."""
    return rule.window * {Seasonality.NONE: 2, Seasonality.WEEKDAY: 8,
                          Seasonality.HOUR: 25}[rule.seasonality]


def baseline(history: Sequence[Observation], at: datetime, rule: SeriesRule,
             restart: bool = True) -> tuple[list[float], bool] | None:
    """The values the run at `at` is compared with, and whether they are seasonal; None when
    there are too few. With `restart` a shift starts the baseline again (a row count's kept
    step does not: the changes after a step are as they were)."""
    history = history[-lookback(rule):]
    start = 0
    for index in range(len(history) - 1, 0, -1):
        if restart and history[index].status is Status.SHIFT:
            start = index - 1
            break
    # The flagged run a shift starts from is the first of the new level, not an outlier.
    kept = [o for index, o in enumerate(history[start:], start)
            if o.status is not Status.ANOMALY or (index == start and start > 0)]
    if rule.seasonality is not Seasonality.NONE:
        slot = rule.seasonality.slot(at)
        same = [o.value for o in kept if rule.seasonality.slot(o.at) == slot][-rule.window:]
        return (same, True) if len(same) >= rule.seasonal_min_runs else None
    values = [o.value for o in kept][-rule.window:]
    return (values, False) if len(values) >= rule.min_runs else None


def decide(value: float, found: Band, previous: Observation | None) -> Status:
    """Normal inside the range; outside it, a shift when the previous run was flagged on the
    same side and this value stays near it, else an anomaly."""
    if found.low <= value <= found.high:
        return Status.NORMAL
    if previous is not None and previous.status is Status.ANOMALY and (
            (value < found.low) == (previous.value < found.low)
            and abs(value - previous.value) <= found.half_width):
        return Status.SHIFT
    return Status.ANOMALY


def judge(history: Sequence[Observation], value: float, at: datetime, metric: Metric,
          rule: SeriesRule) -> Verdict:
    """One value against its series' earlier values (oldest first)."""
    chosen = baseline(history, at, rule, restart=metric is not Metric.ROW_COUNT)
    if chosen is None:
        return Verdict(Status.TOO_FEW, value, runs=len(history))
    values, seasonal = chosen
    found = band_of(values, metric, rule)
    return Verdict(decide(value, found, history[-1] if history else None), value, found,
                   seasonal)


def judge_series(values: Sequence[float], times: Sequence[datetime], metric: Metric,
                 rule: SeriesRule) -> list[Verdict]:
    """Every value of a series judged in turn as runs would judge it, each against the ones
    before (row counts by their change, see `row_observations`)."""
    history: list[Observation] = []
    verdicts = []
    points: list[tuple[int, datetime, float, Status]] = []
    for index, (raw, at) in enumerate(zip(values, times, strict=True)):
        if metric is Metric.ROW_COUNT:
            verdict, _ = judge_count(points, raw, at, rule)
            points.append((index, at, raw, verdict.status))
        else:
            verdict = judge(history, raw, at, metric, rule)
            history.append(Observation(index, at, raw, verdict.status))
        verdicts.append(verdict)
    return verdicts


def change(before: float, after: float, runs: int = 1) -> float:
    """The change per run, in % (compounded over `runs` runs); from no rows, any rows are a
    change of 100 %."""
    if before == 0 or after < 0:
        return 0.0 if after == before else 100.0
    return float((after / before) ** (1 / runs) - 1) * 100


def grown(before: float, rate: float, runs: int) -> float:
    """`before` after `runs` runs of `rate` % each: the inverse of `change`."""
    return before * (1 + rate / 100) ** runs


# -- settings -----------------------------------------------------------------------------

@dataclass
class AnomalySettings:
    """The project's `anomalies:` settings: defaults, then per-metric, then glob overrides."""

    base: dict[str, Any] = field(default_factory=dict)
    patterns: list[tuple[str, dict[str, Any]]] = field(default_factory=list)
    ignore: list[str] = field(default_factory=list)

    @classmethod
    def of_project(cls, project_dir: Path | str) -> AnomalySettings:
        """The settings of the project's `anomalies:`; raises ProjectError, with the file and
        the line, for one that is not valid."""
        project = Path(project_dir)
        try:
            return cls.from_settings(project_settings(project).get("anomalies"))
        except RuleError as exc:
            raise setting_refused(project, ("anomalies", *exc.keys), str(exc)) from None

    @classmethod
    def from_settings(cls, settings: Any) -> AnomalySettings:
        """The settings of a project file's `anomalies:` mapping (None: the defaults);
        raises RuleError, its keys under `anomalies:`."""
        if settings is None:
            return cls()
        if not isinstance(settings, Mapping):
            raise RuleError("'anomalies' must be a mapping")
        known = {*_SCALARS, "metrics", "columns", "ignore"}
        for key in settings:
            if key not in known:
                raise RuleError(f"'anomalies' has unknown key {str(key)!r}", (str(key),))
        base = _checked_overrides({k: v for k, v in settings.items()
                                   if k not in ("columns", "ignore")}, ())
        columns = settings.get("columns") or {}
        if not isinstance(columns, Mapping):
            raise RuleError("'anomalies.columns' must map globs to settings", ("columns",))
        patterns = []
        for pattern, overrides in columns.items():
            keys = ("columns", str(pattern))
            if not isinstance(overrides, Mapping):
                raise RuleError(f"'{_where(keys)}' must be a mapping of settings", keys)
            for key in overrides:
                if key not in {*_SCALARS, "metrics"}:
                    raise RuleError(f"'{_where(keys)}' has unknown key {str(key)!r}",
                                    (*keys, str(key)))
            patterns.append((str(pattern), _checked_overrides(overrides, keys)))
        ignore = settings.get("ignore") or []
        if isinstance(ignore, str):
            ignore = [ignore]
        if not isinstance(ignore, list) or not all(isinstance(g, str) for g in ignore):
            raise RuleError("'anomalies.ignore' must be a list of globs", ("ignore",))
        return cls(base, patterns, list(ignore))

    def rule(self, source: str, table: str, column: str | None, metric: Metric
             ) -> SeriesRule | None:
        """How the series is judged; None when it is not."""
        name = f"{source}.{table}" + ("" if column is None else f".{column}")
        if any(fnmatch.fnmatchcase(name, glob) for glob in self.ignore):
            return None
        merged = dict(self.base)
        metrics = dict(merged.pop("metrics", {}))
        for pattern, overrides in self.patterns:
            if fnmatch.fnmatchcase(name, pattern):
                overrides = dict(overrides)
                for key, value in overrides.pop("metrics", {}).items():
                    metrics[key] = {**metrics.get(key, {}), **value}
                merged.update(overrides)
        merged.update(metrics.get(metric.value, {}))
        found = SeriesRule(**merged)
        return None if found.severity is None else found


# Settings that take one value, with how each is checked.
_SCALARS = ("window", "min_runs", "sensitivity", "seasonality")
_PER_METRIC = ("severity", "sensitivity", "floor")


def _where(keys: tuple[str, ...]) -> str:
    return ".".join(("anomalies", *keys))


def _whole(value: Any, keys: tuple[str, ...], least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise RuleError(f"'{_where(keys)}' must be a whole number of at least {least}", keys)
    return value


def _positive(value: Any, keys: tuple[str, ...], zero: bool = False) -> float:
    if (isinstance(value, bool) or not isinstance(value, (int, float)) or math.isnan(value)
            or math.isinf(value) or value < 0 or (value == 0 and not zero)):
        what = "a number of 0 or more" if zero else "a number above 0"
        raise RuleError(f"'{_where(keys)}' must be {what}", keys)
    return float(value)


def _checked_overrides(settings: Mapping[Any, Any], keys: tuple[str, ...]) -> dict[str, Any]:
    checked: dict[str, Any] = {}
    for key, value in settings.items():
        at = (*keys, str(key))
        if key == "window":
            checked["window"] = _whole(value, at, 1)
        elif key == "min_runs":
            checked["min_runs"] = _whole(value, at, 1)
        elif key == "sensitivity":
            checked["sensitivity"] = _positive(value, at)
        elif key == "seasonality":
            checked.update(_seasonality(value, at))
        elif key == "metrics":
            checked["metrics"] = _metrics(value, at)
    window, least = checked.get("window"), checked.get("min_runs")
    if window is not None and least is not None and least > window:
        raise RuleError(f"'{_where((*keys, 'min_runs'))}' ({least}) cannot exceed "
                        f"'{_where((*keys, 'window'))}' ({window})", (*keys, "min_runs"))
    return checked


def _seasonality(value: Any, keys: tuple[str, ...]) -> dict[str, Any]:
    names = [kind.value for kind in Seasonality]
    least = DEFAULT_SEASONAL_MIN_RUNS
    if isinstance(value, Mapping):
        unknown = sorted(set(map(str, value)) - {"by", "min_runs"})
        if unknown:
            raise RuleError(f"'{_where(keys)}' has unknown key {unknown[0]!r}",
                            (*keys, unknown[0]))
        if "min_runs" in value:
            least = _whole(value["min_runs"], (*keys, "min_runs"), 1)
        value = value.get("by")
        keys = (*keys, "by")
    if value not in names:
        raise RuleError(f"'{_where(keys)}' must be one of {', '.join(names)}", keys)
    return {"seasonality": Seasonality(value), "seasonal_min_runs": least}


def _metrics(value: Any, keys: tuple[str, ...]) -> dict[str, dict[str, Any]]:
    if not isinstance(value, Mapping):
        raise RuleError(f"'{_where(keys)}' must map metrics to severities or settings", keys)
    checked: dict[str, dict[str, Any]] = {}
    names = [metric.value for metric in Metric]
    for name, setting in value.items():
        at = (*keys, str(name))
        if name not in names:
            raise RuleError(f"'{_where(keys)}': unknown metric {str(name)!r} (one of "
                            f"{', '.join(names)})", at)
        if isinstance(setting, str):
            setting = {"severity": setting}
        if not isinstance(setting, Mapping):
            raise RuleError(f"'{_where(at)}' must be a severity, 'ignore', or a mapping of "
                            f"{', '.join(_PER_METRIC)}", at)
        entry: dict[str, Any] = {}
        for key, item in setting.items():
            where = (*at, str(key))
            if key == "severity":
                if item not in (*SEVERITY_NAMES, IGNORE):
                    raise RuleError(f"'{_where(where)}' must be one of "
                                    f"{', '.join((*SEVERITY_NAMES, IGNORE))}", where)
                entry["severity"] = None if item == IGNORE else Severity.named(item)
            elif key == "sensitivity":
                entry["sensitivity"] = _positive(item, where)
            elif key == "floor":
                entry["floor"] = _positive(item, where, zero=True)
            else:
                raise RuleError(f"'{_where(at)}' has unknown key {str(key)!r}", where)
        checked[str(name)] = entry
    return checked


# -- what is reported ---------------------------------------------------------------------

@dataclass
class Anomaly:
    """A judged series whose value left its usual range (or, as a SHIFT, stayed where the
    previous anomaly took it). For row counts `value`, `low`, `high` and `median` are rows."""

    run_id: int
    source_name: str
    table_name: str
    column_name: str | None
    metric: Metric
    status: Status
    value: float
    low: float
    high: float
    median: float
    runs: int
    seasonal: bool
    severity: Severity
    baseline_from: int | None = None

    @property
    def where(self) -> str:
        name = f"{self.source_name}.{self.table_name}"
        return name if self.column_name is None else f"{name}.{self.column_name}"

    @classmethod
    def of_row(cls, row: Sequence[Any]) -> Anomaly:
        """An anomaly as the store holds it (ANOMALY_FIELDS in order)."""
        (run_id, source, table, column, metric, status, value, low, high, median, runs,
         seasonal, severity, baseline_from) = row
        return cls(run_id, source, table, column, Metric(metric), Status(status), value, low,
                   high, median, runs, seasonal, Severity.named(severity), baseline_from)

    def row(self) -> tuple[Any, ...]:
        return (self.run_id, self.source_name, self.table_name, self.column_name,
                self.metric.value, self.status.value, self.value, self.low, self.high,
                self.median, self.runs, self.seasonal, str(self.severity), self.baseline_from)


def anomaly(run_id: int, source: str, table: str, column: str | None, metric: Metric,
            verdict: Verdict, rule: SeriesRule, baseline_from: int | None = None,
            reference: tuple[float, int] | None = None) -> Anomaly:
    """The anomaly a verdict outside its range makes; row-count bands turned into rows from
    the `reference` count their change is measured from and the runs since it."""
    assert verdict.band is not None and rule.severity is not None
    found, value = verdict.band, verdict.value
    low, high, median = found.low, found.high, found.median
    if reference is not None:
        value, low, high, median = (grown(reference[0], x, reference[1])
                                    for x in (value, low, high, median))
    return Anomaly(run_id, source, table, column, metric, verdict.status, value, low, high,
                   median, found.runs, verdict.seasonal, rule.severity, baseline_from)




# -- judging a run in the store -------------------------------------------------------------

@dataclass
class Judgement:
    """What judging a run found: its anomalies and shifts, and the tables it could not judge
    for want of history, as (table, the values its baseline has, the values it needs): a
    row count's values are its changes, one fewer than its earlier runs."""

    anomalies: list[Anomaly] = field(default_factory=list)
    too_few: list[tuple[TableKey, int, int]] = field(default_factory=list)

    @property
    def alerts(self) -> list[Anomaly]:
        return [a for a in self.anomalies if a.status is Status.ANOMALY]

    @property
    def shifts(self) -> list[Anomaly]:
        return [a for a in self.anomalies if a.status is Status.SHIFT]


class _Rules:
    """Each name's rules per metric, worked out once per combination of matching globs:
    a store has thousands of columns and a project a handful of globs."""

    def __init__(self, settings: AnomalySettings) -> None:
        self.settings = settings
        self._known: dict[tuple[Any, ...], dict[Metric, SeriesRule | None]] = {}

    def of(self, source: str, table: str, column: str | None
           ) -> dict[Metric, SeriesRule | None]:
        name = f"{source}.{table}" + ("" if column is None else f".{column}")
        signature = (column is None,
                     any(fnmatch.fnmatchcase(name, glob) for glob in self.settings.ignore),
                     *(fnmatch.fnmatchcase(name, p) for p, _ in self.settings.patterns))
        if signature not in self._known:
            metrics = TABLE_METRICS if column is None else COLUMN_METRICS
            self._known[signature] = {m: self.settings.rule(source, table, column, m)
                                      for m in metrics}
        return self._known[signature]


def judge_run(reader: MetadataReader, run_id: int, settings: AnomalySettings) -> Judgement:
    """Judges the tables run `run_id` measured and stored against their earlier runs."""
    rules = _Rules(settings)
    with reader.holding():
        heads = {(t.source_name, t.table_name): t for t in reader.latest_table_runs(run_id)
                 if t.succeeded and t.stored}
        if not heads:
            return Judgement()
        table_rules = {key: rules.of(*key, None) for key in heads}
        column_rules = {(*key, name): rules.of(*key, name)
                        for key, head in heads.items() for name, _ in head.columns}
        reach = {key: max((lookback(r) for r in by_metric.values() if r), default=0)
                 for key, by_metric in table_rules.items()}
        # Window and seasonality are a column's, whatever the metric.
        series = {}
        for (source, table, column), by_metric in column_rules.items():
            rule = next((r for r in by_metric.values() if r), None)
            if rule is not None:
                series[(source, table, column)] = (rule.window, rule.seasonality.value)
                reach[(source, table)] = max(reach[(source, table)], lookback(rule))
        statuses = {(row[0], row[1], row[2], row[4]): Status(row[5])
                    for row in reader.anomaly_rows() if row[3] is None}
        histories = reader.run_history(limit=max(reach.values()) + 2)
        rows = reader.column_baselines(
            [(*key, head.run_id, head.profiled_at, reach[key]) for key, head in heads.items()],
            [(*key, *rule) for key, rule in series.items()], _narrowest(column_rules.values()))
    judgement = Judgement()
    for key, head in heads.items():
        measured = [p for p in reversed(histories.get(key, [])) if p.succeeded and p.stored
                    and p.run_id <= head.run_id]
        rule = table_rules[key][Metric.ROW_COUNT]
        if rule is not None:
            _judge_rows(judgement, head, rule, [
                (p.run_id, p.profiled_at, float(p.row_count),
                 statuses.get((p.run_id, *key, Metric.ROW_COUNT.value), Status.NORMAL))
                for p in measured if p.row_count is not None])
        rule = table_rules[key][Metric.FRESHNESS_LAG]
        if rule is not None:
            _judge_lag(judgement, head, rule, [
                Observation(p.run_id, p.profiled_at, p.freshness_seconds,
                            statuses.get((p.run_id, *key, Metric.FRESHNESS_LAG.value),
                                         Status.NORMAL))
                for p in measured if p.freshness_seconds is not None
                and (p.run_id, p.profiled_at) < (head.run_id, head.profiled_at)])
    for (source, table, column, name, value, middle, mad, runs, previous, flagged,
         previous_run) in rows:
        metric = Metric(name)
        rule = column_rules[(source, table, column)][metric]
        if rule is None or middle is None or runs < _needed(rule):
            continue
        found = band(middle, mad, runs, metric, rule)
        before = None if previous is None else Observation(
            previous_run, heads[(source, table)].profiled_at, previous,
            Status.ANOMALY if flagged else Status.NORMAL)
        status = decide(value, found, before)
        if status is not Status.NORMAL:
            verdict = Verdict(status, value, found, rule.seasonality is not Seasonality.NONE)
            judgement.anomalies.append(anomaly(run_id, source, table, column, metric,
                                               verdict, rule, previous_run))
    order = list(Metric)
    judgement.anomalies.sort(key=lambda a: (a.source_name, a.table_name, a.column_name or "",
                                            order.index(a.metric)))
    return judgement


def _narrowest(rules: Iterable[dict[Metric, SeriesRule | None]]
               ) -> list[tuple[str, float, float, float, float]]:
    """Per metric the narrowest band any of `rules` draws (see `band` and
    MetadataReader.column_baselines): a value inside it is inside its own series' band."""
    least: dict[Metric, tuple[float, float]] = {}
    # The rules of a store's columns are a few objects shared by thousands.
    for by_metric in {id(r): r for r in rules}.values():
        for metric, rule in by_metric.items():
            if rule is not None:
                points = FLOORS[metric][0] if rule.floor is None else rule.floor
                k, p = least.get(metric, (math.inf, math.inf))
                least[metric] = (min(k, rule.sensitivity), min(p, points))
    return [(metric.value, k * MAD_SCALE, SMALL_SAMPLE, p, FLOORS[metric][1])
            for metric, (k, p) in least.items()]


def _needed(rule: SeriesRule) -> int:
    """How many values a baseline needs before anything is judged."""
    return rule.min_runs if rule.seasonality is Seasonality.NONE else rule.seasonal_min_runs


def _judge_rows(judgement: Judgement, head: RecordedTableRun, rule: SeriesRule,
                points: list[tuple[int, datetime, float, Status]]) -> None:
    """A table's row count judged by its change; `points` its measured runs, oldest first,
    up to `head`."""
    key = (head.source_name, head.table_name)
    if not points or points[-1][0] != head.run_id:
        return
    verdict, reference = judge_count(points[:-1], points[-1][2], head.profiled_at, rule)
    if verdict.status is Status.TOO_FEW:
        judgement.too_few.append((key, verdict.runs, _needed(rule)))
    elif verdict.status is not Status.NORMAL:
        judgement.anomalies.append(anomaly(head.run_id, *key, None, Metric.ROW_COUNT, verdict,
                                           rule, points[-2][0], reference))


def _judge_lag(judgement: Judgement, head: RecordedTableRun, rule: SeriesRule,
               history: list[Observation]) -> None:
    """A table's freshness lag judged on its value against its earlier measured runs
    (oldest first); a table with no dated column, or too few lags yet, is passed over
    quietly: the row count already says when a table is too new."""
    if head.freshness_seconds is None:
        return
    verdict = judge(history, head.freshness_seconds, head.profiled_at, Metric.FRESHNESS_LAG,
                    rule)
    if verdict.status in (Status.ANOMALY, Status.SHIFT):
        judgement.anomalies.append(anomaly(head.run_id, head.source_name, head.table_name,
                                           None, Metric.FRESHNESS_LAG, verdict, rule,
                                           history[-1].run_id))


def judge_count(points: Sequence[tuple[int, datetime, float, Status]], count: float,
                at: datetime, rule: SeriesRule) -> tuple[Verdict, tuple[float, int]]:
    """A row count judged by its change (see `row_observations`) after the table's earlier
    `points`, oldest first, with the count and runs the change is measured from. A change out
    of range right after a flagged count is a step the table kept (a SHIFT) when the change
    from that flagged count is in range: the table stays where the step took it."""
    history, reference, gap = row_observations(points)
    if reference is None:
        return Verdict(Status.TOO_FEW, count), (count, 0)
    verdict = judge(history, change(reference, count, gap), at, Metric.ROW_COUNT, rule)
    if (verdict.status is Status.ANOMALY and verdict.band is not None
            and points[-1][3] is Status.ANOMALY):
        kept = change(points[-1][2], count)
        if verdict.band.low <= kept <= verdict.band.high:
            return Verdict(Status.SHIFT, kept, verdict.band, verdict.seasonal), (points[-1][2], 1)
    return verdict, (reference, gap)


def row_observations(points: Sequence[tuple[int, datetime, float, Status]]
                     ) -> tuple[list[Observation], float | None, int]:
    """A table's earlier row counts (oldest first, each with its status) as their changes per
    run from the last count not flagged, that count, and how many runs the next one is from
    it. Measured from a flagged count, the run after a drop would be a jump; measured over
    the runs since the last good count, it is that count's usual growth."""
    history: list[Observation] = []
    reference: float | None = None
    gap, flagged = 1, 0.0
    for run, at, count, status in points:
        if reference is not None:
            # A kept step is measured from the flagged count it kept.
            start, runs = (flagged, 1) if status is Status.SHIFT else (reference, gap)
            history.append(Observation(run, at, change(start, count, runs), status))
        if reference is None or status is not Status.ANOMALY:
            reference, gap = count, 1
        else:
            gap, flagged = gap + 1, count
    return history, reference, gap


def latest_anomalies(project_dir: Path | str, select: Sequence[str] = (),
                     exclude: Sequence[str] = ()) -> tuple[list[Anomaly] | None, list[str]]:
    """The anomalies (not the shifts) of each table's latest run, of the tables `select` and
    `exclude` pick as `zel profile run` does (None when no run is recorded), and a line for
    each selector that picks nothing."""
    from kor.profiling.history import selection
    from kor.profiling.read import reading

    wanted: set[TableKey] | None = None
    unmatched: list[str] = []
    if select or exclude:
        tables, unmatched = selection(project_dir, select, exclude)
        wanted = set(tables)
    with reading(project_dir) as reader, reader.holding():
        if not reader.runs():
            return None, unmatched
        rows = reader.anomaly_rows(latest=True)
    return [a for a in map(Anomaly.of_row, rows) if a.status is Status.ANOMALY
            and (wanted is None or (a.source_name, a.table_name) in wanted)], unmatched
