"""A row drop flagged by a real run against the table's own history, through `zel`."""

from __future__ import annotations

import json
from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import SOURCES, run_zel, write_project


def test_row_drop_flagged_stored_gated_listed_and_pruned(tmp_path: Path) -> None:
    project = write_project(tmp_path / "p", SOURCES, ["CREATE TABLE gone AS SELECT 1 AS x"])
    with (project / "zel_project.yml").open("a") as settings:
        settings.write("anomalies:\n  metrics:\n    row_count: error\n")
    run = ("profile", "run", "--project-dir", str(project), "--select", "source:raw.orders")
    for _ in range(8):
        first = run_zel(*run)
    assert first.returncode == 0
    assert "Anomalies: not enough history for raw.orders (6 of the 7" in first.stdout
    quiet = run_zel(*run, "--fail-on", "error")
    assert quiet.returncode == 0 and "ANOMALY" not in quiet.stdout, quiet.stdout
    with duckdb.connect(str(project / "wh.duckdb")) as connection:
        connection.execute("DELETE FROM orders WHERE id < 5")
    dropped = run_zel(*run, "--fail-on", "error")
    assert dropped.returncode == 1
    assert ("ANOMALY error   raw.orders: row count 5 is below its usual range 10–10 "
            "(median of 8 runs)") in dropped.stdout
    assert "Failing the run:" in dropped.stderr
    listed = run_zel("profile", "anomalies", "--project-dir", str(project), "--format", "json")
    assert listed.returncode == 1
    rows = [r for r in json.loads(listed.stdout) if r["column_name"] is None]
    # 10 rows, no change in 8 runs: the floor of ±2 % per run
    assert [(r["metric"], r["value"], r["low"], r["high"], r["runs"]) for r in rows] == [
        ("row_count", 5, pytest.approx(9.8), pytest.approx(10.2), 8)]
    alerts = json.loads(run_zel("profile", "show", "--project-dir", str(project), "--alerts",
                                "--format", "json").stdout)
    assert ("orders", "", "error") in [(a["table_name"], a["column_name"], a["severity"])
                                       for a in alerts if a["type"] == "ANOMALY"]
    report = project / "report.html"
    run_zel("profile", "report", "--project-dir", str(project), "--output", str(report))
    page = report.read_text(encoding="utf-8")
    assert "row count 5 is below its usual range" in page
    assert '<rect class="band"' in page and "<title>usual range 9.8–10.2</title>" in page
    diff = run_zel("profile", "diff", "--project-dir", str(project), "--format", "json")
    assert "row count 5 is below its usual range" in diff.stdout
    assert run_zel("profile", "prune", "--project-dir", str(project), "--keep", "0",
                   "--including-latest").returncode == 0
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb")) as connection:
        assert connection.execute("SELECT count(*) FROM anomalies").fetchone() == (0,)
