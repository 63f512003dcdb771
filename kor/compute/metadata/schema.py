"""The store's row record and the table made from it."""

from __future__ import annotations

import types
from dataclasses import dataclass, fields
from datetime import datetime
from pathlib import Path
from typing import Union, get_args, get_origin, get_type_hints

STORE_FOLDER = ".zel"
STORE_FILE = "metadata_store.duckdb"
PROFILES_TABLE = "column_profiles"
# The store's layout: 1 had `column_profiles` alone; 2 added runs, table runs and run ids;
# 3 added the profile fields after `duration_ms` (LAYOUT_3_FIELDS) and LAYOUT_3_DDL.
LAYOUT_VERSION = 3


def store_path(project_root: Path) -> Path:
    """Where the metadata store of a project lives."""
    return Path(project_root) / STORE_FOLDER / STORE_FILE


@dataclass(kw_only=True)
class ColumnProfileResult:
    """One stored column profile; list fields arrive as JSON text or None.

    The counts and percentages are None where a column could not be measured.
    """

    source_name: str
    table_name: str
    column_name: str
    profile_mode: str
    row_count: int
    null_count: int | None
    null_percent: float | None
    distinct_count: int | None
    distinct_percent: float | None
    min_value: float | None = None
    max_value: float | None = None
    mean_value: float | None = None
    median_value: float | None = None
    stddev_value: float | None = None
    p25: float | None = None
    p50: float | None = None
    p75: float | None = None
    min_length: int | None = None
    max_length: int | None = None
    avg_length: float | None = None
    histogram: str | None = None
    top_values: str | None = None
    alerts: str | None = None
    profiled_at: datetime
    duration_ms: int
    # Layout 3. The kind the column was profiled as: numeric, text, temporal, boolean,
    # nested or other (None: a type no adapter named, classified by its keywords).
    column_kind: str | None = None
    # The warehouse's own minimum and maximum, exactly: digits of any number, ISO-8601 for
    # dates and times (with the offset where the type has a time zone), the text itself.
    min_exact: str | None = None
    max_exact: str | None = None
    # Booleans: how many values are true and how many false.
    true_count: int | None = None
    false_count: int | None = None
    # Dates and timestamps: how many values lie after the warehouse's clock at the run, and
    # the age of the latest value then, in seconds (negative when it lies ahead).
    future_count: int | None = None
    freshness_seconds: float | None = None


_SQL_TYPES: dict[type, str] = {int: "BIGINT", float: "DOUBLE", str: "VARCHAR",
                               datetime: "TIMESTAMP"}


def _sql_type(annotation: object) -> str:
    # `X | None` stores as X's type; every column is nullable anyway.
    if get_origin(annotation) in (Union, types.UnionType):
        (annotation,) = [arg for arg in get_args(annotation) if arg is not type(None)]
    assert isinstance(annotation, type), annotation
    return _SQL_TYPES[annotation]


_HINTS = get_type_hints(ColumnProfileResult)
# (name, SQL type) of every stored field, in the record's order.
PROFILE_COLUMNS: tuple[tuple[str, str], ...] = tuple(
    (f.name, _sql_type(_HINTS[f.name])) for f in fields(ColumnProfileResult))
PROFILE_FIELDS: tuple[str, ...] = tuple(name for name, _ in PROFILE_COLUMNS)
# The fields a store of layout 2 lacks: the upgrade adds them.
LAYOUT_3_FIELDS: tuple[str, ...] = PROFILE_FIELDS[PROFILE_FIELDS.index("duration_ms") + 1:]


def profiles_table_ddl() -> str:
    """The first layout's table; later layouts add `run_id` to it."""
    columns = ", ".join(f"{name} {sql_type}" for name, sql_type in PROFILE_COLUMNS)
    return f"CREATE TABLE IF NOT EXISTS {PROFILES_TABLE} ({columns})"


# What layout 2 adds. A run is one `zel profile run`; a table run is one table of it, whatever
# became of it (its rows are in column_profiles under the same run_id when it was stored).
LAYOUT_2_DDL = (
    "CREATE TABLE store_meta (key VARCHAR NOT NULL, value VARCHAR)",
    """CREATE TABLE runs (
        run_id BIGINT NOT NULL, started_at TIMESTAMP NOT NULL, ended_at TIMESTAMP,
        project VARCHAR, target VARCHAR, selectors VARCHAR, profile_mode VARCHAR,
        threads INTEGER, status VARCHAR NOT NULL, exit_status INTEGER, tool_version VARCHAR)""",
    """CREATE TABLE table_runs (
        run_id BIGINT NOT NULL, source_name VARCHAR NOT NULL, table_name VARCHAR NOT NULL,
        status VARCHAR NOT NULL, error VARCHAR, row_count BIGINT, column_count INTEGER,
        duration_ms BIGINT, profiled_at TIMESTAMP NOT NULL, columns VARCHAR,
        stored BOOLEAN NOT NULL)""",
    f"ALTER TABLE {PROFILES_TABLE} ADD COLUMN run_id BIGINT",
)

# What layout 3 adds besides the profile fields (LAYOUT_3_FIELDS, added from the record).
LAYOUT_3_DDL: tuple[str, ...] = (
    # How fresh each table was at its run: the column that said so and its latest value's age.
    "ALTER TABLE table_runs ADD COLUMN IF NOT EXISTS freshness_column VARCHAR",
    "ALTER TABLE table_runs ADD COLUMN IF NOT EXISTS freshness_seconds DOUBLE",
    # The warehouse's own columns of a table whose columns the models file declares.
    "ALTER TABLE table_runs ADD COLUMN IF NOT EXISTS warehouse_columns VARCHAR",
    # A figure that left its usual range in a run (status 'anomaly'), or stayed where the
    # previous anomaly took it ('shift': its baseline starts again at `baseline_from`), with
    # the range it was judged by; column_name is NULL for a table's own figures.
    """CREATE TABLE IF NOT EXISTS anomalies (
        run_id BIGINT NOT NULL, source_name VARCHAR NOT NULL, table_name VARCHAR NOT NULL,
        column_name VARCHAR, metric VARCHAR NOT NULL, status VARCHAR NOT NULL,
        value DOUBLE NOT NULL, low DOUBLE NOT NULL, high DOUBLE NOT NULL,
        median DOUBLE NOT NULL, runs INTEGER NOT NULL, seasonal BOOLEAN NOT NULL,
        severity VARCHAR NOT NULL, baseline_from BIGINT)""",
    # A table run of `--skip-unchanged` that reused an earlier profile: the run that measured
    # it (its rows are copied under the new run id), and, for every measured or reused table
    # run, the evidence that the data is unchanged while it stays the same (JSON; NULL when the
    # warehouse cannot prove it).
    "ALTER TABLE table_runs ADD COLUMN IF NOT EXISTS reused_from BIGINT",
    "ALTER TABLE table_runs ADD COLUMN IF NOT EXISTS evidence VARCHAR",
)
# The stored fields of an anomaly, in the table's order.
ANOMALY_FIELDS = ("run_id", "source_name", "table_name", "column_name", "metric", "status",
                  "value", "low", "high", "median", "runs", "seasonal", "severity",
                  "baseline_from")
