"""The statements Spark is sent: backtick quoting, the DOUBLE PRECISION rewrite, one query only."""

from __future__ import annotations

import pytest

from kor.adapters.spark_sql import StatementRefused, prepare, quote


def body(sql: str) -> str:
    wrapped = prepare(sql)
    assert wrapped.startswith("SELECT * FROM (") and wrapped.endswith("\n) AS q")
    return wrapped[len("SELECT * FROM ("):-len("\n) AS q")]


@pytest.mark.parametrize("name, quoted", [("c", "`c`"), ("a`b", "`a``b`"), ("`", "````"),
                                          ('a"b', '`a"b`'), ("", "``")])
def test_quote_doubles_backticks(name, quoted):
    assert quote(name) == quoted


@pytest.mark.parametrize("sql, sent", [
    ("AVG(CAST(`c` AS DOUBLE PRECISION)) as m", "AVG(CAST(`c` AS DOUBLE)) as m"),
    ("cast(c as double\n   precision)", "cast(c as double)"),
    ("CAST(`AS DOUBLE PRECISION` AS DOUBLE PRECISION)", "CAST(`AS DOUBLE PRECISION` AS DOUBLE)"),
    ("CAST(`x`AS DOUBLE PRECISION)", "CAST(`x`AS DOUBLE)"),
    # Text in literals, quoted names and comments is never rewritten.
    ("'AS DOUBLE PRECISION', \"AS DOUBLE PRECISION\"", None),
    ("`a``AS DOUBLE PRECISION`", None),
    ("'it\\'s AS DOUBLE PRECISION'", None),
    ("1 -- AS DOUBLE PRECISION", None),
    ("1 /* a /* AS DOUBLE PRECISION */ */", None),
    # A raw literal ends at its first quote: a backslash before it escapes nothing.
    ("r'\\' AS DOUBLE PRECISION", "r'\\' AS DOUBLE"),
    ("bar'\\' AS DOUBLE PRECISION'", None),
    ("CAST(c AS DOUBLE PRECISIONS)", None),
])
def test_only_the_type_outside_quotes_is_rewritten(sql, sent):
    assert body("SELECT " + sql) == "SELECT " + (sent if sent is not None else sql)


@pytest.mark.parametrize("sql", [
    "\n            SELECT\n                COUNT(*) as cnt FROM `main`.`t`\n        ",
    "WITH a AS (SELECT 1) SELECT * FROM a", "(SELECT 1)", "VALUES (1)", "FROM t SELECT *",
    "/* lead */ select 1", "SELECT 1 -- trailing comment", "SELECT ';', ')', `)`",
])
def test_a_single_query_is_sent_as_written(sql):
    assert body(sql) == sql


@pytest.mark.parametrize("sql", [
    "DROP TABLE main.t", "INSERT INTO main.t VALUES (1)", "CREATE TABLE w (i int)",
    "delete from t", "SET spark.sql.ansi.enabled=false", "", "  -- only a comment",
    "SELECT 1; DROP TABLE main.t", "SELECT 1;",
    "SELECT 1) AS q UNION SELECT * FROM (SELECT 2",
    "SELECT 'unterminated", "SELECT `unterminated", "SELECT 1 /* unterminated /* */",
])
def test_anything_but_one_query_is_refused(sql):
    with pytest.raises(StatementRefused, match="read-only|unterminated"):
        prepare(sql)


def quartile_statement(column: str, table: str, fractions=("0.25", "0.50", "0.75")) -> str:
    """The task's quartile statement, as native/metrics/enrichment.cpp writes it."""
    aggregates = ",\n".join(f"                    PERCENTILE_CONT({fraction}) WITHIN GROUP "
                            f"(ORDER BY CAST({column} AS DOUBLE PRECISION)) as {name}"
                            for fraction, name in zip(fractions, ("p25", "p50", "p75"),
                                                      strict=True))
    return (f"\n                SELECT\n{aggregates}\n                FROM {table}\n"
            f"                WHERE {column} IS NOT NULL\n            ")


@pytest.mark.parametrize("name", ["c", "a`b", "`", "AS DOUBLE PRECISION)) as p25", "x y", ""])
def test_the_quartiles_are_one_percentile_of_an_array(name):
    column, table = quote(name), f"{quote('main')}.{quote(name + '`t')}"
    assert body(quartile_statement(column, table)) == (
        f"SELECT quartiles[0] AS p25, quartiles[1] AS p50, quartiles[2] AS p75 FROM (SELECT "
        f"percentile(CAST({column} AS DOUBLE), array(0.25, 0.5, 0.75)) AS quartiles FROM {table} "
        f"WHERE {column} IS NOT NULL) AS q")
    # Anything but that statement is sent as written.
    for other in (quartile_statement(column, table, ("0.25", "0.50", "0.90")),
                  quartile_statement(column, table).replace("IS NOT NULL", "IS NULL"),
                  quartile_statement(column, table).replace(f"WHERE {column}", "WHERE `other`")):
        assert "PERCENTILE_CONT" in body(other)
