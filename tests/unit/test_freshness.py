"""Freshness: ages written and read back, and which column says how fresh a table is."""

from __future__ import annotations

from datetime import timedelta
from types import SimpleNamespace

import pytest

from kor.profiling.freshness import age_text, stale_alert, table_freshness
from kor.project.freshness import Freshness, FreshnessError, parse_age


@pytest.mark.parametrize("seconds, shown", [
    (0, "0s"), (59.9, "59s"), (60, "1m 0s"), (3725, "1h 2m"), (86400 * 5 + 1, "5d 0h"),
    (-90000, "1d 1h ahead")])
def test_ages_read_in_their_two_largest_units(seconds, shown):
    assert age_text(seconds) == shown


@pytest.mark.parametrize("text, age", [
    ("30m", timedelta(minutes=30)), (" 12h ", timedelta(hours=12)), ("2w", timedelta(weeks=2)),
    ("0d", "more than 0"), ("99999999999999999999w", "at most 520000w"), ("3 days", "not an age"),
    (3, "not an age")])
def test_ages_are_parsed_or_refused_without_overflow(text, age):
    if isinstance(age, timedelta):
        assert parse_age(text) == age
    else:
        with pytest.raises(FreshnessError, match=age):
            parse_age(text)


def column(name, age):
    return SimpleNamespace(column_name=name, freshness_seconds=age, alerts=[])


@pytest.mark.parametrize("rule, ages, expected", [
    # the freshest dated column, or the rule's own; a warning past warn_after, an error past both
    (Freshness(warn_after=timedelta(days=1)), {"a": 7200.0, "b": 90000.0, "c": None}, None),
    (Freshness(timedelta(hours=1), timedelta(days=1)), {"a": 7200.0, "b": 90000.0},
     ("a", "STALE", "warning")),
    (Freshness(timedelta(hours=1), timedelta(days=1), "b"), {"a": 7200.0, "b": 90000.0},
     ("b", "STALE", "error")),
    (Freshness(error_after=timedelta(days=1), column="c"), {"a": 1.0, "c": None},
     ("c", "FRESHNESS_UNMEASURED", "warning")),
    (Freshness(error_after=timedelta(days=1)), {"x": None}, ("x", "FRESHNESS_UNMEASURED",
                                                             "warning")),
])
def test_the_table_is_as_fresh_as_its_rule_says(rule, ages, expected):
    columns = [column(name, age) for name, age in ages.items()]
    alerted = stale_alert(columns, rule)
    found = None if alerted is None else (alerted[0].column_name, alerted[1]["type"],
                                          alerted[1]["severity"])
    assert found == expected
    measured = table_freshness(columns, rule)
    assert (measured is None) == all(age is None for name, age in ages.items()
                                     if rule.column in (None, name))
