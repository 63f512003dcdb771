"""Large metadata stores written in bulk through SQL, and the timer the store benchmarks share."""

from __future__ import annotations

import json
import statistics
import time
from collections.abc import Callable
from datetime import datetime
from pathlib import Path

import duckdb

from kor.compute.metadata import ProjectMetadataStore, store_path
from kor.compute.metadata.schema import profiles_table_ddl


def fill(root: Path, tables: int, columns: int, runs: int, *, churn: bool) -> Path:
    """A store of `runs` recorded runs of every table `raw.table_<t>`, with its run records.

    Saving rows one by one would time the writer. Each run has a few rows fewer than the one
    before; with `churn` every figure and every third column's alert move from run to run too
    (the worst case of a diff), without it the columns' figures stay as they were.
    """
    store = ProjectMetadataStore(root)
    store.initialize()
    store.close()
    top = json.dumps([{"value": f"v{i}", "count": 100 - i} for i in range(10)])
    alert = json.dumps([{"type": "MISSING", "severity": "warning", "message": "m"}])
    names = json.dumps([[f"column_{c}", "DOUBLE"] for c in range(columns)])
    params = {"tables": tables, "runs": runs, "start": datetime(2026, 1, 1)}
    moving = "r" if churn else "0"
    with duckdb.connect(str(store.path)) as connection:
        connection.execute("""
            INSERT INTO runs (run_id, started_at, ended_at, profile_mode, status, exit_status)
            SELECT r + 1, $start::TIMESTAMP + r * INTERVAL 1 DAY,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + INTERVAL 1 HOUR, 'explorative',
                   'success', 0
            FROM range($runs) d(r)""", {"runs": runs, "start": params["start"]})
        connection.execute("""
            INSERT INTO table_runs (run_id, source_name, table_name, status, error, row_count,
                   column_count, duration_ms, profiled_at, columns, stored)
            SELECT r + 1, 'raw', 'table_' || t, 'success', NULL,
                   100000 - r, $columns, 5,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + t * INTERVAL 1 SECOND, $names, true
            FROM range($tables) a(t), range($runs) d(r)""",
                           {**params, "columns": columns, "names": names})
        connection.execute(f"""
            INSERT INTO column_profiles (source_name, table_name, column_name, profile_mode,
                   row_count, null_count, null_percent, distinct_count, distinct_percent,
                   min_value, max_value, mean_value, stddev_value, top_values, alerts,
                   profiled_at, duration_ms, run_id)
            SELECT 'raw', 'table_' || t, 'column_' || c, 'explorative', 100000 - r,
                   c + {moving}, (c + {moving}) * 0.001, 50 + {moving} % 3, 0.05, 0,
                   c + {moving}, c / 2 + {moving}, 1 + {moving} % 5, $top,
                   CASE WHEN (c + {moving}) % 3 = 0 THEN $alert END,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + t * INTERVAL 1 SECOND, 1, r + 1
            FROM range($tables) a(t), range($columns) b(c), range($runs) d(r)""",
                           {**params, "columns": columns, "top": top, "alert": alert})
    return store.path


def fill_first_layout(root: Path, tables: int, columns: int, runs: int) -> Path:
    """A store as the first layout wrote it (column_profiles alone, no run records): `runs`
    runs of every table `raw.table_<t>`, each table a second after the one before."""
    path = store_path(root)
    path.parent.mkdir(parents=True, exist_ok=True)
    with duckdb.connect(str(path)) as connection:
        connection.execute(profiles_table_ddl())
        connection.execute("""
            INSERT INTO column_profiles (source_name, table_name, column_name, profile_mode,
                   row_count, null_count, null_percent, distinct_count, distinct_percent,
                   profiled_at, duration_ms)
            SELECT 'raw', 'table_' || t, 'column_' || c, 'explorative', 1000, 0, 0.0, 10, 1.0,
                   $start::TIMESTAMP + (r * $tables + t) * INTERVAL 1 SECOND, 1
            FROM range($runs) d(r), range($tables) a(t), range($columns) b(c)
            ORDER BY r, t, c""",
                           {"tables": tables, "columns": columns, "runs": runs,
                            "start": datetime(2025, 1, 1)})
    return path


def timed(action: Callable[[], object], repeat: int) -> tuple[float, float]:
    """The best and the median time of `repeat` calls, in milliseconds."""
    times = []
    for _ in range(repeat):
        begin = time.perf_counter()
        action()
        times.append(time.perf_counter() - begin)
    return min(times) * 1000, statistics.median(times) * 1000
