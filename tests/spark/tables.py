"""Parquet tables that DuckDB writes and Spark and DuckDB both read; their profiles compared."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import duckdb
import pytest

from tests.reliability.test_hostile_names import NAMES

# Eight types, NULLs and empty strings. Every column with top values has at most ten distinct
# values, so that no tie decides which values make the ten; the timestamps cross a daylight
# saving change of America/New_York, where a local-time rendering would show.
TYPED = """
SELECT CASE WHEN i % 7 = 0 THEN NULL ELSE (i % 9)::INTEGER END AS c_int,
       (i * 7919)::BIGINT AS c_bigint,
       CASE WHEN i % 11 = 0 THEN NULL ELSE i / 7.0 END::DOUBLE AS c_double,
       ((i % 300) * 1.25)::DECIMAL(12,2) AS c_decimal,
       CASE WHEN i % 5 = 0 THEN NULL WHEN i % 5 = 1 THEN '' ELSE 'v' || (i % 6) END AS c_string,
       DATE '2024-01-01' + (i % 8)::INTEGER AS c_date,
       CASE WHEN i % 9 = 0 THEN NULL
            ELSE TIMESTAMP '2024-03-10 00:30:00' + to_hours(i % 10) END AS c_timestamp,
       CASE WHEN i % 4 = 0 THEN NULL ELSE i % 3 = 0 END AS c_boolean
FROM range(2000) r(i)
"""
TYPED_COLUMNS = [("c_int", "int"), ("c_bigint", "bigint"), ("c_double", "double"),
                 ("c_decimal", "decimal(12,2)"), ("c_string", "string"), ("c_date", "date"),
                 ("c_timestamp", "timestamp"), ("c_boolean", "boolean")]
# Spark reads a Parquet timestamp without a zone as timestamp_ntz; as `timestamp` it is an
# instant, which PySpark would hand over in the machine's local time.
AS_INSTANTS = {"spark.sql.parquet.inferTimestampNTZ.enabled": "false"}

# The names the other warehouses are tested with, and a few that only backticks make hostile.
HOSTILE_NAMES = [*NAMES.values(), "100%", "a\\b", "with space", "a`b", "`", "#tag",
                 "AS DOUBLE PRECISION", "(", ")"]


def hostile_sql() -> str:
    """A table of one numeric column per hostile name."""
    columns = ", ".join(f"(i % {n + 2})::INTEGER AS {duck_quote(name)}"
                        for n, name in enumerate(HOSTILE_NAMES))
    return f"SELECT {columns} FROM range(40) r(i)"


def hostile_query(quote: Callable[[str], str]) -> str:
    """One statement that names every hostile column, quoted by `quote`, in the task's terms."""
    return ("SELECT " + ", ".join(f"MAX({quote(name)}), "
                                  f"AVG(CAST({quote(name)} AS DOUBLE PRECISION))"
                                  for name in HOSTILE_NAMES) + " FROM main.hostile")


def duck_quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def write_parquet(path: Path, select: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    duckdb.sql(f"COPY ({select}) TO '{path}' (FORMAT parquet)")
    return path


def duckdb_views(database: Path, tables: Mapping[str, Path]) -> Path:
    """A DuckDB warehouse whose views `main.<name>` read the Parquet files."""
    with duckdb.connect(str(database)) as connection:
        for name, path in tables.items():
            connection.execute(f"CREATE VIEW {duck_quote(name)} AS "
                               f"SELECT * FROM read_parquet('{path}')")
    return database


def comparable(profile: Mapping[str, Any]) -> dict[str, Any]:
    """A column's metrics as a warehouse computes them: its type's spelling, timings, run stamps
    and the order of tied top values left out; floats compared to within rounding, ages to
    within the time between the runs."""
    left_out = {"data_type", "duration_ms", "profiled_at", "run_id"}
    result: dict[str, Any] = {}
    for key, value in profile.items():
        if key in left_out:
            continue
        if key == "top_values" and value is not None:
            value = sorted((entry["value"], entry["count"]) for entry in value)
        elif key == "freshness_seconds" and value is not None:
            # An age at the moment of each run: the runs minutes apart at most.
            value = pytest.approx(value, abs=600)
        elif isinstance(value, float):
            value = pytest.approx(value, rel=1e-12, abs=1e-12)
        result[key] = value
    return result
