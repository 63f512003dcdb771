"""Likely personal data, by a column's name or its most frequent values."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from kor.profiling.pii import pii_alert


def top(*values):
    return [{"value": value, "count": 1} for value in values]


@pytest.mark.parametrize("name, values, found", [
    ("contact", top("a@b.io", "x.y@shop.example", "z@q.de", "w@e.co", "noise"), "e-mail"),
    ("n", top("4111 1111 1111 1111", "5500-0000-0000-0004", "4012888888881881"), "card"),
    ("n", top("4111 1111 1111 1112", "1234567890123"), None),  # Luhn fails: not cards
    ("n", top("10.0.0.1", "::1", "192.168.1.20", "fe80::1"), "IP"),
    ("n", top("+49 30 1234567", "(030) 555-0199", "030-555-0188"), "phone"),
    ("n", top("1234567", "7654321", "1111111"), None),  # bare numbers: ids, not phones
    ("customer_email", [], "e-mail"), ("PhoneNumber", None, None), ("phone_number", None, "phone"),
    ("client_ip", None, "IP"), ("shipping", None, None), ("description", top("x"), None),
])
def test_likely_personal_data_is_named_by_its_pattern(name, values, found):
    alert = pii_alert(SimpleNamespace(column_name=name, top_values=values, column_kind="text"))
    if found is None:
        assert alert is None
    else:
        assert alert is not None and alert["type"] == "PII" and alert["severity"] == "info"
        assert found in alert["message"]


def test_only_text_values_are_looked_at():
    decimals = top("104949.50", "555285.16", "3000279.60")
    assert pii_alert(SimpleNamespace(column_name="amount", top_values=decimals,
                                     column_kind="numeric")) is None
