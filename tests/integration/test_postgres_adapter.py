"""What only the PostgreSQL adapter does: catalog spelling, databases, failing fast."""

from __future__ import annotations

import socket
from pathlib import Path

import pytest

from kor.adapters.factory import AdapterError, get_adapter
from kor.adapters.postgres import PostgresAdapter
from kor.config.runtime import RuntimeConfig

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


@pytest.mark.parametrize("database, expected", [("kor_test", 1), ("elsewhere", 0)])
def test_columns_honour_the_database(postgres, pg_schema, adapter, database, expected):
    with postgres.connect() as c:
        c.execute(f'CREATE TABLE "{pg_schema}".t (id integer)')
    relation = adapter.Relation.create(database=database, schema=pg_schema, identifier="t")
    assert len(adapter.get_columns_in_relation(relation)) == expected


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
