"""The metric queries: exact SQL, conversions, fallbacks and best-effort enrichments."""

from __future__ import annotations

from datetime import date, datetime, timedelta, timezone
from decimal import Decimal

import pytest

from tests.builders import flags
from tests.fakes import ScriptedAdapter

COUNTS = ('\n            SELECT\n                COUNT(*) - COUNT("c") as null_count,\n'
          '                COUNT(DISTINCT "c") as distinct_count')
BASIC_SQL = COUNTS + '\n            FROM "s"."t"\n        '
NUMERIC_SQL = (COUNTS + ',\n                MIN("c") as min_val,\n'
               '                MAX("c") as max_val,\n'
               '                AVG(CAST("c" AS DOUBLE PRECISION)) as mean_val,\n'
               '                STDDEV(CAST("c" AS DOUBLE PRECISION)) as stddev_val\n'
               '            FROM "s"."t"\n        ')
EXTREMES = ',\n                MIN("c") as min_val,\n                MAX("c") as max_val'
FROM = '\n            FROM "s"."t"\n        '
SENSITIVE_STRING_SQL = (COUNTS + ',\n                MIN(LENGTH("c")) as min_len,\n'
                        '                MAX(LENGTH("c")) as max_len,\n'
                        '                AVG(LENGTH("c")) as avg_len' + FROM)
STRING_SQL = SENSITIVE_STRING_SQL.replace(FROM, EXTREMES + FROM)
ORDER_BY = 'WITHIN GROUP (ORDER BY CAST("c" AS DOUBLE PRECISION))'
PERCENTILE_SQL = ('\n                SELECT\n'
                  f'                    PERCENTILE_CONT(0.25) {ORDER_BY} as p25,\n'
                  f'                    PERCENTILE_CONT(0.50) {ORDER_BY} as p50,\n'
                  f'                    PERCENTILE_CONT(0.75) {ORDER_BY} as p75\n'
                  '                FROM "s"."t"\n                WHERE "c" IS NOT NULL\n'
                  '            ')
TOP_SQL = ('\n                SELECT "c" as val, COUNT(*) as cnt\n                FROM "s"."t"\n'
           '                WHERE "c" IS NOT NULL\n                GROUP BY "c"\n'
           '                ORDER BY cnt DESC, "c"\n                LIMIT 10\n            ')

ARGS = ('"s"."t"', '"c"', "c", "T")


def metric(task, name, adapter, row_count=3):
    return getattr(task, name)(adapter, *ARGS, row_count)


def test_basic_metrics(make_task):
    adapter = ScriptedAdapter(default=[("1", Decimal("2"))])
    profile = metric(make_task(), "_profile_basic_column", adapter)
    assert adapter.statements == [BASIC_SQL]
    assert (profile.null_count, profile.distinct_count) == (1, 2)
    assert profile.null_percent == 1 / 3 * 100 == 33.33333333333333
    assert profile.alerts == [] and adapter.exits == [("profile", None)]


def test_basic_metrics_failure_is_an_alert(make_task):
    adapter = ScriptedAdapter(default=RuntimeError("permission denied " + "x" * 200))
    profile = metric(make_task(), "_profile_basic_column", adapter)
    # Not measured, so not zero: a clean-looking 0 would hide the failure.
    assert (profile.null_count, profile.null_percent, profile.distinct_count,
            profile.distinct_percent, profile.row_count) == (None, None, None, None, 3)
    (alert,) = profile.alerts
    assert alert["type"] == "PROFILE_ERROR" and alert["severity"] == "warning"
    text = "permission denied " + "x" * 200
    assert alert["message"] == "Could not profile column: " + text[:100]


# Sensitive mode asks for no value of the data: no extremes, counts, mean and deviation only.
SENSITIVE_NUMERIC_SQL = NUMERIC_SQL.replace('                MIN("c") as min_val,\n'
                                            '                MAX("c") as max_val,\n', '')


@pytest.mark.parametrize("mode, statements, extremes", [
    ("explorative", [NUMERIC_SQL, PERCENTILE_SQL], (1.0, 9.0)),
    ("time-series", [NUMERIC_SQL, PERCENTILE_SQL], (1.0, 9.0)),
    ("minimal", [NUMERIC_SQL], (1.0, 9.0)), ("sensitive", [SENSITIVE_NUMERIC_SQL], (None, None))])
def test_numeric_metrics(make_task, mode, statements, extremes):
    row = (None, 3, 1, Decimal("9"), 4.5, None)
    adapter = ScriptedAdapter(answers={"PERCENTILE": [(1, Decimal("2.5"), None)]},
                              default=[row if extremes[0] else row[:2] + row[4:]])
    profile = metric(make_task(flags(MODE=mode)), "_profile_numeric_column", adapter)
    assert adapter.statements == statements
    assert (profile.null_count, profile.distinct_count) == (0, 3)
    assert (profile.min_value, profile.max_value, profile.mean_value, profile.stddev_value) == (
        *extremes, 4.5, None)
    assert profile.distinct_percent == 100.0
    if len(statements) == 2:
        assert type(profile.max_value) is float
        quartiles = (profile.p25, profile.p50, profile.p75, profile.median_value)
        assert quartiles == (1.0, 2.5, None, 2.5)
    else:
        assert profile.p50 is None


@pytest.mark.parametrize("method", ["_profile_numeric_column", "_profile_string_column"])
@pytest.mark.parametrize("failure", [RuntimeError("no STDDEV"), lambda sql: (None, [("x", 1, 2,
                                                                                      3, 4, 5)])])
def test_fallback_to_basic_metrics(make_task, method, failure):
    key = "STDDEV" if method == "_profile_numeric_column" else "LENGTH"
    adapter = ScriptedAdapter(answers={key: failure}, default=[(1, 2)])
    profile = metric(make_task(flags(MODE="minimal")), method, adapter)
    assert adapter.statements[-1] == BASIC_SQL
    assert (profile.null_count, profile.distinct_count, profile.min_value, profile.min_length) == (
        1, 2, None, None)


@pytest.mark.parametrize("mode, sql, extremes", [
    ("explorative", STRING_SQL, ("", "zz")), ("sensitive", SENSITIVE_STRING_SQL, (None, None))])
def test_string_metrics(make_task, mode, sql, extremes):
    adapter = ScriptedAdapter(default=[(0, 2, Decimal("0"), 5.0, 7.25, "", "zz")])
    profile = metric(make_task(flags(MODE=mode)), "_profile_string_column", adapter,
                     row_count=0)
    assert adapter.statements == [sql]
    assert (profile.min_length, profile.max_length, profile.avg_length) == (0, 5, 7.25)
    assert (profile.min_exact, profile.max_exact) == extremes
    assert type(profile.max_length) is int and profile.p25 is None
    assert profile.null_percent == 0.0 and profile.distinct_percent == 0.0  # row_count 0


BOOLEAN_SQL = (COUNTS + ',\n                SUM(CASE WHEN "c" THEN 1 ELSE 0 END) as true_count,\n'
               '                SUM(CASE WHEN NOT "c" THEN 1 ELSE 0 END) as false_count' + FROM)
EAST = timezone(timedelta(hours=5, minutes=30))


@pytest.mark.parametrize("method, mode, sql, row, expected", [
    ("_profile_temporal_column", "minimal", COUNTS + EXTREMES + FROM,
     (1, 2, datetime(2026, 1, 2, 3, 4, 5, 6, tzinfo=EAST), date(2026, 12, 9)),
     {"min_exact": "2026-01-02T03:04:05.000006+05:30", "max_exact": "2026-12-09"}),
    ("_profile_temporal_column", "sensitive", COUNTS + FROM, (1, 2),
     {"min_exact": None, "max_exact": None, "null_count": 1}),
    ("_profile_boolean_column", "sensitive", BOOLEAN_SQL, (1, 2, 3, None),
     {"true_count": 3, "false_count": 0, "min_exact": None}),
    ("_profile_numeric_column", "minimal", NUMERIC_SQL,
     (0, 2, 9007199254740993, Decimal("1E+3"), 1.0, 0.5),
     {"min_exact": "9007199254740993", "max_exact": "1000", "min_value": 9007199254740992.0}),
])
def test_exact_extremes_and_boolean_counts(make_task, method, mode, sql, row, expected):
    adapter = ScriptedAdapter(default=[row])
    profile = metric(make_task(flags(MODE=mode)), method, adapter)
    assert adapter.statements == [sql]
    assert {name: getattr(profile, name) for name in expected} == expected


def test_a_suppressing_block_keeps_defaults(make_task):
    adapter = ScriptedAdapter(default=RuntimeError("x"), exit_returns=True)
    profile = metric(make_task(), "_profile_string_column", adapter)
    assert profile.null_count == 0 and profile.alerts == []


def test_interrupts_are_not_absorbed(make_task):
    adapter = ScriptedAdapter(default=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        metric(make_task(), "_profile_numeric_column", adapter)


@pytest.mark.parametrize(
    "answer, expected",
    [
        ([(42, Decimal("5")), ("b", 3)], [{"value": "42", "count": 5}, {"value": "b", "count": 3}]),
        ([], None),
        ([("a", 1), ("b", "not a number")], None),
        (RuntimeError("no GROUP BY"), None),
    ],
)
def test_top_values(make_task, profile_module, answer, expected):
    profile = profile_module.ColumnProfile("c", "T")
    adapter = ScriptedAdapter(default=answer)
    assert make_task()._add_top_values(adapter, '"s"."t"', '"c"', profile) is None
    assert adapter.statements == [TOP_SQL]
    assert profile.top_values == expected


def test_percentile_failure_keeps_what_was_set(make_task, profile_module):
    profile = profile_module.ColumnProfile("c", "T")
    adapter = ScriptedAdapter(default=[(1, "oops", 3)])
    make_task()._add_percentiles(adapter, '"s"."t"', '"c"', profile)
    assert (profile.p25, profile.p50, profile.median_value) == (1.0, None, None)


def test_row_count_accepts_any_number(make_task):
    profile = make_task()._profile_basic_column(ScriptedAdapter(default=[(1, 1)]), *ARGS,
                                                Decimal("4.7"))
    assert profile.row_count == 4 and type(profile.row_count) is int
    assert profile.null_percent == 25.0
