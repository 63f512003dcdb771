"""Times `zel profile diff` and the run history on large stores of 100 runs.

Two shapes: 1,000 tables of 5 columns, and one table of 1,000 columns; each diff compares
the latest run of every table with its previous one, then two pinned runs. Last, the
in-place upgrade of stores of the first layout (4,000 and 40,000 tables of 5 columns).

Run: .venv/bin/python bench/history.py [--runs R] [--repeat N]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from functools import partial
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import duckdb  # noqa: E402

from bench.stores import fill, fill_first_layout, timed  # noqa: E402
from kor.compute.metadata import MetadataReader  # noqa: E402
from kor.compute.metadata.migrations import upgrade  # noqa: E402
from kor.profiling.diff import diff_runs  # noqa: E402
from kor.profiling.rules import DiffRules  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{'store':<34}{'rows':>12}  {'case':<28}{'best ms':>9}{'median ms':>11}")
    for tables, columns in ((1000, 5), (1, 1000)):
        with tempfile.TemporaryDirectory() as folder:
            path = fill(Path(folder), tables, columns, args.runs, churn=True)
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
    for tables in (4000, 40000):
        times = []
        for _ in range(args.repeat):
            with tempfile.TemporaryDirectory() as folder:
                path = fill_first_layout(Path(folder), tables, 5, 1)
                with duckdb.connect(str(path)) as connection:
                    times.append(timed(partial(upgrade, connection), 1)[0])
        shape = f"{tables:,} tables x 5 columns"
        print(f"{shape:<34}{tables * 5:>12,}  {'upgrade from layout 1':<28}"
              f"{min(times):>9.0f}{sorted(times)[len(times) // 2]:>11.0f}")


if __name__ == "__main__":
    main()
