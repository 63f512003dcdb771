"""The metadata store read back: latest runs, name narrowing, history, JSON fields, lock waits."""

from __future__ import annotations

import subprocess
import sys
from datetime import datetime

import duckdb
import pytest

from kor.compute.metadata import ProjectMetadataStore, decode_alerts, decode_top_values
from tests.builders import stored_row
from tests.report.conftest import alerts

DAY1, DAY2, DAY3 = (datetime(2026, 1, day, 8, 0) for day in (1, 2, 3))


@pytest.mark.parametrize("table, source, expected", [
    (None, None, {("a", "b"), ("raw", "a.b"), ("raw", "orders"), ("stg", "orders")}),
    ("orders", None, {("raw", "orders"), ("stg", "orders")}),
    ("raw.orders", None, {("raw", "orders")}),
    ("a.b", None, {("raw", "a.b"), ("a", "b")}),  # a dotted table name, and source a's b
    ("a.b", "raw", {("raw", "a.b")}),
    ("raw.orders", "raw", set()),
    ("nope", None, set()),
])
def test_names_narrow_by_table_and_source(fill_store, table, source, expected):
    store = fill_store(*(stored_row(s, t, "c", DAY1) for s, t in
                         [("raw", "orders"), ("stg", "orders"), ("raw", "a.b"), ("a", "b")]))
    latest = {(r.source_name, r.table_name) for r in store.latest_profiles(table, source)}
    history = {(r.source_name, r.table_name) for r in store.table_history(table, source)}
    assert latest == history == expected


def test_latest_run_summary_and_history(fill_store):
    # Saved out of order: runs are told apart and ordered by profiled_at, not by insertion.
    store = fill_store(
        stored_row("raw", "orders", "id", DAY2, row_count=9, profile_mode="minimal",
                   alerts=alerts(("MISSING", "warning", "m"), ("HIGH_MISSING", "error", "m"))),
        stored_row("raw", "orders", "old", DAY1, row_count=3),
        stored_row("raw", "orders", "name", DAY2, row_count=9, profile_mode="minimal",
                   alerts=alerts(("MISSING", "warning", "m"))),
        stored_row("raw", "users", "id", DAY3),
    )
    assert [r.column_name for r in store.latest_profiles("orders")] == ["id", "name"]
    orders, users = store.profiled_tables()
    assert (orders.profiled_at, orders.profile_mode, orders.row_count, orders.column_count,
            orders.alerts_by_severity) == (DAY2, "minimal", 9, 2, {"warning": 2, "error": 1})
    assert (users.table_name, users.alert_count) == ("users", 0)
    assert [(r.profiled_at, r.row_count, r.column_count, r.alert_count)
            for r in store.table_history("orders")] == [(DAY1, 3, 1, 0), (DAY2, 9, 2, 3)]


@pytest.mark.parametrize("text, expected", [
    (None, []), ("not json", []), ('{"value": "a", "count": 1}', []),
    ('[1, {"value": "a"}, {"value": "b", "count": "2"}, {"value": "c", "count": 1}]',
     [{"value": "c", "count": 1}]),
])
def test_json_fields_decode_to_lists(text, expected):
    assert decode_top_values(stored_row(top_values=text)) == expected
    assert len(decode_alerts(stored_row(alerts=text))) == (3 if expected else 0)


@pytest.mark.parametrize("make", ["missing", "no table"])
def test_an_empty_or_missing_store_reads_as_nothing(tmp_path, make):
    store = ProjectMetadataStore(tmp_path)
    if make == "no table":
        store.path.parent.mkdir()
        duckdb.connect(str(store.path)).close()
    assert store.latest_profiles() == store.profiled_tables() == store.table_history("t") == []
    assert store.path.exists() == (make == "no table")  # reading creates nothing


def test_a_store_held_by_another_process_is_waited_for(fill_store):
    store = fill_store(stored_row())
    script = (f"import duckdb, time\nc = duckdb.connect({str(store.path)!r})\n"
              "print('held', flush=True)\ntime.sleep(1)")
    with subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                          text=True) as holder:
        try:
            assert holder.stdout.readline().strip() == "held"
            assert [r.column_name for r in store.latest_profiles()] == ["id"]
        finally:
            holder.wait(timeout=30)


def test_other_open_errors_are_not_retried(fill_store, monkeypatch):
    store, attempts = fill_store(stored_row()), []

    def connect(*args, **kwargs):
        attempts.append(args)
        raise duckdb.IOException('Cannot open database "x": database does not exist')

    monkeypatch.setattr(duckdb, "connect", connect)
    with pytest.raises(duckdb.IOException, match="does not exist"):
        store.latest_profiles()
    assert len(attempts) == 1
