"""Case 7 of bench/profile.py: `--skip-unchanged` beside a full run on many tiny tables."""

from __future__ import annotations

import dataclasses
import os
import shutil
import time
from contextlib import redirect_stdout
from pathlib import Path

import duckdb

from bench.cases import Row, Sizes, progress, ratio, seconds
from bench.runs import silenced_report
from bench.warehouse import tiny_tables_warehouse, write_project
from kor.profiling import profile_project


def _age(path: Path) -> None:
    # A file written within the last seconds proves nothing (see DuckDBAdapter.change_evidence).
    moment = time.time() - 60
    os.utime(path, (moment, moment))


def _timed(project: Path, skip: bool) -> tuple[float, int]:
    """Seconds of one minimal run as the command makes it, and how many tables it reused."""
    with silenced_report(), open(os.devnull, "w", encoding="utf-8") as sink, \
            redirect_stdout(sink):
        start = time.perf_counter()
        run = profile_project(project, mode="minimal", skip_unchanged=skip)
        elapsed = time.perf_counter() - start
    if not run.succeeded:
        raise RuntimeError(f"the profile run of {project} failed")
    return elapsed, len(run.reused)


def skip_unchanged(sizes: Sizes, scratch: Path) -> list[Row]:
    count = sizes.skip_tables
    progress(f"7. --skip-unchanged on {count:,} tiny tables")
    built = tiny_tables_warehouse(count)
    warehouse = dataclasses.replace(built, path=scratch / "skip.duckdb")
    shutil.copyfile(built.path, warehouse.path)
    _age(warehouse.path)
    project = write_project(scratch / "skip", warehouse, declare_columns=False)
    _timed(project, False)  # the first measurement, into an empty store
    # A full run beside the others: the same store, every table's evidence recorded.
    full, _ = _timed(project, False)
    same, same_reused = _timed(project, True)
    changed = warehouse.tables[::100]
    with duckdb.connect(str(warehouse.path)) as connection:
        for table in changed:
            connection.execute(f"UPDATE {table} SET label = 'changed' WHERE id = 0")
    _age(warehouse.path)
    after, after_reused = _timed(project, True)
    label = f"7. {count:,} tiny tables, --mode minimal"
    return [
        Row(label, "full run", seconds(full)),
        Row("", f"--skip-unchanged, file unchanged ({same_reused:,} reused)", seconds(same),
            f"full/skip {ratio(full, same)}"),
        Row("", f"--skip-unchanged, {len(changed):,} tables changed ({after_reused:,} reused)",
            seconds(after), f"full/skip {ratio(full, after)}"),
    ]
