"""What only the DuckDB adapter does: names found the way DuckDB finds them, engine settings."""

from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import duckdb
import pytest

from kor.adapters.base import TableNotFound
from kor.adapters.duckdb import DuckDBAdapter
from kor.adapters.factory import AdapterError, get_adapter
from kor.config.runtime import RuntimeConfig

ORDERS = [("id", "INTEGER"), ("Total", "DECIMAL(10,2)")]


@pytest.fixture
def warehouse(tmp_path) -> Path:
    path = tmp_path / "warehouse.duckdb"
    with duckdb.connect(str(path)) as connection:
        connection.execute('CREATE TABLE orders (id INTEGER, "Total" DECIMAL(10,2))')
        connection.execute('CREATE SCHEMA "Raw"')
        # DuckDB folds only ASCII letters: these are two tables.
        connection.execute('CREATE TABLE "Raw"."Ünï" (a INTEGER)')
        connection.execute('CREATE TABLE "Raw"."ünï" (b VARCHAR)')
    return path


@pytest.mark.parametrize("schema, table, expected", [
    ("main", "orders", ORDERS),
    ("MAIN", "Orders", ORDERS),
    ("raw", "Ünï", [("a", "INTEGER")]),
    ("RAW", "ünï", [("b", "VARCHAR")]),
    ("Raw", "ÜNÏ", None),
    ("main", "nope", None),
    ("nope", "orders", None),
])
def test_tables_are_found_as_duckdb_resolves_names(warehouse, schema, table, expected):
    adapter = DuckDBAdapter(warehouse)
    relation = adapter.Relation.create(database=None, schema=schema, identifier=table)
    try:
        if expected is None:
            with pytest.raises(TableNotFound, match=f"^table not found: {schema}.{table}$"):
                adapter.get_columns_in_relation(relation)
        else:
            assert [(c.name, c.dtype)
                    for c in adapter.get_columns_in_relation(relation)] == expected
    finally:
        adapter.close()


def config(path: Path, **settings: object) -> RuntimeConfig:
    return RuntimeConfig(project_root=path.parent, project_name="shop", target_name="dev",
                         target={"type": "duckdb", "path": path.name, **settings})


@pytest.mark.parametrize("settings, expected", [
    ({"memory_limit": "256MiB", "threads": 2}, ("256.0 MiB", 2)),
    ({"memory_limit": "1GB", "threads": "3"}, ("953.6 MiB", 3)),  # "3" as ${VAR} gives it
    ({"memory_limit": "lots"}, "memory_limit 'lots': Parser Error: Memory must have a number"),
    ({"memory_limit": 1000}, "memory_limit must be a size such as '4GB'"),
    ({"memory_limit": "1GB'; SET threads=1; --"}, "memory_limit \"1GB'; SET threads=1; --\": "),
    ({"threads": 0}, "threads must be a whole number of at least 1, not 0"),
    ({"threads": True}, "threads must be a whole number of at least 1, not True"),
])
def test_memory_limit_and_threads_or_one_line_saying_what_is_wrong(warehouse, settings,
                                                                   expected):
    if isinstance(expected, str):
        with pytest.raises(AdapterError) as caught:
            get_adapter(config(warehouse, **settings))
        assert str(caught.value).startswith(f"target 'dev': {expected}")
        assert "\n" not in str(caught.value)
        return
    adapter = get_adapter(config(warehouse, **settings))
    with adapter.connection_named("profile"):  # a cursor made after the settings
        _, rows = adapter.execute("SELECT current_setting('memory_limit'), "
                                  "current_setting('threads')", fetch=True)
    assert rows == [expected]


def _replace(path: Path) -> None:
    copy = path.with_name("copy.duckdb")
    shutil.copy2(path, copy)
    os.replace(copy, path)


@pytest.mark.parametrize("database, schema, table, age, after_open, proven", [
    (None, "main", "orders", 100, None, True),
    ("WAREHOUSE", "RAW", "ünï", 100, None, True),
    (None, "main", "recent", 100, None, False),  # a view may read other files
    ("other", "main", "orders", 100, None, False),
    (None, "main", "orders", 0, None, False),  # the clock's tick may hide the next write
    (None, "main", "orders", 100, _replace, False),  # the identity is not the data read
])
def test_only_a_settled_base_table_of_the_file_opened_has_evidence(
        warehouse, database, schema, table, age, after_open, proven):
    with duckdb.connect(str(warehouse)) as connection:
        connection.execute("CREATE VIEW recent AS SELECT * FROM orders")
    moment = time.time() - age
    os.utime(warehouse, (moment, moment))
    adapter = DuckDBAdapter(warehouse)
    try:
        if after_open is not None:
            after_open(warehouse)
        evidence = adapter.change_evidence(
            adapter.Relation.create(database=database, schema=schema, identifier=table))
    finally:
        adapter.close()
    assert (evidence is not None) is proven
    if proven:
        stat = os.stat(warehouse)
        assert evidence == {"duckdb_file": {
            "path": str(warehouse.resolve()), "wal": None,
            "file": [stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns,
                     stat.st_ctime_ns]}}
