"""What only the PostgreSQL adapter does: catalog spelling, databases, snapshots, failing fast."""

from __future__ import annotations

import socket
import threading
from pathlib import Path

import psycopg
import pytest

from kor.adapters import factory
from kor.adapters.base import TableNotFound
from kor.adapters.factory import AdapterError, get_adapter
from kor.adapters.postgres import PostgresAdapter
from kor.config.runtime import RuntimeConfig
from tests.builders import flags, manifest, source

pytestmark = pytest.mark.postgres


@pytest.fixture
def adapter(postgres):
    adapter = PostgresAdapter.from_target(postgres.settings, Path(), threads=4)
    yield adapter
    adapter.close()


def config(settings: dict, name: str = "pg") -> RuntimeConfig:
    return RuntimeConfig(project_root=Path("/nonexistent"), project_name="shop",
                         target_name=name, target=dict(settings))


def test_columns_come_in_order_with_the_catalog_spelling(postgres, pg_schema, adapter):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".t (id integer, name character varying(20), '
                  "note text, price numeric(10,2), ratio double precision, ok boolean, "
                  'day date, at timestamp, "Mixed Case" varchar)')
        c.execute(f'ALTER TABLE "{pg_schema}".t DROP COLUMN note')
    relation = adapter.Relation.create(database=None, schema=pg_schema, identifier="t")
    columns = [(col.name, col.dtype) for col in adapter.get_columns_in_relation(relation)]
    assert columns == [("id", "integer"), ("name", "character varying(20)"),
                       ("price", "numeric(10,2)"), ("ratio", "double precision"),
                       ("ok", "boolean"), ("day", "date"),
                       ("at", "timestamp without time zone"),
                       ("Mixed Case", "character varying")]


@pytest.mark.parametrize("database, identifier, found", [
    ("kor_test", "t", True), (None, "s", True), ("elsewhere", "t", False),
    (None, "T", False), (None, "t_pkey", False)])
def test_only_queryable_relations_of_the_database_are_found(postgres, pg_schema, adapter,
                                                            database, identifier, found):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".t (id integer PRIMARY KEY)')
        c.execute(f'CREATE SEQUENCE "{pg_schema}".s')
    relation = adapter.Relation.create(database=database, schema=pg_schema,
                                       identifier=identifier)
    if found:
        assert adapter.get_columns_in_relation(relation)
    else:
        with pytest.raises(TableNotFound, match="^table not found: "):
            adapter.get_columns_in_relation(relation)


def test_a_statement_timeout_is_the_statements_failure_not_an_interrupt(postgres):
    settings = {**postgres.settings, "options": "-c statement_timeout=200"}
    adapter = PostgresAdapter.from_target(settings, Path(), threads=1)
    try:
        with pytest.raises(psycopg.errors.QueryCanceled, match="statement timeout"):
            adapter.execute("SELECT pg_sleep(5)")
        assert adapter.execute("SELECT 1", fetch=True)[1] == [(1,)]
    finally:
        adapter.close()


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("change, message", [
    ({"password": "wrong"}, "password authentication failed"),
    ({"port": None}, "Connection refused"),
    ({"dbname": "no_such_db"}, 'database "no_such_db" does not exist'),
])
def test_unreachable_warehouse_fails_fast_with_one_line(postgres, change, message):
    settings = {**postgres.settings, **change}
    if "port" in change:
        settings["port"] = closed_port()
    with pytest.raises(AdapterError) as caught:
        get_adapter(config(settings, name=f"bad-{message[:8]}"))
    assert message in str(caught.value) and "\n" not in str(caught.value)
    assert str(caught.value).startswith(f"target 'bad-{message[:8]}': ")


def test_factory_returns_one_adapter_per_config(postgres):
    first = get_adapter(config(postgres.settings))
    assert get_adapter(config(postgres.settings)) is first
    assert get_adapter(config({**postgres.settings, "connect_timeout": 3})) is not first


def test_each_table_is_profiled_from_one_snapshot_while_it_is_loaded(
        postgres, pg_schema, make_task, profile_module, plain_output, monkeypatch):
    table = f'"{pg_schema}".loading'
    # One null `half` and one non-null per pair of ids; `doc` (json) fails its column query
    # on a session in mid-snapshot, and that session goes on with the next column.
    insert = (f"INSERT INTO {table} SELECT '{{}}'::json, n, CASE WHEN n %% 2 = 0 THEN n END "
              "FROM generate_series(%s::bigint, %s::bigint) n")
    with postgres.connect() as c:
        c.execute(f"CREATE TABLE {table} (doc json, id bigint, half bigint)")
        c.execute(insert, (1, 2000))
    adapter = PostgresAdapter.from_target(postgres.settings, Path(), threads=2)
    monkeypatch.setattr(factory, "get_adapter", lambda *args, **kwargs: adapter)
    loading = threading.Event()

    def load() -> None:
        with postgres.connect() as c:
            n = 2000
            while not loading.is_set():
                c.execute(insert, (n + 1, n + 2))
                n += 2

    class SnapshotPerTable(profile_module.ProfileTask):
        """The library's table step: one snapshot around each table's statements."""

        def _execute_profile(self, node):
            with adapter.snapshot():
                return super()._execute_profile(node)

    writer = threading.Thread(target=load)
    writer.start()
    try:
        nodes = [source(f"s{n}", "loading", schema=pg_schema) for n in range(4)]
        result = make_task(flags(MODE="minimal", THREADS=2), manifest(*nodes),
                           cls=SnapshotPerTable).run()
    finally:
        loading.set()
        writer.join()
    with postgres.connect() as c:
        in_transaction = c.execute("SELECT count(*) FROM pg_stat_activity WHERE state LIKE "
                                   "'idle in transaction%'").fetchone()
    adapter.close()
    assert in_transaction == (0,)
    assert [p.status for p in result.profiles] == ["success"] * 4
    for profile in result.profiles:
        columns = {c.column_name: c for c in profile.columns}
        assert columns["id"].distinct_count == columns["id"].row_count
        assert columns["half"].null_count * 2 == columns["half"].row_count
        assert [a["type"] for a in columns["doc"].alerts] == ["PROFILE_ERROR"]
