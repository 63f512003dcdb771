"""Figures of a profile on screen: shares told apart, extremes exact where stored."""

from __future__ import annotations

import pytest

from kor.report.figures import percent


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
    # a double's own digits, shown as the doubles are; a DECIMAL's every digit
    (dict(column_kind="numeric", min_exact="1.1428571428571428", max_exact="14000.142857142857",
          data_type="DOUBLE"), ("1.14285714285714", "14,000.1428571429")),
    (dict(column_kind="numeric", min_exact="1.1428571428571428", max_exact="2.50",
          data_type="DECIMAL(17,16)"), ("1.1428571428571428", "2.5")),
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

    data_type = fields.pop("data_type", None)
    assert extremes(stored_row(**fields), data_type) == shown


@pytest.mark.parametrize("rows, value, shown", [(0, 0.0, "–"), (5, 0.0, "0.0%"),
                                                 (5, None, "–"), (5, 40.0, "40.0%")])
def test_an_empty_table_has_no_shares(rows, value, shown):
    from kor.report.figures import share
    from tests.builders import stored_row

    assert share(stored_row(row_count=rows), value) == shown
