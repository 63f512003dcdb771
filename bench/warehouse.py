"""The benchmark warehouses, built deterministically under bench/.data/ and reused by name."""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import duckdb

DATA_DIR = Path(__file__).resolve().parent / ".data"
# Bumped whenever a table definition below changes, so an old file is never reused.
GENERATION = 1

# The wide table: 24 columns over range(n) r(i), of every kind the profiler tells apart
# (numeric, text, other), with nulls, constants and low- and high-cardinality values.
WIDE_COLUMNS = [
    ("id", "BIGINT", "i"),
    ("customer_id", "INTEGER", "(hash(i) % 50000)::INTEGER"),
    ("quantity", "INTEGER", "(i % 97)::INTEGER"),
    ("small_code", "SMALLINT", "(i % 12)::SMALLINT"),
    ("big_hash", "BIGINT", "(hash(i * 3) % 1000000000000)::BIGINT"),
    ("amount", "DECIMAL(12,2)", "((hash(i * 5) % 1000000) / 100.0)::DECIMAL(12,2)"),
    ("price", "DOUBLE", "(hash(i * 7) % 100000) / 7.0"),
    ("ratio", "DOUBLE",
     "CASE WHEN i % 11 = 0 THEN NULL ELSE (hash(i * 11) % 1000) / 1000.0 END"),
    ("score", "FLOAT", "((i * 37) % 1000)::FLOAT / 10"),
    ("rate", "DECIMAL(5,4)", "((i % 10000) / 10000.0)::DECIMAL(5,4)"),
    ("constant_one", "INTEGER", "1"),
    ("name", "VARCHAR", "'customer_' || i"),
    ("status", "VARCHAR", "['placed', 'shipped', 'delivered', 'returned', 'lost'][1 + i % 5]"),
    ("email", "VARCHAR",
     "CASE WHEN hash(i) % 10 = 0 THEN NULL ELSE 'c' || (hash(i) % 900000) || '@example.com' END"),
    ("country", "VARCHAR", "'country_' || (hash(i * 13) % 50)"),
    ("code", "VARCHAR", "substr(md5(i::VARCHAR), 1, 8)"),
    ("comment", "VARCHAR", "CASE WHEN i % 50 = 0 THEN 'note ' || (i % 1000) ELSE NULL END"),
    ("always_null", "VARCHAR", "NULL::VARCHAR"),
    ("created_on", "DATE", "DATE '2020-01-01' + (i % 2000)::INTEGER"),
    ("updated_at", "TIMESTAMP", "TIMESTAMP '2024-01-01' + INTERVAL (i % 31536000) SECOND"),
    ("is_active", "BOOLEAN", "i % 3 = 0"),
    ("is_flagged", "BOOLEAN", "CASE WHEN i % 17 = 0 THEN NULL ELSE i % 2 = 0 END"),
    ("shipped_on", "DATE",
     "CASE WHEN i % 4 = 0 THEN NULL ELSE DATE '2021-06-01' + (i % 900)::INTEGER END"),
    ("duration", "INTERVAL", "INTERVAL (i % 86400) SECOND"),
]

# One small table of the many-tables project: 10 columns.
SMALL_COLUMNS = [
    ("id", "INTEGER", "i::INTEGER"),
    ("bucket", "SMALLINT", "(i % 10)::SMALLINT"),
    ("amount", "DECIMAL(10,2)", "((hash(i + {t}) % 100000) / 100.0)::DECIMAL(10,2)"),
    ("price", "DOUBLE", "CASE WHEN i % 9 = 0 THEN NULL ELSE (hash(i * {t}) % 1000) / 3.0 END"),
    ("name", "VARCHAR", "'item_{t}_' || i"),
    ("status", "VARCHAR", "['new', 'open', 'closed', 'void'][1 + (i + {t}) % 4]"),
    ("email", "VARCHAR", "CASE WHEN i % 6 = 0 THEN NULL ELSE 'u' || (i % 700) || '@x.org' END"),
    ("day", "DATE", "DATE '2023-01-01' + (i % 365)::INTEGER"),
    ("stamp", "TIMESTAMP", "TIMESTAMP '2023-01-01' + INTERVAL (i * 61) SECOND"),
    ("flag", "BOOLEAN", "i % 2 = 0"),
]


@dataclass(frozen=True)
class Warehouse:
    """One benchmark warehouse file and the tables in it."""

    path: Path
    tables: list[str]
    columns: list[tuple[str, str]]  # every table has these (name, type) columns
    rows: int

    @property
    def column_count(self) -> int:
        return len(self.tables) * len(self.columns)


def _build(path: Path, statements: list[str], block_size: int | None = None) -> None:
    """Writes the file under a temporary name and renames it: a half-built file is never reused."""
    if path.exists():
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    handle, scratch = tempfile.mkstemp(dir=path.parent, suffix=".tmp")
    os.close(handle)
    os.unlink(scratch)  # duckdb wants to create the file itself
    try:
        with duckdb.connect() as connection:
            options = f" (BLOCK_SIZE {block_size:d})" if block_size else ""
            quoted = "'" + scratch.replace("'", "''") + "'"
            connection.execute(f"ATTACH {quoted} AS built{options}")
            connection.execute("USE built")
            for statement in statements:
                connection.execute(statement)
        os.replace(scratch, path)
    finally:
        for leftover in (scratch, scratch + ".wal"):
            if os.path.exists(leftover):
                os.unlink(leftover)


def _select(columns: list[tuple[str, str, str]], rows: int, table: int = 0) -> str:
    items = ",\n       ".join(f"{expr.format(t=table)} AS {name}" for name, _, expr in columns)
    return f"SELECT {items}\nFROM range({rows}) r(i)"


def wide_warehouse(rows: int) -> Warehouse:
    path = DATA_DIR / f"wide-g{GENERATION}-{rows}.duckdb"
    _build(path, [f"CREATE TABLE wide AS {_select(WIDE_COLUMNS, rows)}"])
    return Warehouse(path, ["wide"], [(name, sql_type) for name, sql_type, _ in WIDE_COLUMNS],
                     rows)


def many_tables_warehouse(tables: int, rows: int) -> Warehouse:
    path = DATA_DIR / f"many-g{GENERATION}-{tables}x{rows}.duckdb"
    names = [f"table_{t:04d}" for t in range(tables)]
    _build(path, [f"CREATE TABLE {name} AS {_select(SMALL_COLUMNS, rows, t + 1)}"
                  for t, name in enumerate(names)])
    return Warehouse(path, names, [(name, sql_type) for name, sql_type, _ in SMALL_COLUMNS], rows)


def tiny_tables_warehouse(tables: int) -> Warehouse:
    """`tables` tables of 3 rows x 2 columns: what a run costs per table, not per row."""
    path = DATA_DIR / f"tiny-g{GENERATION}-{tables}.duckdb"
    names = [f"tiny_{t:05d}" for t in range(tables)]
    columns = [("id", "INTEGER", "i::INTEGER"), ("label", "VARCHAR", "'v' || i")]
    # The smallest block DuckDB allows: every table takes at least one block, and the default
    # 256 KiB would make 10,000 tables a 2.6 GB file.
    _build(path, ["BEGIN", *(f"CREATE TABLE {name} AS {_select(columns, 3)}" for name in names),
                  "COMMIT"], block_size=16384)
    return Warehouse(path, names, [(name, sql_type) for name, sql_type, _ in columns], 3)


def write_project(project_dir: Path, warehouse: Warehouse, declare_columns: bool,
                  settings: str = "") -> Path:
    """A project folder whose one source lists the warehouse's tables; the store lands inside.

    Without declared columns the profiler asks the warehouse for each table's columns.
    `settings` is added to the target as written (YAML flow mapping entries).
    """
    extra = f", {settings}" if settings else ""
    lines = ["name: bench", "target: dev", "targets:",
             f"  dev: {{type: duckdb, path: '{warehouse.path}'{extra}}}"]
    (project_dir / "models").mkdir(parents=True, exist_ok=True)
    (project_dir / "zel_project.yml").write_text("\n".join(lines) + "\n", encoding="utf-8")
    model = ["sources:", "  - name: raw", "    schema: main", "    tables:"]
    for table in warehouse.tables:
        model.append(f"      - name: {table}")
        if declare_columns:
            model.append("        columns:")
            model.extend(f"          - {{name: {name}, data_type: '{sql_type}'}}"
                         for name, sql_type in warehouse.columns)
    (project_dir / "models" / "sources.yml").write_text("\n".join(model) + "\n", encoding="utf-8")
    return project_dir


@contextmanager
def postgres_dsn() -> Iterator[str]:
    """The PostgreSQL server KOR_TEST_PG names, else a throw-away cluster for the block."""
    from tests import pg_server

    if dsn := os.environ.get("KOR_TEST_PG"):
        yield dsn
        return
    # A folder of its own: as root the cluster belongs to the postgres user.
    server = pg_server.start(Path(tempfile.mkdtemp(prefix="kor-pg-")))
    try:
        yield server.dsn
    finally:
        server.stop("immediate")
        shutil.rmtree(server.root, ignore_errors=True)
