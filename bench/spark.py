"""One Parquet table profiled by `zel profile run` on DuckDB and on a local Spark session.

Run: .venv/bin/python bench/spark.py [--rows N] [--quick]   (needs `pip install -e '.[spark]'`)

Each run is the command in a subprocess, as a user runs it; "table" is the table's own time as
the run prints it, "command" the whole process (Spark's start included). The stored metrics of
every Spark run are compared with DuckDB's.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import duckdb
import yaml

DATA_DIR = Path(__file__).resolve().parent / ".data"
# Eight types over range(n) r(i): high-cardinality numbers (the costly exact quartiles), text,
# dates, timestamps and booleans, with nulls and empty strings.
COLUMNS = {
    "c_int": "(hash(i) % 100000)::INTEGER",
    "c_bigint": "(i * 7919)::BIGINT",
    "c_double": "CASE WHEN i % 11 = 0 THEN NULL ELSE (hash(i * 3) % 1000000) / 7.0 END",
    "c_decimal": "((hash(i * 5) % 1000000) / 100.0)::DECIMAL(12,2)",
    "c_string": "CASE WHEN i % 5 = 0 THEN NULL WHEN i % 5 = 1 THEN '' "
                "ELSE 'v' || (hash(i * 7) % 50) END",
    "c_date": "DATE '2020-01-01' + (i % 2000)::INTEGER",
    "c_timestamp": "TIMESTAMP '2024-01-01' + to_seconds(i % 31536000)",
    "c_boolean": "CASE WHEN i % 4 = 0 THEN NULL ELSE i % 3 = 0 END",
}
METRICS = ("row_count", "null_count", "distinct_count", "min_value", "max_value", "mean_value",
           "stddev_value", "p25", "p50", "p75", "min_length", "max_length", "avg_length")


def parquet_table(rows: int) -> Path:
    path = DATA_DIR / f"spark-typed-{rows}.parquet"
    if not path.exists():
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        columns = ", ".join(f"{expr} AS {name}" for name, expr in COLUMNS.items())
        scratch = path.with_suffix(".tmp")
        duckdb.sql(f"COPY (SELECT {columns} FROM range({rows}) r(i)) TO '{scratch}' "
                   "(FORMAT parquet)")
        scratch.rename(path)
    return path


def write_project(root: Path, table: Path) -> Path:
    with duckdb.connect(str(root / "wh.duckdb")) as connection:
        connection.execute(f"CREATE VIEW typed AS SELECT * FROM read_parquet('{table}')")
    targets = {"duck": {"type": "duckdb", "path": "wh.duckdb"},
               "spark": {"type": "spark", "master": "local[*]",
                         "tables": {"main.typed": {"path": str(table)}}}}
    (root / "zel_project.yml").write_text(
        yaml.safe_dump({"name": "bench", "target": "duck", "targets": targets}))
    (root / "models").mkdir()
    (root / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: typed}]\n")
    return root


def run(project: Path, target: str, threads: int, mode: str) -> tuple[float, float, dict]:
    """The table's own seconds, the command's seconds, and the stored metrics by column."""
    shutil.rmtree(project / ".zel", ignore_errors=True)
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", "from kor.cli import main; main()", "profile", "run",
         "--project-dir", str(project), "--target", target, "--threads", str(threads),
         "--mode", mode], capture_output=True, text=True, env=dict(os.environ, COLUMNS="200"))
    command = time.perf_counter() - start
    table = re.search(r"OK raw\.typed \(.*?, (\d+)ms\)", done.stdout)
    if done.returncode != 0 or table is None:
        sys.exit(f"{target} run failed:\n{done.stdout}\n{done.stderr}")
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        names = ", ".join(("column_name", *METRICS, "top_values"))
        stored = {row[0]: row[1:] for row in
                  c.execute(f"SELECT {names} FROM column_profiles").fetchall()}
    return int(table.group(1)) / 1000, command, stored


def differences(spark: dict, duck: dict) -> list[str]:
    """`column (metric, ...)` for each column whose stored metrics differ; tied top values may
    come in another order, so only their counts are compared."""
    differing = []
    for column, values in duck.items():
        names = [name for name, a, b in zip((*METRICS, "top_values"), values, spark[column],
                                             strict=True) if not _same(name, a, b)]
        if names:
            differing.append(f"{column} ({', '.join(names)})")
    return differing


def _same(name: str, a: object, b: object) -> bool:
    if name == "top_values":
        return [e["count"] for e in json.loads(str(a or "[]"))] == \
            [e["count"] for e in json.loads(str(b or "[]"))]
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-9)
    return a == b


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="100,000 rows")
    args = parser.parse_args()
    rows = 100_000 if args.quick else args.rows
    table = parquet_table(rows)
    cases = [(threads, mode) for mode in ("explorative", "minimal") for threads in (1, 4)]
    print(f"{rows:,} rows x {len(COLUMNS)} columns, Parquet, {os.cpu_count()} cores")
    print(f"{'target':<8}{'threads':>8}  {'mode':<12}{'table s':>9}{'command s':>11}"
          f"{'x DuckDB':>10}  stored metrics")
    spark_seconds = {}
    with tempfile.TemporaryDirectory(prefix="kor-bench-spark-") as scratch:
        project = write_project(Path(scratch), table)
        for threads, mode in cases:
            duck_seconds, duck_command, duck_stored = run(project, "duck", threads, mode)
            print(f"{'duck':<8}{threads:>8}  {mode:<12}{duck_seconds:>9.1f}{duck_command:>11.1f}")
            seconds, command, stored = run(project, "spark", threads, mode)
            spark_seconds[threads, mode] = seconds
            differing = differences(stored, duck_stored)
            verdict = f"differ: {', '.join(differing)}" if differing else "equal DuckDB's"
            print(f"{'spark':<8}{threads:>8}  {mode:<12}{seconds:>9.1f}{command:>11.1f}"
                  f"{seconds / duck_seconds:>10.0f}  {verdict}")
    for threads in (1, 4):
        explorative = spark_seconds[threads, "explorative"]
        minimal = spark_seconds[threads, "minimal"]
        print(f"Spark, {threads} thread(s): the quartiles (explorative - minimal) take "
              f"{(explorative - minimal) / explorative:.0%} of the table's time")


if __name__ == "__main__":
    main()
