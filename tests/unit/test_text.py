"""Numbers read in full: every digit the store holds, thousands grouped."""

from __future__ import annotations

import pytest

from kor.text import number


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
