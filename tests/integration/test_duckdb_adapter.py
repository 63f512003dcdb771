"""What only the DuckDB adapter does: names found the way DuckDB finds them, engine settings."""

from __future__ import annotations

from pathlib import Path

import duckdb
import pytest

from kor.adapters.base import TableNotFound
from kor.adapters.duckdb import DuckDBAdapter
from kor.adapters.factory import AdapterError, get_adapter
from kor.config.runtime import RuntimeConfig
from tests.builders import flags, manifest, source

ORDERS = [("id", "INTEGER"), ("Total", "DECIMAL(10,2)")]


@pytest.fixture
def warehouse(tmp_path) -> Path:
    path = tmp_path / "warehouse.duckdb"
    with duckdb.connect(str(path)) as connection:
        connection.execute('CREATE TABLE orders (id INTEGER, "Total" DECIMAL(10,2))')
        connection.execute("INSERT INTO orders VALUES (1, 2.5), (2, NULL)")
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


def test_a_schema_written_in_another_case_is_profiled(warehouse, make_task, plain_output):
    # runtime_config's target is tmp_path/warehouse.duckdb, the fixture's file.
    task = make_task(flags(MODE="minimal", THREADS=1),
                     manifest(source("raw", "orders", schema="MAIN")))
    [profile] = task.run().profiles
    assert profile.status == "success"
    assert {(c.column_name, c.data_type, c.row_count, c.null_count)
            for c in profile.columns} == {("id", "INTEGER", 2, 0),
                                          ("Total", "DECIMAL(10,2)", 2, 1)}


def config(path: Path, **settings: object) -> RuntimeConfig:
    return RuntimeConfig(project_root=path.parent, project_name="shop", target_name="dev",
                         target={"type": "duckdb", "path": path.name, **settings})


@pytest.mark.parametrize("settings, memory_limit, threads", [
    ({"memory_limit": "256MiB", "threads": 2}, "256.0 MiB", 2),
    ({"memory_limit": "1GB", "threads": "3"}, "953.6 MiB", 3),
])
def test_memory_limit_and_threads_reach_every_cursor(warehouse, settings, memory_limit, threads):
    adapter = get_adapter(config(warehouse, **settings))
    with adapter.connection_named("profile"):
        _, rows = adapter.execute("SELECT current_setting('memory_limit'), "
                                  "current_setting('threads')", fetch=True)
    assert rows == [(memory_limit, threads)]


@pytest.mark.parametrize("settings, message", [
    ({"memory_limit": "lots"}, "memory_limit 'lots': Parser Error: Memory must have a number"),
    ({"memory_limit": "1000"}, "memory_limit '1000': Parser Error: Unknown unit for memory"),
    ({"memory_limit": 1000}, "memory_limit must be a size such as '4GB'"),
    ({"memory_limit": "1GB'; SET threads=1; --"}, "memory_limit \"1GB'; SET threads=1; --\": "),
    ({"threads": 0}, "threads must be a whole number of at least 1, not 0"),
    ({"threads": "four"}, "threads must be a whole number of at least 1, not 'four'"),
    ({"threads": True}, "threads must be a whole number of at least 1, not True"),
])
def test_a_bad_setting_is_one_line_from_the_factory(warehouse, settings, message):
    with pytest.raises(AdapterError) as caught:
        get_adapter(config(warehouse, **settings))
    assert str(caught.value).startswith(f"target 'dev': {message}")
    assert "\n" not in str(caught.value)
