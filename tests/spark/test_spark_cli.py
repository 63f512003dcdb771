"""`zel profile run` on Spark as a user runs it: a subprocess, a project of Parquet files."""

from __future__ import annotations

import json
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

from tests.cli.projects import run_zel, stored_rows
from tests.spark.tables import AS_INSTANTS, TYPED, comparable, duckdb_views, write_parquet

pytestmark = pytest.mark.spark


def write_project(root: Path, **targets: dict) -> Path:
    (root / "models").mkdir(parents=True, exist_ok=True)
    (root / "zel_project.yml").write_text(yaml.safe_dump(
        {"name": "shop", "target": next(iter(targets)), "targets": targets}))
    (root / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: typed}, {name: gone}]\n")
    return root


def zel(project: Path, target: str, **env: str):
    # A local session's start alone takes 7 to 9 s on two cores.
    return run_zel("profile", "run", "--project-dir", str(project), "--target", target,
                   env=env, timeout=600)


def stored(project: Path) -> dict:
    rows = stored_rows(project)
    shutil.rmtree(project / ".zel")
    return {key: comparable({name: json.loads(value) if name in ("top_values", "alerts")
                             and value is not None else value for name, value in row.items()})
            for key, row in rows.items()}


def test_a_spark_run_stores_what_duckdb_stores(spark_session, tmp_path):
    typed = write_parquet(tmp_path / "data" / "typed.parquet", TYPED)
    duckdb_views(tmp_path / "wh.duckdb", {"typed": typed})
    project = write_project(
        tmp_path,
        spark={"type": "spark", "master": "local[2]", "conf": AS_INSTANTS,
               "tables": {"main.typed": {"path": "data/typed.parquet"}}},
        duck={"type": "duckdb", "path": "wh.duckdb"})

    duck = zel(project, "duck")
    assert duck.returncode == 0, duck.stderr
    expected = stored(project)
    # Away from UTC, where PySpark's own rows would carry local times.
    done = zel(project, "spark", TZ="America/New_York")
    assert done.returncode == 0, done.stderr
    assert "OK raw.typed" in done.stdout and "FAIL raw.gone" in done.stdout
    assert stored(project) == expected
    # No progress bars, no query context dumped for the missing table, no Spark start-up banner
    # nor logs: only the JVM's own notice, which no setting of Spark's silences.
    assert "[Stage" not in done.stdout
    assert [line for line in done.stderr.splitlines()
            if not line.startswith("WARNING: Using incubator modules")] == []


@pytest.fixture
def silent_listener():
    """A loopback port that accepts connections and never answers: a cluster that hangs."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        yield listener.getsockname()[1]


def test_an_unreachable_cluster_stops_the_command_with_one_line(silent_listener, tmp_path):
    pytest.importorskip("pyspark")
    project = write_project(tmp_path, cluster={"type": "spark",
                                               "remote": f"sc://127.0.0.1:{silent_listener}"})
    done = zel(project, "cluster")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"Error: target 'cluster': cannot reach Spark Connect at "
                                  f"sc://127.0.0.1:{silent_listener}: ")
    assert done.stderr.count("\n") == 1


def test_without_pyspark_the_command_says_how_to_install_it(tmp_path):
    project = write_project(tmp_path, spark={"type": "spark"})
    # An import of pyspark fails in this interpreter as where it is not installed.
    done = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['pyspark'] = None; "
         "from kor.cli import main; main()", "profile", "run", "--project-dir", str(project)],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr == ("Error: target 'spark': PySpark is not installed: "
                           "pip install 'kor[spark]'\n")
