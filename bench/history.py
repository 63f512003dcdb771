"""Times `zel profile diff` and the run history on large stores of 100 runs.

Two shapes: 1,000 tables of 5 columns, and one table of 1,000 columns; each diff compares
the latest run of every table with its previous one, then two pinned runs.

Run: .venv/bin/python bench/history.py [--runs R] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
from datetime import datetime
from functools import partial
from pathlib import Path

import duckdb

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.report import timed  # noqa: E402
from kor.compute.metadata import MetadataReader, ProjectMetadataStore  # noqa: E402
from kor.profiling.diff import diff_runs  # noqa: E402
from kor.profiling.rules import DiffRules  # noqa: E402


def fill(root: Path, tables: int, columns: int, runs: int) -> Path:
    """A store of `runs` runs of every table, written in bulk through SQL."""
    store = ProjectMetadataStore(root)
    store.initialize()
    store.close()
    top = json.dumps([{"value": f"v{i}", "count": 100 - i} for i in range(10)])
    alert = json.dumps([{"type": "MISSING", "severity": "warning", "message": "m"}])
    names = json.dumps([[f"column_{c}", "DOUBLE"] for c in range(columns)])
    params = {"tables": tables, "columns": columns, "runs": runs, "start": datetime(2026, 1, 1)}
    with duckdb.connect(str(store.path)) as connection:
        connection.execute("""
            INSERT INTO runs (run_id, started_at, ended_at, status, exit_status)
            SELECT r + 1, $start::TIMESTAMP + r * INTERVAL 1 DAY,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + INTERVAL 1 HOUR, 'success', 0
            FROM range($runs) d(r)""", {"runs": runs, "start": params["start"]})
        connection.execute("""
            INSERT INTO table_runs SELECT r + 1, 'raw', 'table_' || t, 'success', NULL,
                   100000 - r, $columns, 5,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + t * INTERVAL 1 SECOND, $names, true
            FROM range($tables) a(t), range($runs) d(r)""", {**params, "names": names})
        connection.execute("""
            INSERT INTO column_profiles (source_name, table_name, column_name, profile_mode,
                   row_count, null_count, null_percent, distinct_count, distinct_percent,
                   min_value, max_value, mean_value, stddev_value, top_values, alerts,
                   profiled_at, duration_ms, run_id)
            SELECT 'raw', 'table_' || t, 'column_' || c, 'explorative', 100000 - r, c + r,
                   (c + r) * 0.001, 50 + r % 3, 0.05, 0, c + r, c / 2 + r, 1 + r % 5, $top,
                   CASE WHEN (c + r) % 3 = 0 THEN $alert END,
                   $start::TIMESTAMP + r * INTERVAL 1 DAY + t * INTERVAL 1 SECOND, 1, r + 1
            FROM range($tables) a(t), range($columns) b(c), range($runs) d(r)""",
                           {**params, "top": top, "alert": alert})
    return store.path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{'store':<34}{'rows':>12}  {'case':<28}{'best ms':>9}{'median ms':>11}")
    for tables, columns in ((1000, 5), (1, 1000)):
        with tempfile.TemporaryDirectory() as folder:
            path = fill(Path(folder), tables, columns, args.runs)
            reader, rules = MetadataReader(path), DiffRules()
            shape = f"{tables:,} tables x {columns:,} columns"
            rows = tables * columns * args.runs
            cases = {
                "diff, latest vs previous": partial(diff_runs, reader, rules),
                "diff, run 1 vs run 100": partial(diff_runs, reader, rules, base="1",
                                                  head=str(args.runs)),
                "history (all runs)": reader.runs,
            }
            for case, action in cases.items():
                best, median = timed(action, args.repeat)
                print(f"{shape:<34}{rows:>12,}  {case:<28}{best:>9.0f}{median:>11.0f}")


if __name__ == "__main__":
    main()
