"""Figures read in full: every digit the store holds, thousands grouped, shares told apart."""

from __future__ import annotations

import pytest

from kor.report.figures import number, percent


@pytest.mark.parametrize("value, shown", [
    (None, "–"), (0, "0"), (-0.0, "0"), (1234567, "1,234,567"), (10**20, "100" + ",000" * 6),
    # whole floats are integers however large, never an exponent up to the largest BIGINTs
    (1e15, "1,000,000,000,000,000"), (1000000000000001.0, "1,000,000,000,000,001"),
    (9.223372036854776e18, "9,223,372,036,854,776,000"), (100018.0, "100,018"),
    # the shortest digits that give back the stored double: nothing rounded away or made up
    (104949.5, "104,949.5"), (555285.16, "555,285.16"), (3000279.6, "3,000,279.6"),
    (0.1 + 0.2, "0.30000000000000004"), (-1234.5, "-1,234.5"), (1e-7, "0.0000001"),
    # beyond any column's digits an exponent says more than a line of zeros
    (1.5e-300, "1.5e-300"), (1e300, "1e+300"), (float("inf"), "∞"), (float("nan"), "NaN"),
])
def test_numbers_are_shown_as_stored(value, shown):
    assert number(value) == shown
    if isinstance(value, float) and shown.replace(",", "").lstrip("-").replace(".", "").isdigit():
        assert float(shown.replace(",", "")) == value  # reads back as the very number stored


@pytest.mark.parametrize("value, shown", [
    (None, "–"), (0.0, "0.0%"), (100.0, "100.0%"), (33.333333, "33.3%"), (0.04, "0.04%"),
    (0.0004, "0.0004%"), (99.96, "99.96%"), (99.9996, "99.9996%"), (1e-9, "1e-09%"),
])
def test_shares_keep_the_digits_that_tell_them_from_none_and_all(value, shown):
    assert percent(value) == shown


@pytest.mark.parametrize("fields, shown", [
    # every digit of a BIGINT beyond 2**53, where the doubles read alike
    (dict(column_kind="numeric", min_value=9007199254740992.0, max_value=9007199254740992.0,
          min_exact="9007199254740992", max_exact="9007199254740993"),
     ("9,007,199,254,740,992", "9,007,199,254,740,993")),
    (dict(column_kind="numeric", min_exact="-38255.10", max_exact="1E+3"), ("-38,255.1", "1,000")),
    (dict(column_kind="temporal", min_exact="2026-01-02T03:04:05+05:30", max_exact="2026-12-09"),
     ("2026-01-02T03:04:05+05:30", "2026-12-09")),
    (dict(column_kind="text", min_exact="", max_exact="x" * 50), ("", "x" * 39 + "…")),
    (dict(column_kind="boolean", true_count=1200, false_count=0), ("false 0", "true 1,200")),
    # rows stored before the exact values were: the doubles
    (dict(min_value=1.5, max_value=2.0), ("1.5", "2")), ({}, ("–", "–")),
])
def test_extremes_are_shown_exact_where_the_warehouse_gave_them(fields, shown):
    from kor.report.figures import extremes
    from tests.builders import stored_row

    assert extremes(stored_row(**fields)) == shown


@pytest.mark.parametrize("rows, value, shown", [(0, 0.0, "–"), (5, 0.0, "0.0%"),
                                                 (5, None, "–"), (5, 40.0, "40.0%")])
def test_an_empty_table_has_no_shares(rows, value, shown):
    from kor.report.figures import share
    from tests.builders import stored_row

    assert share(stored_row(row_count=rows), value) == shown
