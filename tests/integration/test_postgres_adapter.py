"""The PostgreSQL adapter against a real server: catalog types, quoting, read-only, threads."""

from __future__ import annotations

import socket
import threading
from pathlib import Path

import psycopg
import pytest

from kor.adapters.factory import AdapterError, get_adapter
from kor.adapters.postgres import PostgresAdapter
from kor.config.runtime import RuntimeConfig

pytestmark = pytest.mark.postgres


@pytest.fixture
def adapter(postgres):
    adapter = PostgresAdapter.from_target({**postgres.settings, "threads": 4})
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


@pytest.mark.parametrize("database, expected", [("kor_test", 1), ("elsewhere", 0)])
def test_columns_honour_the_database(postgres, pg_schema, adapter, database, expected):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".t (id integer)')
    relation = adapter.Relation.create(database=database, schema=pg_schema, identifier="t")
    assert len(adapter.get_columns_in_relation(relation)) == expected


@pytest.mark.parametrize("name", ['a"b', 'x"; DROP TABLE keep; --', "100%", "ünï cödé", "a\\b"])
def test_quoted_identifiers_reach_the_right_table(postgres, pg_schema, adapter, name):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".keep (i integer)')
        c.execute(f"CREATE TABLE {adapter.quote(pg_schema)}.{adapter.quote(name)} "
                  f"({adapter.quote(name)} integer)")
        c.execute(f"INSERT INTO {adapter.quote(pg_schema)}.{adapter.quote(name)} VALUES (7)")
    fqn = f"{adapter.quote(pg_schema)}.{adapter.quote(name)}"
    _, rows = adapter.execute(f"SELECT MAX({adapter.quote(name)}) as m FROM {fqn}", fetch=True)
    assert rows == [(7,)]
    with postgres.connect() as c:
        assert c.execute(f'SELECT COUNT(*) FROM "{pg_schema}".keep').fetchone() == (0,)


@pytest.mark.parametrize("statement", ["CREATE TABLE {s}.w (i integer)",
                                       "INSERT INTO {s}.r VALUES (1)",
                                       "DROP TABLE {s}.r"])
def test_sessions_are_read_only(postgres, pg_schema, adapter, statement):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".r (i integer)')
    with pytest.raises(psycopg.errors.ReadOnlySqlTransaction):
        adapter.execute(statement.format(s=f'"{pg_schema}"'))
    # The failed statement leaves no aborted transaction behind on that session.
    assert adapter.execute("SELECT 1", fetch=True)[1] == [(1,)]
    with postgres.connect() as c:
        assert c.execute(f'SELECT COUNT(*) FROM "{pg_schema}".r').fetchone() == (0,)


def test_execute_returns_a_response_and_a_list_of_tuples(adapter):
    response, rows = adapter.execute("SELECT 1 as a, NULL as b UNION ALL SELECT 2, 'x'",
                                     fetch=True)
    assert isinstance(response, str) and rows == [(1, None), (2, "x")]
    assert adapter.execute("SELECT 1")[1] == []


def test_many_threads_share_the_pool_without_mixing_results(adapter):
    results: dict[int, list] = {}
    errors: list[BaseException] = []

    def work(number: int) -> None:
        try:
            with adapter.connection_named("profile"):
                results[number] = [adapter.execute(f"SELECT {number} + {i}", fetch=True)[1][0][0]
                                   for i in range(20)]
        except BaseException as exc:  # noqa: BLE001 - reported by the assertion below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not errors and not any(t.is_alive() for t in threads)
    assert results == {n: [n + i for i in range(20)] for n in range(16)}


def test_a_nested_block_uses_the_same_session(adapter):
    with adapter.connection_named("profile"):
        outer = adapter.execute("SELECT pg_backend_pid()", fetch=True)[1]
        with adapter.connection_named("profile"):
            inner = adapter.execute("SELECT pg_backend_pid()", fetch=True)[1]
    assert outer == inner


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
    assert get_adapter(config({**postgres.settings, "threads": 2})) is not first
