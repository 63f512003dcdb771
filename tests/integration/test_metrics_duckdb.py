"""Column metrics against a real in-process DuckDB database."""

from __future__ import annotations

import threading
from contextlib import contextmanager

import duckdb
import pytest


class InProcessDuckDB:
    """The adapter operations the metric methods use, over one in-memory database."""

    def __init__(self) -> None:
        self.connection = duckdb.connect()
        self._local = threading.local()

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    @contextmanager
    def connection_named(self, name: str):
        yield None

    def execute(self, sql: str, fetch: bool = False):
        cursor = self.connection.cursor()
        return None, cursor.execute(sql).fetchall()


@pytest.fixture(scope="module")
def warehouse():
    adapter = InProcessDuckDB()
    adapter.connection.execute("""
        CREATE TABLE t AS SELECT
            i AS n,
            CASE WHEN i % 4 = 0 THEN NULL ELSE (i * 0.5)::DECIMAL(10,2) END AS amount,
            CASE WHEN i % 5 = 0 THEN '' ELSE 'name_' || (i % 7)::VARCHAR END AS label,
            DATE '2024-01-01' + (i % 30)::INTEGER AS day,
            i % 3 = 0 AS flag,
            NULL::INTEGER AS nothing
        FROM range(1, 501) r(i)
    """)
    adapter.connection.execute("CREATE TABLE one AS SELECT 7 AS x")
    return adapter


def direct(adapter, sql):
    return adapter.connection.execute(sql).fetchone()


@pytest.mark.parametrize("column, col_type", [("n", "BIGINT"), ("amount", "DECIMAL(10,2)"),
                                               ("nothing", "INTEGER")])
def test_numeric_columns(warehouse, make_task, column, col_type):
    profile = make_task()._profile_column_sql(warehouse, None, "main", "t", column, col_type, 500)
    nulls, distinct, lo, hi, mean, std, p25, p50, p75 = direct(warehouse, f"""
        SELECT COUNT(*) - COUNT({column}), COUNT(DISTINCT {column}), MIN({column}),
               MAX({column}), AVG({column}::DOUBLE), STDDEV({column}::DOUBLE),
               QUANTILE_CONT({column}, 0.25), QUANTILE_CONT({column}, 0.5),
               QUANTILE_CONT({column}, 0.75) FROM t""")
    assert (profile.null_count, profile.distinct_count) == (nulls, distinct)
    assert profile.null_percent == pytest.approx(nulls / 500 * 100)
    for got, want in [(profile.min_value, lo), (profile.max_value, hi), (profile.mean_value, mean),
                      (profile.stddev_value, std), (profile.p25, p25), (profile.p50, p50),
                      (profile.p75, p75), (profile.median_value, p50)]:
        assert got == (None if want is None else pytest.approx(float(want)))
    if column == "nothing":
        assert [a["type"] for a in profile.alerts] == ["HIGH_MISSING", "ALL_NULL"]
        assert profile.top_values is None


def test_text_column_with_empty_strings(warehouse, make_task):
    profile = make_task()._profile_column_sql(warehouse, None, "main", "t", "label", "VARCHAR", 500)
    distinct, lo, hi, avg = direct(warehouse, "SELECT COUNT(DISTINCT label), MIN(LENGTH(label)),"
                                              " MAX(LENGTH(label)), AVG(LENGTH(label)) FROM t")
    assert (profile.distinct_count, profile.min_length, profile.max_length) == (distinct, lo, hi)
    assert lo == 0 and profile.avg_length == pytest.approx(avg)
    counts = dict(warehouse.connection.execute(
        "SELECT label, COUNT(*) FROM t GROUP BY label").fetchall())
    assert {v["value"]: v["count"] for v in profile.top_values} == counts
    assert profile.alerts == []  # 8 distinct values, but too few rows for a category alert


@pytest.mark.parametrize("column, col_type, expected", [
    ("day", "DATE", ["2024-01-02", 30]), ("flag", "BOOLEAN", ["False", 2])])
def test_basic_columns(warehouse, make_task, column, col_type, expected):
    profile = make_task()._profile_column_sql(warehouse, None, "main", "t", column, col_type, 500)
    assert profile.distinct_count == expected[1] and profile.min_value is None
    assert expected[0] in [v["value"] for v in profile.top_values]


def test_one_row_table(warehouse, make_task):
    profile = make_task()._profile_column_sql(warehouse, None, "main", "one", "x", "INTEGER", 1)
    assert (profile.min_value, profile.max_value, profile.stddev_value) == (7.0, 7.0, None)
    assert [a["type"] for a in profile.alerts] == ["ZERO_VARIANCE"]
    assert profile.alerts[0]["message"] == "Column has constant value: 7.0"


def test_row_count_and_missing_table(warehouse, make_task):
    task = make_task()
    assert task._get_row_count(warehouse, None, "main", "t") == 500
    with pytest.raises(duckdb.CatalogException):
        task._get_row_count(warehouse, None, "main", "missing")


def test_decimal_quartiles_are_not_cut_to_the_scale(make_task):
    # PERCENTILE_CONT over a DECIMAL(12,2) interpolates in DECIMAL(12,2) unless the values are
    # ordered as doubles: 77894.7475 would come back as 77894.74.
    adapter = InProcessDuckDB()
    adapter.connection.execute("CREATE TABLE orders (o_totalprice DECIMAL(12,2))")
    adapter.connection.execute("INSERT INTO orders VALUES (77894.74), (77894.77), (NULL)")
    profile = make_task()._profile_column_sql(adapter, None, "main", "orders", "o_totalprice",
                                              "DECIMAL(12,2)", 3)
    low, high = 77894.74, 77894.77
    assert (profile.p25, profile.p50, profile.p75) == pytest.approx(
        (low + (high - low) * 0.25, low + (high - low) * 0.5, low + (high - low) * 0.75),
        rel=1e-15)
    assert profile.p25 == pytest.approx(77894.7475) and profile.median_value == profile.p50


def test_no_constant_value_alert_for_two_values_equal_as_doubles(make_task):
    adapter = InProcessDuckDB()
    adapter.connection.execute("CREATE TABLE big AS SELECT * FROM (VALUES "
                               "(9007199254740992::BIGINT), (9007199254740993::BIGINT)) v(n)")
    profile = make_task()._profile_column_sql(adapter, None, "main", "big", "n", "BIGINT", 2)
    assert profile.min_value == profile.max_value and profile.distinct_count == 2
    assert (profile.min_exact, profile.max_exact) == ("9007199254740992", "9007199254740993")
    assert "ZERO_VARIANCE" not in [a["type"] for a in profile.alerts]
