"""The new figures on real data: TPC-H, profiled on DuckDB and on PostgreSQL, each figure checked
against what the warehouse itself answers to a plain query, and each histogram against bins
counted here in Python from every value of the column.

Run: .venv/bin/python bench/real_data.py [--scale 0.1] [--only duckdb|postgres]
Needs the `bench` extra (tpchgen-cli, the TPC-H generator). PostgreSQL: the server KOR_TEST_PG
names, else a throw-away cluster (tests/pg_server.py). Exits 1 when any figure differs.
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

sys.path[0] = str(Path(__file__).resolve().parent.parent)

import duckdb  # noqa: E402

from bench.runs import MeasuredTask, flags, silenced_report  # noqa: E402
from bench.warehouse import postgres_dsn  # noqa: E402
from kor.config.runtime import RuntimeConfig  # noqa: E402
from kor.contracts.graph.manifest import Manifest  # noqa: E402
from kor.contracts.graph.nodes import SourceDefinition  # noqa: E402

TABLES = ("region", "nation", "supplier", "customer", "part", "partsupp", "orders", "lineitem")
# DuckDB's types of the generated files, as PostgreSQL spells them.
PG_TYPES = {"INTEGER": "integer", "BIGINT": "bigint", "VARCHAR": "text", "DATE": "date",
            "DOUBLE": "double precision"}

Query = Callable[[str], list[tuple[Any, ...]]]


def generate(scale: float, folder: Path) -> duckdb.DuckDBPyConnection:
    """TPC-H at `scale` in a DuckDB file under `folder`, from the generator's Parquet files."""
    subprocess.run([str(Path(sys.executable).with_name("tpchgen-cli")), "parquet", "-s",
                    str(scale), f"--output-dir={folder}"], check=True)
    connection = duckdb.connect(str(folder / "tpch.duckdb"))
    for table in TABLES:
        connection.execute(f"CREATE TABLE {table} AS "
                           f"SELECT * FROM read_parquet('{folder / table}.parquet')")
    return connection


def pg_type(duckdb_type: str) -> str:
    return duckdb_type.replace("DECIMAL", "numeric") if duckdb_type.startswith("DECIMAL") \
        else PG_TYPES[duckdb_type]


def copy_to_postgres(source: duckdb.DuckDBPyConnection, dsn: str, folder: Path) -> None:
    import psycopg

    with psycopg.connect(dsn, autocommit=True) as connection:
        for table in TABLES:
            columns = source.execute(f"DESCRIBE {table}").fetchall()
            connection.execute(f"DROP TABLE IF EXISTS tpch_{table}")
            connection.execute(f"CREATE TABLE tpch_{table} ("
                               + ", ".join(f"{c[0]} {pg_type(c[1])}" for c in columns) + ")")
            csv = folder / f"{table}.csv"
            source.execute(f"COPY {table} TO '{csv}' (HEADER false)")
            with connection.cursor() as cursor, cursor.copy(
                    f"COPY tpch_{table} FROM STDIN (FORMAT csv)") as copy, open(csv, "rb") as f:
                while chunk := f.read(1 << 20):
                    copy.write(chunk)
            connection.execute(f"ANALYZE tpch_{table}")


def profiles(config: RuntimeConfig, adapter: Any, schema: str,
             prefix: str) -> Iterator[tuple[str, Any]]:
    """(relation name, column profile) of every column of the TPC-H tables."""
    nodes = [SourceDefinition(unique_id=f"source.tpch.raw.{t}", name=t, source_name="raw",
                              identifier=f"{prefix}{t}", schema=schema) for t in TABLES]
    task = MeasuredTask(flags(4), config, Manifest(sources={n.unique_id: n for n in nodes}),
                        adapter, store=False)
    with silenced_report():
        result = task.run()
    if not task.interpret_results(result):
        raise RuntimeError("the profile run failed")
    for table in result.profiles:
        yield from ((table.table_name, column) for column in table.columns)


def as_text(value: Any) -> str:
    """A warehouse's value as the profile keeps an exact one: ISO-8601 for dates and times."""
    if isinstance(value, dt.datetime | dt.date):
        return value.isoformat()
    return str(value)


def python_bins(values: list[Any], low: float, high: float) -> list[int]:
    """Ten equal-width bins, the maximum in the last: the arithmetic done here, value by value;
    one bin for a column of one value."""
    if low == high:
        return [len(values)]
    width = (high - low) / 10
    counts = [0] * 10
    for value in values:
        counts[min(max(math.floor((float(value) - low) / width), 0), 9)] += 1
    return counts


def period_start(value: dt.date, period: str) -> dt.date:
    day = value.date() if isinstance(value, dt.datetime) else value
    if period == "day":
        return day
    if period == "week":
        return day - dt.timedelta(days=day.weekday())
    if period == "month":
        return day.replace(day=1)
    return day.replace(month=1, day=1)


def check_column(query: Query, relation: str, column: Any) -> list[str]:
    """What differs between the profile of `column` and the warehouse's own answers."""
    name, kind, problems = column.column_name, column.column_kind, []
    # Exact extremes are compared as numbers where the warehouse returns numbers: a DECIMAL's
    # text keeps its scale on one warehouse and not on another.
    low, high = query(f"SELECT MIN({name}), MAX({name}) FROM {relation}")[0]
    for label, stored, own in (("min", column.min_exact, low), ("max", column.max_exact, high)):
        if stored is None and own is None:
            continue
        same = (float(stored) == float(own)) if kind == "numeric" \
            else (stored == as_text(own) or (kind == "text" and stored == own))
        if not same:
            problems.append(f"{label} {stored!r} but the warehouse says {own!r}")
    if column.histogram:
        values = [row[0] for row in query(f"SELECT {name} FROM {relation} "
                                          f"WHERE {name} IS NOT NULL")]
        if kind == "numeric":
            expected = python_bins(values, float(low), float(high))
            got = [b["count"] for b in column.histogram]
        else:
            period = column.histogram[0]["period"]
            counted = Counter(period_start(v, period) for v in values)
            expected = [counted[k] for k in sorted(counted)]
            got = [b["count"] for b in column.histogram]
            starts = [b["start"][:10] for b in column.histogram]
            if starts != [k.isoformat() for k in sorted(counted)]:
                problems.append(f"histogram periods {starts[:3]}… differ")
        if got != expected:
            problems.append(f"histogram {got} but the values give {expected}")
    return problems


def check(label: str, config: RuntimeConfig, adapter: Any, query: Query, schema: str,
          prefix: str) -> int:
    checked, failures, histograms, kinds = 0, 0, 0, Counter[str]()
    for table, column in profiles(config, adapter, schema, prefix):
        problems = check_column(query, f"{schema}.{table}", column)
        histograms += bool(column.histogram)
        checked += 1
        kinds[column.column_kind] += 1
        failures += bool(problems)
        for problem in problems:
            print(f"  {label} {table}.{column.column_name}: {problem}")
    shown = ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items()))
    print(f"{label}: {checked} columns ({shown}), {histograms} with a histogram; "
          f"{failures} with a difference")
    return failures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scale", type=float, default=0.1)
    parser.add_argument("--only", choices=["duckdb", "postgres"])
    options = parser.parse_args()
    failures = 0
    with tempfile.TemporaryDirectory(prefix="kor-tpch-") as name:
        folder = Path(name)
        source = generate(options.scale, folder)
        source.close()
        path = folder / "tpch.duckdb"
        if options.only in (None, "duckdb"):
            from kor.adapters.duckdb import DuckDBAdapter

            config = RuntimeConfig(folder, "tpch", "dev", {"type": "duckdb", "path": str(path)})
            adapter = DuckDBAdapter(path)
            own = duckdb.connect(str(path), read_only=True)
            try:
                failures += check(f"DuckDB, TPC-H {options.scale}", config, adapter,
                                  lambda sql: own.execute(sql).fetchall(), "main", "")
            finally:
                own.close()
                adapter.close()
        if options.only in (None, "postgres"):
            failures += postgres_case(options.scale, folder, path)
    sys.exit(1 if failures else 0)


def postgres_case(scale: float, folder: Path, path: Path) -> int:
    import psycopg
    from psycopg.conninfo import conninfo_to_dict

    from kor.adapters.postgres import PostgresAdapter

    with postgres_dsn() as dsn:
        source = duckdb.connect(str(path), read_only=True)
        try:
            copy_to_postgres(source, dsn, folder)
        finally:
            source.close()
        settings = {"type": "postgres", **conninfo_to_dict(dsn)}
        config = RuntimeConfig(folder, "tpch", "pg", settings)
        adapter = PostgresAdapter.from_target(settings, folder, threads=4)
        with psycopg.connect(dsn, autocommit=True) as own:
            try:
                return check(f"PostgreSQL, TPC-H {scale}", config, adapter,
                             lambda sql: own.execute(sql).fetchall(), "public", "tpch_")
            finally:
                adapter.close()


if __name__ == "__main__":
    main()
