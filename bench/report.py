"""Times the report's pages and `show` on large metadata stores of recorded runs.

Three stores: 200 tables of 50 columns over 20 runs (200,000 rows), one table of 1,000
columns over 20 runs, and 10,000 tables of 2 columns over 2 runs (the overview of many tables:
its first served page, sorted or not, beside the same page made after reading every table's
changes and history, as the page read them before; a filtered page; and every line as the
page listed them before pages).
Every run profiles every table; figures stay as they were, the row counts move.

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
from kor.report import console, content, html, site  # noqa: E402


def show(source: site.ReportSource) -> None:
    """What `zel profile show` prints, into a buffer."""
    whole = site.document(source, lambda _: content.NoLinks())
    assert whole is not None
    terminal = Console(file=io.StringIO(), width=200)
    console.print_overview(terminal, whole.overview)
    for view in whole.tables:
        console.print_table(terminal, view)


def every_line(source: site.ReportSource) -> str:
    """The overview listing every table on one page, as it was served before it had pages."""
    view = site.overview(source, html.SERVED)
    assert view is not None
    return html.overview_page(view)


def every_table_read(source: site.ReportSource, sort: str | None = None) -> str:
    """The overview's first page made from the overview of every table, its changes and
    history read for each (as the page read them before it read its own tables' only)."""
    view = site.overview(source, html.SERVED)
    assert view is not None
    return html.overview_page(content.paged(view, 1, "", html.SERVED.overview, sort))


def many_tables(source: site.ReportSource) -> dict[str, Callable[[], object]]:
    return {
        "overview, every line": lambda: every_line(source),
        "page, every table read": lambda: every_table_read(source),
        "overview page": lambda: site.overview_page(source),
        "page by rows, every read": lambda: every_table_read(source, "rows"),
        "overview page by rows": lambda: site.overview_page(source, 1, "", "rows"),
        "overview page 50": lambda: site.overview_page(source, 50),
        "overview, filtered": lambda: site.overview_page(source, 1, "table_99"),
        "whole report file": lambda: site.report_document(source),
    }


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
    print(f"{'store':<32}{'rows':>10}  {'case':<26}{'best ms':>9}{'median ms':>11}")
    for tables, columns, runs, table in ((options.tables, options.columns, options.runs,
                                          "table_7"), (1, 1000, options.runs, "table_0"),
                                         (10_000, 2, 2, None)):
        with tempfile.TemporaryDirectory() as folder:
            path = fill(Path(folder), tables, columns, runs, churn=False)
            source = site.ReportSource.for_store(path)
            shape = f"{tables:,} tables x {columns:,} columns"
            rows = tables * columns * runs
            chosen = many_tables(source) if table is None else cases(source, table)
            for case, action in chosen.items():
                best, median = timed(action, options.repeat)
                print(f"{shape:<32}{rows:>10,}  {case:<26}{best:>9.1f}{median:>11.1f}")


if __name__ == "__main__":
    main()
