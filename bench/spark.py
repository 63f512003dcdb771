"""The exact profile of one Parquet table on Spark beside Spark's own approximate summary.

Run: .venv/bin/python bench/spark.py [--rows N ...] [--levers] [--one-job] [--quick]
     .venv/bin/python bench/spark.py --skip TABLES
(needs `pip install -e '.[spark]'`)

One local session (local[*]) serves both, so each ratio is measured side by side: "summary" is
`df.summary()` (count, mean, stddev, min, approximate quartiles, max), "profile" is
`profile_project` in explorative mode, its registration, type listing and row count included.
With --levers, each lever of the plan runs on its own as well, and every plan's stored figures
are compared with those of the statements as the task writes them. With --one-job, the five
numeric columns' statements are timed one by one and as one SELECT. With --skip, only
`--skip-unchanged` beside a full run, on that many tiny tables over files.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import duckdb
import yaml

# Run as a script, this folder comes first on the path, and its profile.py would stand for the
# standard library's module of that name, which PySpark imports.
if sys.path and Path(sys.path[0]).resolve() == Path(__file__).resolve().parent:
    del sys.path[0]

from kor.adapters import spark as spark_adapter  # noqa: E402
from kor.adapters import spark_sql  # noqa: E402
from kor.profiling.run import profile_project  # noqa: E402

DATA_DIR = Path(__file__).resolve().parent / ".data"
# Twelve columns over range(n) r(i): five numeric of high cardinality (the costly exact
# quartiles), four text of high and low cardinality, a date, a timestamp and a boolean, with
# nulls and empty strings.
COLUMNS = {
    "c_int": "(hash(i) % 100000)::INTEGER",
    "c_bigint": "(i * 7919)::BIGINT",
    "c_double": "CASE WHEN i % 11 = 0 THEN NULL ELSE (hash(i * 3) % 1000000) / 7.0 END",
    "c_decimal": "((hash(i * 5) % 1000000) / 100.0)::DECIMAL(12,2)",
    "c_float": "((hash(i * 13) % 100000) / 8.0)::FLOAT",
    "c_string": "CASE WHEN i % 5 = 0 THEN NULL WHEN i % 5 = 1 THEN '' "
                "ELSE 'v' || (hash(i * 7) % 50) END",
    "c_code": "'k' || (hash(i * 17) % 200000)",
    "c_city": "'city ' || (hash(i * 19) % 80)",
    "c_note": "CASE WHEN i % 3 = 0 THEN NULL "
              "ELSE repeat('n', (i % 40)::INTEGER) || (i % 1000) END",
    "c_date": "DATE '2020-01-01' + (i % 2000)::INTEGER",
    "c_timestamp": "TIMESTAMP '2024-01-01' + to_seconds(i % 31536000)",
    "c_boolean": "CASE WHEN i % 4 = 0 THEN NULL ELSE i % 3 = 0 END",
}
DRIVER_MEMORY = "4g"
# Fields of a stored row that differ from run to run whatever the plan.
UNSTABLE = {"run_id", "profiled_at", "duration_ms"}


@dataclass(frozen=True)
class Plan:
    """How the profile is run: its --threads (None: the engine's) and the quartile rewrite."""

    name: str
    threads: int | None
    one_percentile: bool


WRITTEN = Plan("as written (3 x PERCENTILE_CONT, 4 threads)", 4, False)
LEVERS = [Plan("a: one percentile, 4 threads", 4, True),
          Plan("b: engine's threads, 3 x PERCENTILE_CONT", None, False)]
ENGINE = Plan("a+b: one percentile, engine's threads", None, True)


def parquet_table(rows: int) -> Path:
    path = DATA_DIR / f"spark-bench-{rows}.parquet"
    if not path.exists():
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        columns = ", ".join(f"{expr} AS {name}" for name, expr in COLUMNS.items())
        scratch = path.with_suffix(".tmp")
        duckdb.sql(f"COPY (SELECT {columns} FROM range({rows}) r(i)) TO '{scratch}' "
                   "(FORMAT parquet)")
        scratch.rename(path)
    return path


def write_project(root: Path, table: Path) -> Path:
    targets = {"spark": {"type": "spark", "master": "local[*]",
                         "tables": {"main.typed": {"path": str(table)}}}}
    (root / "zel_project.yml").write_text(
        yaml.safe_dump({"name": "bench", "target": "spark", "targets": targets}))
    (root / "models").mkdir()
    (root / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: typed}]\n")
    return root


@contextmanager
def first_statement(seen: list[float]) -> Iterator[None]:
    """Notes when the adapter prepares its first statement (the row count)."""
    prepare = spark_adapter.prepare

    def noting(sql: str) -> str:
        if not seen:
            seen.append(time.perf_counter())
        return prepare(sql)

    spark_adapter.prepare = noting
    try:
        yield
    finally:
        spark_adapter.prepare = prepare


@contextmanager
def rewrite(enabled: bool) -> Iterator[None]:
    quartiles = spark_sql.quartiles
    if not enabled:
        spark_sql.quartiles = lambda sql: None
    try:
        yield
    finally:
        spark_sql.quartiles = quartiles


def profile(project: Path, plan: Plan) -> tuple[float, float, dict[Any, Any]]:
    """The run's seconds, the seconds before its first statement, and the stored rows."""
    shutil.rmtree(project / ".zel", ignore_errors=True)
    seen: list[float] = []
    devnull = open(os.devnull, "w")  # noqa: SIM115 - the run's own report, not wanted here
    stdout, sys.stdout = sys.stdout, devnull
    try:
        with rewrite(plan.one_percentile), first_statement(seen):
            start = time.perf_counter()
            run = profile_project(project, threads=plan.threads, mode="explorative")
            seconds = time.perf_counter() - start
    finally:
        sys.stdout = stdout
        devnull.close()
    if not run.succeeded:
        sys.exit(f"{plan.name}: the run failed")
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        cursor = c.execute("SELECT * FROM column_profiles")
        names = [d[0] for d in cursor.description]
        stored = {row[names.index("column_name")]:
                  {n: v for n, v in zip(names, row, strict=True) if n not in UNSTABLE}
                  for row in cursor.fetchall()}
    return seconds, seen[0] - start, stored


def summarized(frame: Any) -> float:
    """The seconds of Spark's own summary of every column."""
    start = time.perf_counter()
    frame.summary().collect()
    return time.perf_counter() - start


NUMERIC = ["c_int", "c_bigint", "c_double", "c_decimal", "c_float"]


def numeric_aggregates(column: str) -> str:
    """The aggregates of the task's numeric statement, as Spark is sent them."""
    return (f"COUNT(*) - COUNT({column}), COUNT(DISTINCT {column}), MIN({column}), "
            f"MAX({column}), AVG(CAST({column} AS DOUBLE)), STDDEV(CAST({column} AS DOUBLE))")


def quartile_aggregate(column: str) -> str:
    return f"percentile(CAST({column} AS DOUBLE), array(0.25, 0.5, 0.75))"


def one_job_for_all(session: Any, table: Path) -> None:
    """Each numeric column's statement on its own, against one SELECT for the five columns:
    the seconds, and whether the one SELECT answers each column with the same figures."""
    session.read.parquet(str(table)).createOrReplaceTempView("bench_typed")
    for kind, aggregates in (("numeric", numeric_aggregates), ("quartiles", quartile_aggregate)):
        start = time.perf_counter()
        alone = [tuple(session.sql(f"SELECT {aggregates(c)} FROM bench_typed").collect()[0])
                 for c in NUMERIC]
        each = time.perf_counter() - start
        start = time.perf_counter()
        together = tuple(session.sql("SELECT " + ", ".join(aggregates(c) for c in NUMERIC)
                                     + " FROM bench_typed").collect()[0])
        once = time.perf_counter() - start
        same = together == tuple(value for row in alone for value in row)
        print(f"{kind:<10} 5 statements {each:6.1f} s, one SELECT {once:6.1f} s, "
              f"{'the same figures' if same else 'figures DIFFER'}", flush=True)


def tiny_tables_project(root: Path, count: int) -> tuple[Path, list[Path]]:
    """A project of `count` tables of 1,000 rows, each a folder of one Parquet file, written
    long enough ago for their time stamps to prove them unchanged."""
    folders = []
    for number in range(count):
        folder = root / "data" / f"t{number:05d}"
        folder.mkdir(parents=True)
        duckdb.sql(f"COPY (SELECT i AS id, 'label ' || (i % 10) AS label, i / 7 AS amount "
                   f"FROM range(1000) r(i)) TO '{folder / 'part-0.parquet'}' (FORMAT parquet)")
        folders.append(folder)
    _age(*(folder / "part-0.parquet" for folder in folders))
    targets = {"spark": {"type": "spark", "master": "local[*]", "tables": {
        f"main.{folder.name}": {"path": str(folder)} for folder in folders}}}
    (root / "zel_project.yml").write_text(
        yaml.safe_dump({"name": "bench", "target": "spark", "targets": targets}))
    (root / "models").mkdir()
    names = ", ".join(f"{{name: {folder.name}}}" for folder in folders)
    (root / "models" / "sources.yml").write_text(
        f"sources:\n  - name: raw\n    schema: main\n    tables: [{names}]\n")
    return root, folders


def _age(*paths: Path) -> None:
    # A file written within the last seconds proves nothing (see kor.adapters.evidence).
    moment = time.time() - 60
    for path in paths:
        os.utime(path, (moment, moment))


def skip_unchanged(count: int) -> None:
    """`--skip-unchanged` beside a full run (minimal mode) on `count` tiny tables over files:
    nothing changed, then 1 % of the tables given one more file."""
    def timed(project: Path, skip: bool) -> tuple[float, int]:
        devnull = open(os.devnull, "w")  # noqa: SIM115 - the run's own report, not wanted here
        stdout, sys.stdout = sys.stdout, devnull
        try:
            start = time.perf_counter()
            run = profile_project(project, mode="minimal", skip_unchanged=skip)
            seconds = time.perf_counter() - start
        finally:
            sys.stdout = stdout
            devnull.close()
        if not run.succeeded:
            sys.exit("--skip-unchanged bench: the run failed")
        return seconds, len(run.reused)

    with tempfile.TemporaryDirectory(prefix="kor-bench-spark-skip-") as scratch:
        project, folders = tiny_tables_project(Path(scratch), count)
        timed(project, False)  # the first measurement, every table's evidence recorded
        full, _ = timed(project, False)
        same, same_reused = timed(project, True)
        changed = folders[::100]
        for folder in changed:
            extra = folder / "part-1.parquet"
            duckdb.sql(f"COPY (SELECT 1000 AS id, 'new' AS label, 0.5 AS amount) TO '{extra}' "
                       "(FORMAT parquet)")
            _age(extra)
        after, after_reused = timed(project, True)
    print(f"{count:,} tiny tables over files, --mode minimal (the session already running)")
    print(f"  full run{'':<44}{full:>8.1f} s")
    print(f"  --skip-unchanged, nothing changed ({same_reused:,} reused){'':<11}{same:>8.1f} s"
          f"  full/skip {full / same:.1f}x")
    print(f"  --skip-unchanged, {len(changed):,} tables changed ({after_reused:,} reused)"
          f"{'':<8}{after:>8.1f} s  full/skip {full / after:.1f}x", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 4_000_000])
    parser.add_argument("--levers", action="store_true",
                        help="also each lever alone and the statements as written")
    parser.add_argument("--one-job", action="store_true",
                        help="also the five numeric columns' statements as one SELECT each")
    parser.add_argument("--quick", action="store_true", help="100,000 rows")
    parser.add_argument("--skip", type=int, metavar="TABLES",
                        help="instead: --skip-unchanged beside a full run on TABLES tiny tables")
    args = parser.parse_args()
    sizes = [100_000] if args.quick else args.rows
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    # Spark's default 1g heap dies of the exact quartiles of 4M distinct values (as written,
    # or as one percentile): both keep every value with its count in one task.
    owner = spark_adapter.SparkAdapter.from_target(
        {"type": "spark", "master": "local[*]", "conf": {"spark.driver.memory": DRIVER_MEMORY}},
        Path.cwd(), threads=1)
    session = owner._session
    if args.skip:
        try:
            skip_unchanged(args.skip)
        finally:
            owner.close()
        return
    print(f"{len(COLUMNS)} columns, Parquet, local[*] on {os.cpu_count()} cores, "
          f"{DRIVER_MEMORY} heap, engine's threads: {owner.suggested_threads()}")
    print(f"{'rows':>10}  {'plan':<46}{'seconds':>9}{'before 1st':>12}{'x summary':>11}"
          "  stored figures")
    try:
        for rows in sizes:
            table = parquet_table(rows)
            frame = session.read.parquet(str(table))
            plans = [WRITTEN, *LEVERS, ENGINE] if args.levers else [ENGINE]
            with tempfile.TemporaryDirectory(prefix="kor-bench-spark-") as scratch:
                project = write_project(Path(scratch), table)
                # Before and after the plans, the faster of the two: the first query of a
                # session also warms its JVM.
                summary = summarized(frame)
                written: dict[Any, Any] | None = None
                lines = []
                for plan in plans:
                    seconds, before, stored = profile(project, plan)
                    written = stored if plan is WRITTEN else written
                    verdict = ("" if written is None else "the same as written"
                               if stored == written else "DIFFER from written")
                    lines.append((plan.name, seconds, before, verdict))
                summary = min(summary, summarized(frame))
            print(f"{rows:>10,}  {'df.summary(), the faster of two':<46}{summary:>9.1f}")
            for name, seconds, before, verdict in lines:
                print(f"{rows:>10,}  {name:<46}{seconds:>9.1f}{before:>12.1f}"
                      f"{seconds / summary:>11.2f}  {verdict}", flush=True)
            if args.one_job:
                one_job_for_all(session, table)
    finally:
        owner.close()


if __name__ == "__main__":
    main()
