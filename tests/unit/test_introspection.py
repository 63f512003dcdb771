"""The adapter, quoted table names, column lists and row counts."""

from __future__ import annotations

from decimal import Decimal

import pytest

from kor.adapters import factory
from tests.fakes import Column, Relation, ScriptedAdapter


@pytest.mark.parametrize(
    "database, schema, expected",
    [
        (None, "s", '"s"."t"'),
        ("", "s", '"s"."t"'),
        ("db", "", '"db"."t"'),
        ("db", "s", '"db"."s"."t"'),
        (None, "", '"t"'),
    ],
)
def test_build_fqn(make_task, database, schema, expected):
    assert make_task()._build_fqn(ScriptedAdapter(), database, schema, "t") == expected


def test_build_fqn_adds_nothing_to_quote(make_task):
    adapter = ScriptedAdapter(quote_format="{}")
    assert make_task()._build_fqn(adapter, "db", "s", "t") == "db.s.t"


@pytest.mark.parametrize("cell, expected", [(42, 42), (Decimal("42"), 42), ("42", 42),
                                            (None, 0)])
def test_row_count(make_task, cell, expected):
    adapter = ScriptedAdapter(answers={"COUNT(*)": [(cell,)]})
    count = make_task()._get_row_count(adapter, None, "main", "orders")
    assert count == expected and type(count) is int
    assert adapter.statements == ['SELECT COUNT(*) as cnt FROM "main"."orders"']
    assert adapter.exits == [("profile", None)]


@pytest.mark.parametrize("answer", [lambda sql: [(1,)], lambda sql: (None, [], 3),
                                    lambda sql: (None, [])])
def test_unreadable_or_empty_results_count_as_zero(make_task, answer):
    adapter = ScriptedAdapter(answers={"COUNT": answer})
    assert make_task()._get_row_count(adapter, None, "main", "t") == 0


@pytest.mark.parametrize("where", ["execute", "enter"])
def test_warehouse_failures_of_the_count_propagate(make_task, where):
    failure = RuntimeError("no such table")
    adapter = (ScriptedAdapter(answers={"COUNT": failure}) if where == "execute"
               else ScriptedAdapter(enter_error=failure))
    with pytest.raises(RuntimeError, match="no such table"):
        make_task()._get_row_count(adapter, None, "main", "t")
    if where == "execute":
        assert adapter.exits == [("profile", RuntimeError)]


def test_a_suppressing_connection_block_gives_zero(make_task):
    adapter = ScriptedAdapter(answers={"COUNT": RuntimeError("x")}, exit_returns=True)
    assert make_task()._get_row_count(adapter, None, "main", "t") == 0


def test_interrupts_pass_the_count(make_task):
    adapter = ScriptedAdapter(answers={"COUNT": KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        make_task()._get_row_count(adapter, None, "main", "t")


def test_columns_from_db(make_task):
    adapter = ScriptedAdapter(columns=[Column("b", "VARCHAR(10)"), Column("a", "numeric(10,2)")])
    got = make_task()._get_columns_from_db(adapter, "db", "main", "orders")
    assert got == [("b", "VARCHAR(10)"), ("a", "numeric(10,2)")]
    assert adapter.calls[0] == ("Relation.create", "db", "main", "orders")
    assert adapter.exits == [("profile", None)]


@pytest.mark.parametrize(
    "adapter, error",
    [
        (ScriptedAdapter(relation_error=RuntimeError("bad relation")), RuntimeError),
        (ScriptedAdapter(enter_error=ConnectionError("refused")), ConnectionError),
        (ScriptedAdapter(columns_error=RuntimeError("listing failed")), RuntimeError),
        (ScriptedAdapter(columns=[Relation(None, "s", "no name or dtype")]), AttributeError),
        (ScriptedAdapter(columns_error=KeyboardInterrupt()), KeyboardInterrupt),
    ],
)
def test_listing_failures_propagate(make_task, adapter, error):
    # The table then fails with the warehouse's reason instead of passing as column-less.
    with pytest.raises(error):
        make_task()._get_columns_from_db(adapter, None, "main", "orders")


def test_a_listing_failure_the_connection_block_swallows_gives_no_columns(make_task):
    adapter = ScriptedAdapter(columns_error=RuntimeError("listing failed"), exit_returns=True)
    assert make_task()._get_columns_from_db(adapter, None, "main", "orders") == []


@pytest.mark.parametrize("method", ["_get_columns_from_db", "_get_row_count"])
def test_a_missing_schema_is_refused(make_task, method):
    with pytest.raises(TypeError, match="'schema'"):
        getattr(make_task(), method)(ScriptedAdapter(), None, None, "t")


def test_get_adapter_ignores_the_target_name(make_task, monkeypatch, runtime_config):
    seen = []
    monkeypatch.setattr(factory, "get_adapter", lambda config: seen.append(config) or "A")
    task = make_task()
    assert task._get_adapter() == task._get_adapter("other") == "A"
    assert seen == [runtime_config, runtime_config]
