"""Stored doubles read alike wherever they are shown: at most 15 significant digits (what a
double holds for certain), thousands grouped, whole numbers spelt out, never an exponent
inside the range a column's values take."""

from __future__ import annotations

import json

import pytest

from kor.report.content import histogram
from kor.text import number
from tests.builders import stored_row


@pytest.mark.parametrize("value, shown", [
    (None, "–"), (0, "0"), (-0.0, "0"), (1234567, "1,234,567"), (10**20, "100" + ",000" * 6),
    # an int (a count) has every digit; a double beyond 15 digits is rounded, never 1e+16
    (2**63 - 1, "9,223,372,036,854,775,807"), (1e16, "10,000,000,000,000,000"),
    (1e15, "1,000,000,000,000,000"), (1000000000000001.0, "1,000,000,000,000,000"),
    (9.223372036854776e18, "9,223,372,036,854,780,000"), (100018.0, "100,018"),
    (123456789012345.67, "123,456,789,012,346"), (9.999999999999999e20, "1" + ",000" * 7),
    # the binary's rounding is not shown: 0.1 + 0.2 is 0.3, 2/3 has 15 digits
    (0.1 + 0.2, "0.3"), (2 / 3, "0.666666666666667"), (1 - 1e-16, "1"),
    (104949.5, "104,949.5"), (555285.16, "555,285.16"), (3000279.6, "3,000,279.6"),
    (-1234.5, "-1,234.5"), (1e-7, "0.0000001"),
    # beyond any column's digits an exponent says more than a line of zeros
    (1.5e-300, "1.5e-300"), (1e300, "1e+300"), (1.2345678901234567e-300, "1.23456789012346e-300"),
    (float("inf"), "∞"), (float("nan"), "NaN"),
])
def test_stored_numbers_show_at_most_15_significant_digits(value, shown):
    assert number(value) == shown
    if isinstance(value, float):
        # A histogram's bin edges are stored doubles too, and read the same.
        row = stored_row(histogram=json.dumps([{"low": value, "high": value, "count": 1}]))
        shape = histogram(row)
        assert shape is not None
        assert (shape.bins[0].label, shape.first) == (f"{shown}–{shown}", shown)
