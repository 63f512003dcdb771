"""Times the report's pages and `show` on large metadata stores of recorded runs.

Two stores: 200 tables of 50 columns over 20 runs (200,000 rows), and one table of 1,000
columns over 20 runs. Every run profiles every table; figures stay as they were, the row
counts move.

Run: .venv/bin/python bench/report.py [--tables T] [--columns C] [--runs R] [--repeat N]
"""

from __future__ import annotations

import argparse
import io
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

from rich.console import Console

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.stores import fill, timed  # noqa: E402
from kor.report import console, content, site  # noqa: E402


def show(source: site.ReportSource) -> None:
    """What `zel profile show` prints, into a buffer."""
    whole = site.document(source, lambda _: content.NoLinks())
    assert whole is not None
    terminal = Console(file=io.StringIO(), width=200)
    console.print_overview(terminal, whole.overview)
    for view in whole.tables:
        console.print_table(terminal, view)


def cases(source: site.ReportSource, table: str) -> dict[str, Callable[[], object]]:
    return {
        "overview page": lambda: site.overview_page(source),
        "table page": lambda: site.table_page(source, "raw", table),
        "table page, first run": lambda: site.table_page(source, "raw", table, 1),
        "alerts page": lambda: site.alerts_page(source),
        "whole report file": lambda: site.report_document(source),
        "show": lambda: show(source),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tables", type=int, default=200)
    parser.add_argument("--columns", type=int, default=50)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    print(f"{options.repeat} repetitions")
    print(f"{'store':<32}{'rows':>10}  {'case':<24}{'best ms':>9}{'median ms':>11}")
    for tables, columns, table in ((options.tables, options.columns, "table_7"),
                                   (1, 1000, "table_0")):
        with tempfile.TemporaryDirectory() as folder:
            path = fill(Path(folder), tables, columns, options.runs, churn=False)
            source = site.ReportSource.for_store(path)
            shape = f"{tables:,} tables x {columns:,} columns"
            rows = tables * columns * options.runs
            for case, action in cases(source, table).items():
                best, median = timed(action, options.repeat)
                print(f"{shape:<32}{rows:>10,}  {case:<24}{best:>9.1f}{median:>11.1f}")


if __name__ == "__main__":
    main()
