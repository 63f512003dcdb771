"""`zel profile run --skip-unchanged` on a real DuckDB warehouse: every change is measured."""

from __future__ import annotations

import json
import os
import shutil
import time
from collections.abc import Callable
from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import run_zel, write_project

SOURCES = """
sources:
  - name: raw
    schema: main
    tables: [{name: orders}, {name: t}, {name: v}]
"""


def zel(project: Path, command: str, *args: str):
    return run_zel("profile", command, "--project-dir", str(project), *args)


def _write(project: Path, sql: str) -> None:
    with duckdb.connect(str(project / "wh.duckdb")) as connection:
        connection.execute(sql)


UPDATE = "UPDATE orders SET status = 'changed' WHERE id = 3"


def _with_old_times(change: Callable[[Path], None]) -> Callable[[Path], None]:
    """The change, then the file's modification time put back as it was."""
    def changed(project: Path) -> None:
        before = os.stat(project / "wh.duckdb")
        change(project)
        os.utime(project / "wh.duckdb", ns=(before.st_atime_ns, before.st_mtime_ns))
    return changed


def _replaced(project: Path) -> None:
    """The measured file was the pristine one after one update; its replacement is the
    pristine one after another update of the same shape: the same size, other data."""
    copy = project / "copy.duckdb"
    shutil.copy2(project / "pristine.duckdb", copy)
    with duckdb.connect(str(copy)) as connection:
        connection.execute("UPDATE orders SET status = 'x8' WHERE id = 3")
    assert os.stat(copy).st_size == os.stat(project / "wh.duckdb").st_size
    os.replace(copy, project / "wh.duckdb")
CHANGES: dict[str, Callable[[Path], None]] = {
    "update of one row": lambda project: _write(project, UPDATE),
    "insert": lambda project: _write(project, "INSERT INTO orders VALUES (10, 'x1', 11)"),
    "schema change": lambda project: _write(project, "ALTER TABLE orders ADD COLUMN e INT"),
    "update, times restored": _with_old_times(lambda project: _write(project, UPDATE)),
    "file replaced, same size and times": _with_old_times(_replaced),
}


@pytest.mark.parametrize("change", [None, "other mode", *CHANGES])
def test_only_a_provably_unchanged_warehouse_is_reused(tmp_path, change):
    project = write_project(tmp_path, SOURCES, ["CREATE VIEW v AS SELECT * FROM t"])
    shutil.copy2(project / "wh.duckdb", project / "pristine.duckdb")
    _write(project, "UPDATE orders SET status = 'x9' WHERE id = 3")
    # A file written within the clock's tick of a run proves nothing: age it.
    old = time.time() - 100
    os.utime(project / "wh.duckdb", (old, old))
    assert zel(project, "run").returncode == 0
    measured = [row for row in json.loads(zel(project, "show", "--format", "json").stdout)
                if row["table_name"] != "v"]
    args = ["--mode", "minimal"] if change == "other mode" else []
    if change in CHANGES:
        CHANGES[change](project)

    done = zel(project, "run", "--skip-unchanged", *args)
    assert done.returncode == 0, done.stdout + done.stderr
    reused = change is None
    # The view may read anything: measured every time.
    assert "OK raw.v " in done.stdout
    for table in ("orders", "t"):
        assert (f"raw.{table} unchanged since run 1" in done.stdout) is reused, done.stdout
        assert (f"OK raw.{table} " in done.stdout) is not reused
    assert ("2 tables unchanged: earlier profiles reused." in done.stdout) is reused

    latest = zel(project, "history", "--table", "orders").stdout.splitlines()[1].split()
    status = ["unchanged", "since", "run", "1"] if reused else ["success"]
    assert latest[0] == "2" and latest[4:4 + len(status)] == status
    diff = json.loads(zel(project, "diff", "--format", "json").stdout)
    tables = {t["table_name"]: t for t in diff["tables"]}
    assert tables["orders"]["head"]["reused_from"] == (1 if reused else None)
    if reused:
        assert {name: (t["note"], t["changes"]) for name, t in tables.items()} == {
            "orders": ("unchanged since run 1", []), "t": ("unchanged since run 1", []),
            "v": (None, [])}
        show = zel(project, "show").stdout
        assert show.count("unchanged since run 1") == 4, show  # the overview and Changes
        # The reused rows are the run's own: the earlier run can go.
        assert zel(project, "prune", "--keep", "1").returncode == 0
        assert [row for row in json.loads(zel(project, "show", "--format", "json").stdout)
                if row["table_name"] != "v"] == measured
        # A gate fails the run on the reused profiles' alerts as on measured ones.
        gated = [zel(project, "run", *skip, "--fail-on", "warning") for skip in ([], [
            "--skip-unchanged"])]
        assert [g.returncode for g in gated] == [1, 1]
        assert gated[0].stderr == gated[1].stderr and "Failing the run" in gated[0].stderr
    elif change != "other mode":
        assert tables["orders"]["note"] is None and tables["orders"]["changes"]
