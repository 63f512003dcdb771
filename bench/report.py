"""Times the report's store reads and pages on a large metadata store.

Run: .venv/bin/python bench/report.py [--tables T] [--columns C] [--runs R] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

import duckdb

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from kor.compute.metadata import ProjectMetadataStore  # noqa: E402
from kor.report import site  # noqa: E402


def fill(store: ProjectMetadataStore, tables: int, columns: int, runs: int) -> int:
    """Rows written in bulk through SQL: saving them one by one would time the writer."""
    store.initialize()
    store.close()
    top = json.dumps([{"value": f"v{i}", "count": 100 - i} for i in range(10)])
    alert = json.dumps([{"type": "MISSING", "severity": "warning", "message": "m"}])
    start = datetime(2026, 1, 1)
    with duckdb.connect(str(store.path)) as connection:
        connection.execute(
            """INSERT INTO column_profiles (source_name, table_name, column_name, profile_mode,
                   row_count, null_count, null_percent, distinct_count, distinct_percent,
                   min_value, max_value, mean_value, top_values, alerts, profiled_at, duration_ms)
               SELECT 'raw', 'table_' || t, 'column_' || c, 'explorative', 100000, c, c * 0.1,
                      50, 0.05, 0, c, c / 2, $top, CASE WHEN c % 3 = 0 THEN $alert END,
                      $start::TIMESTAMP + r * INTERVAL 1 DAY + t * INTERVAL 1 SECOND, 1
               FROM range($tables) a(t), range($columns) b(c), range($runs) d(r)""",
            {"top": top, "alert": alert, "start": start, "tables": tables, "columns": columns,
             "runs": runs})
    return tables * columns * runs


def timed(action, repeat: int) -> tuple[float, float]:
    times = []
    for _ in range(repeat):
        begin = time.perf_counter()
        action()
        times.append(time.perf_counter() - begin)
    return min(times) * 1000, statistics.median(times) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tables", type=int, default=200)
    parser.add_argument("--columns", type=int, default=50)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        store = ProjectMetadataStore(Path(folder))
        rows = fill(store, options.tables, options.columns, options.runs)
        cases = [
            ("profiled_tables", store.profiled_tables),
            ("latest_profiles(one table)", lambda: store.latest_profiles("raw.table_7")),
            ("table_history(one table)", lambda: store.table_history("table_7", "raw")),
            ("overview page", lambda: site.overview_page(store)),
            ("table page", lambda: site.table_page(store, "raw", "table_7")),
            ("whole report file", lambda: site.report_document(store)),
        ]
        print(f"store: {rows:,} rows ({options.tables} tables x {options.columns} columns x "
              f"{options.runs} runs); {options.repeat} repetitions")
        print(f"{'case':<28} {'best ms':>9} {'median ms':>10}")
        for label, action in cases:
            best, median = timed(action, options.repeat)
            print(f"{label:<28} {best:>9.1f} {median:>10.1f}")


if __name__ == "__main__":
    main()
