"""The metadata store read back: latest runs, name narrowing, history, JSON fields, lock waits."""

from __future__ import annotations

import json
import subprocess
import sys
from datetime import datetime

import duckdb
import pytest

from kor.compute import metadata
from kor.compute.metadata import (
    ProjectMetadataStore,
    decode_alerts,
    decode_histogram,
    decode_top_values,
)
from tests.builders import stored_row
from tests.report.conftest import alerts

DAY1, DAY2, DAY3 = (datetime(2026, 1, day, 8, 0) for day in (1, 2, 3))


@pytest.fixture
def named_store(fill_store):
    # A dotted table name and a source.table spelling that collide on purpose.
    return fill_store(*(stored_row(source, table, "c", DAY1) for source, table in
                        [("raw", "orders"), ("stg", "orders"), ("raw", "a.b"), ("a", "b")]))


@pytest.mark.parametrize("table, source, expected", [
    (None, None, {("a", "b"), ("raw", "a.b"), ("raw", "orders"), ("stg", "orders")}),
    ("orders", None, {("raw", "orders"), ("stg", "orders")}),
    ("raw.orders", None, {("raw", "orders")}),
    ("a.b", None, {("raw", "a.b"), ("a", "b")}),
    ("a.b", "raw", {("raw", "a.b")}),
    ("raw.orders", "raw", set()),
    (None, "stg", {("stg", "orders")}),
    ("nope", None, set()),
])
def test_names_narrow_by_table_and_source(named_store, table, source, expected):
    latest = {(r.source_name, r.table_name) for r in named_store.latest_profiles(table, source)}
    history = {(r.source_name, r.table_name)
               for r in named_store.table_history(table, source)} if table else expected
    assert latest == expected and history == expected


def test_latest_run_per_table_and_its_summary(fill_store):
    store = fill_store(
        stored_row("raw", "orders", "old_column", DAY1, row_count=3),
        stored_row("raw", "orders", "id", DAY2, row_count=9, profile_mode="minimal",
                   alerts=alerts(("MISSING", "warning", "m"), ("HIGH_MISSING", "error", "m"))),
        stored_row("raw", "orders", "name", DAY2, row_count=9, profile_mode="minimal",
                   alerts=alerts(("MISSING", "warning", "m"))),
        stored_row("raw", "users", "id", DAY1),
    )
    assert [r.column_name for r in store.latest_profiles("orders")] == ["id", "name"]
    orders, users = store.profiled_tables()
    assert (orders.table_name, orders.profiled_at, orders.profile_mode, orders.row_count,
            orders.column_count) == ("orders", DAY2, "minimal", 9, 2)
    assert orders.alerts_by_severity == {"warning": 2, "error": 1} and orders.alert_count == 3
    assert (users.table_name, users.alert_count) == ("users", 0)


def test_history_is_oldest_first_one_entry_per_run(fill_store):
    # Saved out of order: the history is ordered by profiled_at, not by insertion.
    store = fill_store(
        stored_row("raw", "orders", "id", DAY3, row_count=30),
        stored_row("raw", "orders", "id", DAY1, row_count=10, alerts=alerts(("A", "info", "m"))),
        stored_row("raw", "orders", "x", DAY1, row_count=10, alerts=alerts(("A", "info", "m"))),
        stored_row("raw", "orders", "id", DAY2, row_count=20, profile_mode="sensitive"),
    )
    runs = store.table_history("orders")
    assert [(r.profiled_at, r.row_count, r.column_count, r.alert_count, r.profile_mode)
            for r in runs] == [(DAY1, 10, 2, 2, "explorative"), (DAY2, 20, 1, 0, "sensitive"),
                               (DAY3, 30, 1, 0, "explorative")]


@pytest.mark.parametrize("text, expected", [
    (None, []), ("", []), ("not json", []), ('{"value": "a"}', []), ("3", []),
    ('[1, "x", {"value": "a", "count": 2}]', [{"value": "a", "count": 2}]),
])
def test_json_fields_decode_to_lists(text, expected):
    row = stored_row(top_values=text, histogram=text, alerts=text)
    assert decode_top_values(row) == decode_histogram(row) == decode_alerts(row) == expected


def test_top_values_without_a_count_are_dropped():
    row = stored_row(top_values=json.dumps([{"value": "a"}, {"value": "b", "count": "2"},
                                            {"value": "c", "count": 1}]))
    assert decode_top_values(row) == [{"value": "c", "count": 1}]


@pytest.mark.parametrize("make", ["missing", "no table"])
def test_an_empty_or_missing_store_reads_as_nothing(tmp_path, make):
    store = ProjectMetadataStore(tmp_path)
    if make == "no table":
        store.path.parent.mkdir()
        duckdb.connect(str(store.path)).close()
    assert store.latest_profiles() == store.profiled_tables() == []
    assert store.table_history("orders") == []
    assert not (make == "missing" and store.path.exists())  # reading creates nothing


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


@pytest.mark.parametrize("message, calls", [
    ('Could not set lock on file "x": Conflicting lock is held in python (PID 1)', 3),
    ('Cannot open database "x" in read-only mode: database does not exist', 1),
])
def test_only_a_lock_conflict_is_retried(fill_store, monkeypatch, message, calls):
    store = fill_store(stored_row())
    real_connect, attempts = duckdb.connect, []

    def connect(*args, **kwargs):
        attempts.append(args)
        if len(attempts) < 3:
            raise duckdb.IOException(message)
        return real_connect(*args, **kwargs)

    monkeypatch.setattr(metadata.duckdb, "connect", connect)
    if calls == 1:
        with pytest.raises(duckdb.IOException, match="does not exist"):
            store.latest_profiles()
    else:
        assert len(store.latest_profiles()) == 1
    assert len(attempts) == calls


def test_the_lock_wait_is_bounded(fill_store, monkeypatch):
    store = fill_store(stored_row())
    monkeypatch.setattr(ProjectMetadataStore, "LOCK_WAIT_SECONDS", 0.1)

    def connect(*args, **kwargs):
        raise duckdb.IOException("Could not set lock on file: Conflicting lock is held")

    monkeypatch.setattr(metadata.duckdb, "connect", connect)
    with pytest.raises(duckdb.IOException, match="Conflicting lock"):
        store.profiled_tables()
