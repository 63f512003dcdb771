"""What every warehouse adapter promises, checked on DuckDB and on PostgreSQL alike."""

from __future__ import annotations

import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from datetime import datetime, timezone
from pathlib import Path

import duckdb
import pytest

from kor.adapters.base import TableNotFound
from kor.adapters.duckdb import DuckDBAdapter

# Minutes of work unless cancelled: a cross join of generated rows.
LONG_QUERY = {
    "duckdb": "SELECT max(hash(a.range * b.range)) FROM range(1000000) a, range(1000000) b",
    "postgres": "SELECT max(a * b) FROM generate_series(1, 1000000) a, "
                "generate_series(1, 1000000) b",
}


class Warehouse:
    """A schema filled with statements first, then opened through the adapter under test."""

    def __init__(self, kind: str, request: pytest.FixtureRequest, tmp_path: Path) -> None:
        self.kind = kind
        self._adapter = None
        if kind == "duckdb":
            self.schema = "s"
            self.path = tmp_path / "wh.duckdb"
            self.run([f"CREATE SCHEMA {self.schema}"])
        else:
            self.postgres = request.getfixturevalue("postgres")
            self.schema = request.getfixturevalue("pg_schema")

    def run(self, statements: list[str]) -> list[tuple]:
        """Statements with write access, beside the adapter; the last one's rows."""
        if self.kind == "duckdb":
            with duckdb.connect(str(self.path)) as connection:
                for statement in statements:
                    rows = connection.execute(statement).fetchall()
                return rows
        with self.postgres.connect() as connection:
            for statement in statements:
                cursor = connection.execute(statement)
            return cursor.fetchall() if cursor.description else []

    def open(self):
        if self.kind == "duckdb":
            self._adapter = DuckDBAdapter(self.path)
        else:
            from kor.adapters.postgres import PostgresAdapter

            self._adapter = PostgresAdapter.from_target(self.postgres.settings, Path(), threads=4)
        return self._adapter

    def close(self) -> None:
        if self._adapter is not None:
            self._adapter.close()


@pytest.fixture(params=["duckdb", pytest.param("postgres", marks=pytest.mark.postgres)])
def warehouse(request, tmp_path) -> Iterator[Warehouse]:
    warehouse = Warehouse(request.param, request, tmp_path)
    yield warehouse
    warehouse.close()


def quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


@pytest.mark.parametrize("name", ['a"b', 'x"; DROP TABLE keep; --', "100%", "ünï cödé", "a\\b",
                                  "with space", "n" * 60])
def test_quoted_identifiers_reach_the_right_table(warehouse, name):
    s, t = quoted(warehouse.schema), quoted(name)
    warehouse.run([f"CREATE TABLE {s}.keep (i integer)",
                   f"CREATE TABLE {s}.{t} ({t} integer)", f"INSERT INTO {s}.{t} VALUES (7)"])
    adapter = warehouse.open()
    assert adapter.quote(name) == t
    relation = adapter.Relation.create(database=None, schema=warehouse.schema, identifier=name)
    assert [c.name for c in adapter.get_columns_in_relation(relation)] == [name]
    _, rows = adapter.execute(f"SELECT MAX({t}) as m FROM {s}.{t}", fetch=True)
    assert rows == [(7,)]
    adapter.close()
    assert warehouse.run([f"SELECT COUNT(*) FROM {s}.keep"]) == [(0,)]


def test_columns_in_order_from_one_catalog_read_and_a_missing_table_named(warehouse,
                                                                         monkeypatch):
    s = warehouse.schema
    warehouse.run([f"CREATE TABLE {s}.t (z integer, a varchar, m date)",
                   f"CREATE TABLE {s}.u (k integer)", f"CREATE VIEW {s}.v AS SELECT k FROM {s}.u"])
    adapter = warehouse.open()
    reads = []
    read_schema = adapter._catalog._read_schema
    monkeypatch.setattr(adapter._catalog, "_read_schema",
                        lambda *args: reads.append(args) or read_schema(*args))

    def names(table: str) -> list[str]:
        relation = adapter.Relation.create(database=None, schema=s, identifier=table)
        columns = adapter.get_columns_in_relation(relation)
        assert all(isinstance(c.dtype, str) and c.dtype for c in columns)
        return [c.name for c in columns]

    assert (names("t"), names("u"), names("v")) == (["z", "a", "m"], ["k"], ["k"])
    with pytest.raises(TableNotFound, match=f"^table not found: {s}.nope$"):
        names("nope")
    assert reads == [(None, s)]


@pytest.mark.parametrize("statement", ["CREATE TABLE {s}.w (i integer)",
                                       "INSERT INTO {s}.r VALUES (1)", "DROP TABLE {s}.r"])
def test_the_warehouse_is_opened_read_only(warehouse, statement):
    warehouse.run([f"CREATE TABLE {warehouse.schema}.r (i integer)"])
    adapter = warehouse.open()
    with pytest.raises(Exception, match="(?i)read.only"):
        adapter.execute(statement.format(s=warehouse.schema))
    # The refused statement leaves the session usable.
    assert adapter.execute("SELECT 1", fetch=True)[1] == [(1,)]
    adapter.close()
    assert warehouse.run([f"SELECT COUNT(*) FROM {warehouse.schema}.r"]) == [(0,)]


def test_execute_returns_a_response_and_a_list_of_tuples(warehouse):
    adapter = warehouse.open()
    response, rows = adapter.execute("SELECT 1 as a, NULL as b UNION ALL SELECT 2, 'x' "
                                     "ORDER BY a", fetch=True)
    assert response is not None and rows == [(1, None), (2, "x")]
    assert adapter.execute("SELECT 1")[1] == []


def in_threads(count: int, work: Callable[[int], object]) -> dict[int, object]:
    results: dict[int, object] = {}
    errors: list[BaseException] = []

    def run(number: int) -> None:
        try:
            results[number] = work(number)
        except BaseException as exc:  # noqa: BLE001 - reported by the assertion below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not errors and not any(thread.is_alive() for thread in threads)
    return results


def test_many_threads_at_once_get_their_own_results(warehouse):
    warehouse.run([f"CREATE TABLE {warehouse.schema}.n AS SELECT * FROM "
                   + ("range(1000) r(i)" if warehouse.kind == "duckdb"
                      else "generate_series(0, 999) g(i)")])
    adapter = warehouse.open()

    def work(number: int) -> list:
        with adapter.connection_named("profile"):
            return [adapter.execute(f"SELECT COUNT(*) + {number} FROM {warehouse.schema}.n "
                                    f"WHERE i < {i}", fetch=True)[1][0][0] for i in range(20)]

    assert in_threads(16, work) == {n: [n + i for i in range(20)] for n in range(16)}


@pytest.mark.parametrize("trigger, workers", [
    ("adapter.interrupt()", 0), ("adapter.interrupt()", 3),
    ("SIGINT, handler calls adapter.interrupt() and raises", 0),
    ("SIGINT, handler calls adapter.interrupt()", 3)])
def test_an_interrupt_cancels_the_statements_of_every_thread(warehouse, trigger, workers):
    adapter = warehouse.open()
    outcomes: list[object] = []
    returned: list[float] = []

    def on_signal(signum, frame):
        adapter.interrupt()
        if "raises" in trigger:
            raise KeyboardInterrupt

    def fire() -> None:
        if trigger.startswith("SIGINT"):
            os.kill(os.getpid(), signal.SIGINT)
            return
        begun = time.monotonic()
        adapter.interrupt()
        returned.append(time.monotonic() - begun)

    def run() -> None:
        try:
            with adapter.connection_named("profile"):
                outcomes.append(adapter.execute(LONG_QUERY[warehouse.kind], fetch=True))
        except BaseException as exc:  # noqa: BLE001 - the outcome is what the test looks at
            outcomes.append(exc)

    # A handler must interrupt the adapter: duckdb runs handlers while a query runs on the main
    # thread, and at times drops the KeyboardInterrupt they raise (the query then goes on).
    previous = signal.signal(signal.SIGINT, on_signal)
    threads = [threading.Thread(target=run) for _ in range(workers)]
    # Half a second: the queries are running (an earlier interrupt would refuse them instead).
    timer = threading.Timer(0.5, fire)
    begun = time.monotonic()
    try:
        for thread in [*threads, timer]:
            thread.start()
        run()
        for thread in [*threads, timer]:
            thread.join(timeout=60)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - begun < 5 and all(r < 0.5 for r in returned)
    assert [type(outcome) for outcome in outcomes] == [KeyboardInterrupt] * (workers + 1), outcomes
    if "interrupt()" in trigger:  # the adapter takes no statement after it
        with pytest.raises(KeyboardInterrupt):
            adapter.execute("SELECT 1", fetch=True)


@pytest.mark.parametrize("column_type", ["integer", "varchar"])
def test_top_values_break_ties_by_the_value(warehouse, make_task, column_type):
    # Two values lead; twelve tie for the other eight places. Two tables hold the same
    # rows inserted in opposite orders, so a grouping order that leaked through would differ.
    s = warehouse.schema
    tied = [f"{n:02d}" for n in range(12)]
    rows = ["20"] * 4 + ["21"] * 3 + [value for value in tied for _ in range(2)]
    if column_type == "varchar":
        rows = [f"'v{value}'" for value in rows]
    for table, order in (("fwd", rows), ("rev", rows[::-1])):
        warehouse.run([f"CREATE TABLE {s}.{table} (c {column_type})",
                       f"INSERT INTO {s}.{table} VALUES {', '.join(f'({v})' for v in order)}"])
    adapter, task = warehouse.open(), make_task()
    stored = []
    for table in ("fwd", "rev"):
        profile = task._profile_column_sql(adapter, None, s, table, "c", column_type.upper(),
                                           len(rows))
        stored.append([(entry["value"], entry["count"]) for entry in profile.top_values])
    prefix = "v" if column_type == "varchar" else ""
    expected = [(f"{prefix}20", 4), (f"{prefix}21", 3)] + [
        (prefix + (value if prefix else str(int(value))), 2) for value in tied[:8]]
    assert stored == [expected, expected]


# (column type, a value of it, the kind) per warehouse; the kind decides the figures.
TYPED_COLUMNS = {
    "duckdb": [("integer", "1", "numeric"), ("hugeint", "1", "numeric"),
               ("decimal(10,2)", "1.5", "numeric"), ("varchar", "'a'", "text"),
               ("date", "DATE '2026-01-01'", "temporal"),
               ("timestamptz", "TIMESTAMPTZ '2026-01-01 00:00+00'", "temporal"),
               ("time", "TIME '01:00'", "temporal"), ("boolean", "true", "boolean"),
               ("uuid", "uuid()", "other"), ("interval", "INTERVAL 1 DAY", "other"),
               ("blob", "'\\xAA'::BLOB", "other"), ("json", "'{\"a\": 1}'", "nested"),
               ("varchar[]", "['ab', 'cd', 'ef']", "nested"),
               ("struct(a integer, b varchar)", "{'a': 1, 'b': 'x'}", "nested"),
               ("map(varchar, integer)", "MAP {'k': 1}", "nested")],
    "postgres": [("integer", "1", "numeric"), ("numeric(10,2)", "1.5", "numeric"),
                 ("character varying(20)", "'a'", "text"), ("date", "'2026-01-01'", "temporal"),
                 ("timestamp with time zone", "'2026-01-01 00:00+00'", "temporal"),
                 ("boolean", "true", "boolean"), ("uuid", "gen_random_uuid()", "other"),
                 ("interval", "'1 day'", "other"), ("money", "1.5", "other"),
                 ("inet", "'127.0.0.1'", "other"), ("bytea", "'\\xaa'", "other"),
                 ("jsonb", "'{\"a\": 1}'", "nested"), ("text[]", "ARRAY['ab', 'cd']", "nested")],
}


def test_each_warehouse_type_has_its_kind_and_the_figures_of_it(warehouse, make_task):
    columns = TYPED_COLUMNS[warehouse.kind]
    s = warehouse.schema
    declared = ", ".join(f"c{i} {data_type}" for i, (data_type, _, _) in enumerate(columns))
    warehouse.run([
        f"CREATE TABLE {s}.typed ({declared})",
        f"INSERT INTO {s}.typed VALUES ({', '.join(v for _, v, _ in columns)})"])
    adapter, task = warehouse.open(), make_task()
    listed = adapter.get_columns_in_relation(
        adapter.Relation.create(database=None, schema=s, identifier="typed"))
    assert [adapter.column_kind(column.dtype) for column in listed] == [k for _, _, k in columns]
    for column, (_, _, kind) in zip(listed, columns, strict=True):
        profile = task._profile_column_sql(adapter, None, s, "typed", column.name, column.dtype,
                                           1)
        figures = (profile.mean_value is not None, profile.max_length is not None)
        assert figures == (kind == "numeric", kind == "text"), (column.dtype, profile)
        alerts = [alert["type"] for alert in profile.alerts]
        assert "PROFILE_ERROR" not in alerts and profile.null_count == 0, (column.dtype, profile)
        assert profile.column_kind == kind
        extremes = (profile.min_exact, profile.max_exact)
        assert (extremes[0] is not None) == (kind in ("numeric", "text", "temporal")), extremes
        assert extremes[0] == extremes[1]  # one row
        if kind == "boolean":
            assert (profile.true_count, profile.false_count) == (1, 0)
    shown = {t: task._profile_column_sql(adapter, None, s, "typed", f"c{i}", t, 1).min_exact
             for i, (t, _, _) in enumerate(columns)}
    # Exact as the warehouse keeps them: every digit, ISO-8601 with the offset.
    assert shown["integer"] == "1"
    assert shown.get("decimal(10,2)", shown.get("numeric(10,2)")) == "1.50"
    time_zoned = shown.get("timestamptz", shown.get("timestamp with time zone"))
    assert time_zoned is not None and time_zoned.startswith("20")
    assert datetime.fromisoformat(time_zoned) == datetime(2026, 1, 1, tzinfo=timezone.utc)


@pytest.mark.parametrize("column_type", ["date", "timestamp", "timestamptz"])
def test_a_dated_column_says_how_fresh_it_is_and_what_lies_ahead(warehouse, make_task,
                                                                 column_type):
    # The warehouse's clock decides: values an hour and a year ahead, and a latest past value
    # 3 days back, written by the warehouse itself in its own session time.
    s = warehouse.schema
    now = "CURRENT_TIMESTAMP" if column_type == "timestamptz" else "LOCALTIMESTAMP"
    if warehouse.kind == "duckdb" and column_type == "timestamp":
        now = "CURRENT_TIMESTAMP::TIMESTAMP"
    cast = f"CAST({{}} AS {column_type})"
    values = [cast.format(f"{now} - INTERVAL '3 days'"), cast.format(f"{now} - INTERVAL '9 days'"),
              "NULL"]
    if column_type != "date":
        values += [cast.format(f"{now} + INTERVAL '1 hour'")]
    values += [cast.format(f"{now} + INTERVAL '400 days'")]
    (latest,) = warehouse.run([f"CREATE TABLE {s}.events (happened {column_type})",
                               *[f"INSERT INTO {s}.events VALUES ({value})" for value in values],
                               f"CREATE VIEW {s}.past AS SELECT * FROM {s}.events "
                               f"WHERE happened < {now} - INTERVAL '1 day'",
                               f"SELECT CAST(MAX(happened) AS VARCHAR) FROM {s}.events"])
    adapter = warehouse.open()
    listed = adapter.get_columns_in_relation(
        adapter.Relation.create(database=None, schema=s, identifier="events"))
    profile = make_task()._profile_column_sql(adapter, None, s, "events", "happened",
                                              listed[0].dtype, len(values))
    assert profile.column_kind == "temporal" and profile.null_count == 1
    assert profile.future_count == len(values) - 3
    assert profile.freshness_seconds == pytest.approx(-400 * 86400, abs=86400 + 120)
    past = make_task()._profile_column_sql(adapter, None, s, "past", "happened",
                                           listed[0].dtype, 3)
    # A date counts from its midnight: up to a day older than the moment it was cut from.
    assert past.future_count == 0
    assert past.freshness_seconds == pytest.approx(
        3 * 86400 + (43200 if column_type == "date" else 0), abs=43200 + 120)
    assert profile.max_exact.replace("T", " ").startswith(latest[0][:16])


@pytest.mark.parametrize("doublings", [0, 8])
def test_histograms_hold_the_exact_counts_of_every_bin_and_period(warehouse, make_task,
                                                                  doublings):
    # Values over 100 days: equal-width bins of the numbers, weekly buckets of the dates. Each
    # row 256 times over: values that repeat are counted by value before they are binned.
    s, times = warehouse.schema, 2 ** doublings
    numbers = [-7.5, -7.5, 0.0, 0.1, 3.3, 12.25, 99.0, 250.5, 250.5, None]
    days = [f"DATE '2026-01-01' + {d}" for d in (0, 1, 6, 7, 40, 99)]
    warehouse.run([f"CREATE TABLE {s}.h (x double precision, d date)",
                   *[f"INSERT INTO {s}.h (x) VALUES ({'NULL' if v is None else v})"
                     for v in numbers],
                   *[f"INSERT INTO {s}.h (d) VALUES ({day})" for day in days],
                   *[f"INSERT INTO {s}.h SELECT * FROM {s}.h"] * doublings])
    adapter, task = warehouse.open(), make_task()
    x = task._profile_column_sql(adapter, None, s, "h", "x", "DOUBLE PRECISION", 16 * times)
    values = [v for v in numbers if v is not None]
    low, high = min(values), max(values)
    width = (high - low) / 10
    expected = [0] * 10
    for value in values:
        expected[min(int((value - low) // width), 9)] += times
    assert [b["count"] for b in x.histogram] == expected and sum(expected) == 9 * times
    assert (x.histogram[0]["low"], x.histogram[-1]["high"]) == (low, high)
    d = task._profile_column_sql(adapter, None, s, "h", "d", "DATE", 16 * times)
    assert [b["period"] for b in d.histogram] == ["week"] * 4
    assert [(b["start"][:10], b["count"]) for b in d.histogram] == [
        ("2025-12-29", 2 * times), ("2026-01-05", 2 * times), ("2026-02-09", times),
        ("2026-04-06", times)]
