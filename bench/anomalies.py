"""Anomalies judged two ways on the same synthetic histories, and the time to judge a store.

Each series kind (flat, trending, weekly-seasonal, noisy, step-change) has histories of 60
daily runs of a row count, of a null % and of a freshness lag (usually 1-2 h), with
single-run drops and jumps of the row count (20-50 %), null bursts (2-10 points) and late
loads (6-30 h more lag) injected after run 30. The step-change kind moves its level once,
between runs 18 and 24 (the step counts as an injected change, the runs after it as clean).
Both methods judge the same quantity (a row count by its change from run to run, a null % and
a lag as they are); the plain one flags a value outside the mean ± 3σ of the
previous 14, this one applies kor.profiling.anomalies with its defaults (the weekly kind
with `seasonality: weekday`). Clean runs are counted from run 15, where both have 14 values.

Last, judging the latest run of a store of 1,000 tables × 20 columns × 60 runs (each table
run with a freshness lag).

Run: .venv/bin/python bench/anomalies.py [--series N] [--repeat N]
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
from collections.abc import Callable
from datetime import datetime, timedelta
from pathlib import Path

import duckdb

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.stores import fill, timed  # noqa: E402
from kor.compute.metadata import MetadataReader  # noqa: E402
from kor.profiling.anomalies import (  # noqa: E402
    AnomalySettings,
    Metric,
    Seasonality,
    SeriesRule,
    Status,
    change,
    judge_run,
    judge_series,
)

RUNS, FIRST_JUDGED, PLAIN_WINDOW = 60, 15, 14
KINDS = ("flat", "trending", "weekly", "noisy", "step")
# A Monday: the weekly kind's quiet days are runs 5 and 6 of each week.
START = datetime(2026, 1, 5, 6)


def _rows(kind: str, rng: random.Random) -> tuple[list[float], set[int]]:
    """A row count history and the runs where a change was injected."""
    growth = {"flat": 0.0, "trending": 1.5, "weekly": 2.0, "noisy": 1.0, "step": 0.5}[kind]
    noise = {"flat": 0.02, "trending": 0.2, "weekly": 0.2, "noisy": 1.5, "step": 0.2}[kind]
    count, counts, injected = 100_000.0, [], set()
    step = rng.randrange(18, 25) if kind == "step" else None
    for run in range(RUNS):
        quiet = kind == "weekly" and run % 7 in (5, 6)
        count *= 1 + ((0.1 if quiet else growth) + rng.gauss(0, noise)) / 100
        if run == step:
            count *= 1.3
            injected.add(run)
        counts.append(count)
    for run in _injection_runs(rng):
        counts[run] *= rng.choice((-1, 1)) * rng.uniform(0.2, 0.5) + 1
        injected.add(run)
    return [round(c) for c in counts], injected


def _nulls(kind: str, rng: random.Random) -> tuple[list[float], set[int]]:
    """A null % history and the runs of its injected bursts."""
    return _levels(kind, rng, 0.1, lambda level: level * 1.3 * 10, lambda run, level: max({
        "flat": level, "trending": level + run * 0.01,
        "weekly": level * (4 if run % 7 in (5, 6) else 1),
        "noisy": level * (1 + rng.gauss(0, 0.3)),
        "step": level * (1 + rng.gauss(0, 0.05))}[kind], 0.0), lambda: rng.uniform(2, 10))


def _lags(kind: str, rng: random.Random) -> tuple[list[float], set[int]]:
    """A freshness lag history in seconds, and the runs of its injected late loads."""
    # The step: the load moved three hours earlier; at the weekend there are no loads, and the
    # lag grows a day a day.
    return _levels(kind, rng, 1.5, lambda level: 4.5, lambda run, level: 3600 * {
        "flat": level + rng.gauss(0, 0.05), "trending": level + run * 0.02,
        "weekly": level + {5: 24, 6: 48}.get(run % 7, 0),
        "noisy": level - 0.5 + rng.random(),
        "step": level + rng.gauss(0, 0.1)}[kind], lambda: rng.uniform(6, 30) * 3600)


def _levels(kind: str, rng: random.Random, level: float, moved: Callable[[float], float],
            value: Callable[[int, float], float], injected_change: Callable[[], float]
            ) -> tuple[list[float], set[int]]:
    """A history of `value` at each run's level (the step kind's `moved` once), with three
    injected changes, and the runs of its injected changes."""
    values, injected = [], set()
    step = rng.randrange(18, 25) if kind == "step" else None
    for run in range(RUNS):
        if run == step:
            level = moved(level)
            injected.add(run)
        values.append(value(run, level))
    for run in _injection_runs(rng):
        values[run] += injected_change()
        injected.add(run)
    return values, injected


def _injection_runs(rng: random.Random) -> list[int]:
    runs: list[int] = []
    while len(runs) < 3:
        run = rng.randrange(31, RUNS)
        if all(abs(run - other) > 3 for other in runs):
            runs.append(run)
    return runs


def _plain(values: list[float], metric: Metric) -> list[bool]:
    """mean ± 3σ of the previous 14 judged values, the value under test not among them."""
    judged = ([0.0] + [change(a, b) for a, b in zip(values, values[1:], strict=False)]
              if metric is Metric.ROW_COUNT else values)
    flags = [False] * len(values)
    for run in range(FIRST_JUDGED, len(values)):
        window = judged[run - PLAIN_WINDOW:run]
        mean, sigma = statistics.fmean(window), statistics.pstdev(window)
        flags[run] = abs(judged[run] - mean) > 3 * sigma
    return flags


def _ours(values: list[float], metric: Metric, kind: str) -> list[bool]:
    rule = SeriesRule(seasonality=Seasonality.WEEKDAY if kind == "weekly" else Seasonality.NONE)
    times = [START + timedelta(days=run) for run in range(len(values))]
    return [v.status is Status.ANOMALY for v in judge_series(values, times, metric, rule)]


def _score(flags: list[bool], injected: set[int], tally: list[int]) -> None:
    """Adds (false alarms, clean runs, caught, injected) to `tally`."""
    for run in range(FIRST_JUDGED, RUNS):
        if run in injected:
            tally[2] += flags[run]
            tally[3] += 1
        else:
            tally[0] += flags[run]
            tally[1] += 1


def evaluate(series: int) -> None:
    print(f"{series} histories of {RUNS} runs per kind and metric")
    print(f"{'series kind':<12}{'metric':<14}{'false alarms / 100 clean':>26}"
          f"{'changes caught':>24}")
    print(f"{'':<26}{'this':>13}{'mean±3σ':>13}{'this':>12}{'mean±3σ':>12}")
    for kind in KINDS:
        for metric, make in ((Metric.ROW_COUNT, _rows), (Metric.NULL_PERCENT, _nulls),
                             (Metric.FRESHNESS_LAG, _lags)):
            ours, plain = [0, 0, 0, 0], [0, 0, 0, 0]
            rng = random.Random(f"{kind}-{metric.value}")
            for _ in range(series):
                values, injected = make(kind, rng)
                _score(_ours(values, metric, kind), injected, ours)
                _score(_plain(values, metric), injected, plain)
            print(f"{kind:<12}{metric.value:<14}"
                  f"{100 * ours[0] / ours[1]:>13.2f}{100 * plain[0] / plain[1]:>13.2f}"
                  f"{100 * ours[2] / ours[3]:>11.1f}%{100 * plain[2] / plain[3]:>11.1f}%")


def store_timing(repeat: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = fill(Path(folder), 1000, 20, RUNS, churn=True)
        with duckdb.connect(str(path)) as connection:
            connection.execute("UPDATE table_runs SET freshness_seconds = "
                               "3600 + hash(table_name, run_id) % 3600")
        reader = MetadataReader(path)
        settings = AnomalySettings()
        found = judge_run(reader, RUNS, settings)
        best, median = timed(lambda: judge_run(reader, RUNS, settings), repeat)
    print(f"\njudging run {RUNS} of 1,000 tables x 20 columns x {RUNS} runs: "
          f"best {best:,.0f} ms, median {median:,.0f} ms "
          f"({len(found.anomalies):,} anomalies, {len(found.too_few)} tables too new)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--series", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    evaluate(args.series)
    store_timing(args.repeat)


if __name__ == "__main__":
    main()
