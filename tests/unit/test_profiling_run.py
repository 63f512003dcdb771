"""Whole runs with fakes: table and node profiling, both drivers, the store, the summary."""

from __future__ import annotations

import json
import sys
import threading
import types

import pytest

from kor.adapters import factory
from tests.builders import flags, manifest, model, source
from tests.fakes import Column, ScriptedAdapter


class RecordingStore:
    rows: list = []
    events: list = []
    fail_on: int | None = None
    failure = "disk [full]"

    def __init__(self, project_root):
        self.events.append(("open", project_root))

    def initialize(self):
        self.events.append(("initialize",))

    def save_profile_result(self, row):
        if self.fail_on is not None and len(self.rows) == self.fail_on:
            raise RuntimeError(self.failure)
        self.rows.append(row)

    def close(self):
        self.events.append(("close",))


@pytest.fixture
def store(monkeypatch):
    module = types.ModuleType("kor.compute.metadata")
    from kor.compute.metadata import ColumnProfileResult

    module.ColumnProfileResult = ColumnProfileResult
    module.ProjectMetadataStore = RecordingStore
    RecordingStore.rows, RecordingStore.events, RecordingStore.fail_on = [], [], None
    RecordingStore.failure = "disk [full]"
    monkeypatch.setitem(sys.modules, "kor.compute.metadata", module)
    return RecordingStore


def warehouse():
    """orders: 3 declared columns; customers: asks the warehouse; missing: its count fails."""

    def answer(sql):
        if "missing" in sql:
            raise RuntimeError("Catalog Error: Table missing does not exist")
        if sql.startswith("SELECT COUNT(*) as cnt FROM"):
            return None, [(2500,)]
        if "as val, COUNT(*)" in sql:
            return None, [("a", 2000), ("[red]x", 500)]
        if "LENGTH" in sql:
            return None, [(0, 2, 1, 5, 2.5, "[red]x", "a")]
        if "STDDEV" in sql:
            return None, [(0, 2, 1, 1, 1.0, 0.0)]
        if "PERCENTILE" in sql:
            return None, [(1, 1, 1)]
        return None, [(2500, 0)]

    return ScriptedAdapter(default=answer, columns=[Column("id", "INTEGER"),
                                                    Column("note", "VARCHAR")])


def graph():
    return manifest(
        source("raw", "orders", "orders[/bold]",
               columns=[("id", "INTEGER"), ("status", "VARCHAR"), ("placed", None)]),
        source("raw", "customers"),
        source("raw", "missing"),
        model("stg_orders", alias="stg_orders_v"),
    )


@pytest.fixture
def adapter(monkeypatch):
    made = warehouse()
    monkeypatch.setattr(factory, "get_adapter", lambda config: made)
    return made


@pytest.mark.parametrize("threads", [1, 4])
def test_plain_run(make_task, adapter, store, plain_output, capsys, threads):
    task = make_task(flags(SELECT=("source:*", "model:*"), THREADS=threads), graph())
    result = task.run()
    out = capsys.readouterr().out.splitlines()

    assert [p.table_name for p in result.profiles] == [
        "orders[/bold]", "customers", "missing", "stg_orders"]
    assert [p.status for p in result.profiles] == ["success", "success", "error", "success"]
    assert result.tables_profiled == 4
    assert result.total_rows == 2500 * 3
    assert result.total_columns == 3 + 2 + 0 + 2
    assert result.total_alerts == sum(len(p.alerts) for p in result.profiles)
    assert task.interpret_results(result) is True

    assert "  [1/4] Profiling raw.orders[/bold]..." in out
    assert "       OK (2,500 rows, 3 cols)" in out
    assert "       FAIL (0 rows, 0 cols)" in out
    assert "  SUMMARY" in out and "  Total rows: 7,500" in out

    orders = result.profiles[0]
    assert sorted(c.column_name for c in orders.columns) == ["id", "placed", "status"]
    placed = next(c for c in orders.columns if c.column_name == "placed")
    assert placed.data_type == "VARCHAR"
    assert result.profiles[2].error == "Catalog Error: Table missing does not exist"
    assert any('"stg_orders_v"' in sql for sql in adapter.statements)

    assert len(store.rows) == 7
    row = store.rows[0]
    assert row.source_name == "raw" and row.profiled_at == orders.profiled_at
    by_column = {r.column_name: r for r in store.rows if r.table_name == "orders[/bold]"}
    assert json.loads(by_column["status"].top_values) == [
        {"value": "a", "count": 2000}, {"value": "[red]x", "count": 500}]
    # One value (min = max): one bin of every non-null row, without a query.
    assert json.loads(by_column["id"].histogram) == [{"low": 1.0, "high": 1.0, "count": 2500}]
    assert (by_column["status"].min_exact, by_column["status"].max_exact) == ("[red]x", "a")
    assert (by_column["status"].column_kind, by_column["placed"].column_kind) == ("text", "text")


def test_rich_run_prints_data_literally(make_task, adapter, store, rich_console):
    task = make_task(flags(SELECT=("source:*",), THREADS=2), graph())
    result = task.run()
    text = rich_console.export_text()
    assert "OK raw.orders[/bold] (2,500 rows, 3 cols," in text
    assert "FAIL raw.missing (0 rows, 0 cols," in text
    assert "Summary" in text and "Tables failed:    1" in text
    # A failed table is not a complete run: the closing lines say so and why.
    assert "Profiling complete!" not in text and "Profiling finished with errors." in text
    assert "  FAIL raw.missing: Catalog Error: Table missing does not exist\n" in text
    assert "Results saved to: .zel/metadata_store.duckdb" in text
    assert result.tables_profiled == 3


def test_failing_column_on_the_pool(make_task, adapter, store, plain_output, profile_module):
    class OneBad(profile_module.ProfileTask):
        def _profile_column_sql(self, adapter, database, schema, table, col_name, col_type, rows):
            if col_name == "status":
                raise ValueError("x" * 250)
            return profile_module.ColumnProfile(col_name, col_type, rows)

    task = make_task(flags(THREADS=8), graph(), cls=OneBad)
    (column,) = [c for c in task._execute_profile(graph().sources["source.shop.raw.orders"])
                 if c.column_name == "status"]
    assert column.alerts == [{"type": "PROFILE_ERROR", "severity": "warning",
                              "message": "x" * 100}]
    assert (column.data_type, column.row_count) == ("VARCHAR", 2500)


def test_interrupt_in_a_column_leaves_run(make_task, adapter, store, plain_output,
                                          profile_module):
    class Interrupted(profile_module.ProfileTask):
        def _profile_column_sql(self, *args):
            raise KeyboardInterrupt

    before = threading.active_count()
    with pytest.raises(KeyboardInterrupt):
        make_task(flags(THREADS=4), graph(), cls=Interrupted).run()
    assert threading.active_count() == before


@pytest.mark.parametrize("listing_error", [None, RuntimeError("server closed the connection")])
def test_placeholder_only_for_a_listing_without_columns(make_task, adapter, store, plain_output,
                                                        listing_error):
    adapter.columns, adapter.columns_error = [], listing_error
    task = make_task(flags(SELECT=("customers",)), graph())
    (profile,) = task.run().profiles
    if listing_error is not None:
        assert (profile.status, profile.error, profile.columns) == (
            "error", "server closed the connection", [])
        return
    (column,) = profile.columns
    assert (column.column_name, column.data_type, column.row_count) == ("_table_", "TABLE", 2500)
    assert profile.alerts == [] and profile.column_count == 1


@pytest.mark.parametrize("rich", [False, True])
def test_store_failures_are_warnings(make_task, adapter, store, capsys, monkeypatch,
                                     profile_module, rich):
    from rich.console import Console

    console = Console(record=True, width=200) if rich else None
    monkeypatch.setattr(profile_module, "HAS_RICH", rich)
    monkeypatch.setattr(profile_module, "console", console)
    store.fail_on = 1
    result = make_task(flags(SELECT=("orders",)), graph()).run()
    text = console.export_text() if rich else capsys.readouterr().out
    assert "Warning: Could not store profile results: disk [full]" in text
    assert len(store.rows) == 1 and ("close",) not in store.events
    assert result.tables_profiled == 1
    # The driver learns the rows were lost: the result says which table, and the run fails.
    assert result.errors == ["raw.orders[/bold]: profile results not stored"]
    assert "Not stored: 1 of 1 tables" in text
    assert make_task().interpret_results(result) is False


def test_node_naming(make_task, profile_module):
    task = make_task()
    src = source("raw", "orders", "orders_tbl", config={"target": "pg"})
    mdl = model("stg", alias="v")
    assert task._profile_node(src, 1, 2).connection_name == "pg"
    broken = task._profile_node(mdl, 1, 2)
    # A model's config always has `target`; "default" is only for nodes without a config.
    assert (broken.source_name, broken.table_name, broken.connection_name) == (
        "models", "stg", None)
    assert task._profile_node(types.SimpleNamespace(name="n"), 1, 1).connection_name == "default"
    assert broken.status == "error" and broken.columns == []


@pytest.mark.parametrize("rich", [False, True])
def test_control_characters_from_the_warehouse_are_shown_escaped(make_task, store, capsys,
                                                                 monkeypatch, profile_module,
                                                                 rich):
    from rich.console import Console

    console = Console(record=True, width=200) if rich else None
    monkeypatch.setattr(profile_module, "HAS_RICH", rich)
    monkeypatch.setattr(profile_module, "console", console)
    made = ScriptedAdapter(answers={"gone": RuntimeError("no table\x1b[2J"),
                                    "COUNT(*) as cnt": [(5,)]},
                           default=RuntimeError("denied\x1b[31m"))
    monkeypatch.setattr(factory, "get_adapter", lambda config: made)
    store.fail_on, store.failure = 0, "disk \x1b[5m full"
    graph = manifest(source("raw", "orders", "ord\x1b]0;pwned\x07ers-é", columns=[("c", "DATE")]),
                     source("raw", "gone\x9b\x00"))
    make_task(flags(THREADS=1), graph).run()
    text = console.export_text() if rich else capsys.readouterr().out
    assert not set(text) & set("\x1b\x07\x00\x9b")
    shown = ["raw.ord\\x1b]0;pwned\\x07ers-é", "raw.gone\\x9b\\x00: no table\\x1b[2J",
             "Warning: Could not store profile results: disk \\x1b[5m full"]
    if rich:
        shown.append("Could not profile column: denied\\x1b[31m")  # in the alerts table
    for expected in shown:
        assert expected in text
