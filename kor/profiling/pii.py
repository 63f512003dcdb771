"""Likely personal data: columns whose name or most frequent values look like e-mail
addresses, phone numbers, payment card numbers or IP addresses."""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Callable, Sequence
from typing import Any

PII = "PII"
# A pattern is taken as the column's when this share of its most frequent values match it.
VALUE_SHARE = 0.8

_EMAIL = re.compile(r"[^@\s]+@[^@\s]+\.[A-Za-z]{2,}")
# A leading + or a separator: a bare run of digits is as likely an id as a phone number.
_PHONE = re.compile(r"\+?[\d() .-]{7,22}")
_CARD = re.compile(r"\d(?:[ -]?\d){12,18}")


def _is_phone(value: str) -> bool:
    digits = sum(char.isdigit() for char in value)
    return (bool(_PHONE.fullmatch(value)) and 7 <= digits <= 15
            and (value.startswith("+") or any(char in value for char in " ()-."))
            and not _is_card(value))


def _luhn(digits: str) -> bool:
    total = 0
    for position, char in enumerate(reversed(digits)):
        value = int(char)
        if position % 2:
            value = value * 2 - 9 if value > 4 else value * 2
        total += value
    return total % 10 == 0


def _is_card(value: str) -> bool:
    return bool(_CARD.fullmatch(value)) and _luhn(re.sub(r"[ -]", "", value))


def _is_ip(value: str) -> bool:
    try:
        ipaddress.ip_address(value)
    except ValueError:
        return False
    return True


# (what it is, how a value is recognised, words of a column name that say so)
PATTERNS: tuple[tuple[str, Callable[[str], bool], tuple[str, ...]], ...] = (
    ("e-mail addresses", lambda value: bool(_EMAIL.fullmatch(value)),
     ("email", "e_mail", "mail")),
    ("payment card numbers", _is_card, ("card", "ccnum", "cc_number", "pan")),
    ("IP addresses", _is_ip, ("ip", "ipv4", "ipv6", "ip_address")),
    ("phone numbers", _is_phone, ("phone", "mobile", "tel", "telephone", "fax")),
)


def _words(name: str) -> set[str]:
    return {word for word in re.split(r"[^a-z0-9]+", name.lower()) if word} | {
        re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")}


def pii_alert(column: Any) -> dict[str, str] | None:
    """An info alert naming the pattern the column's name or its top values show; None when
    neither does."""
    # Values are looked at in text columns only: a DECIMAL's 104949.50 is no phone number.
    text = getattr(column, "column_kind", "text") in ("text", None)
    values = [str(entry.get("value", "")) for entry in column.top_values or ()] if text else []
    for what, matches, _ in PATTERNS:
        if values and sum(map(matches, values)) >= VALUE_SHARE * len(values):
            return {"type": PII, "severity": "info",
                    "message": f"Column may hold {what} (its most frequent values look so)"}
    words = _words(column.column_name)
    for what, _, names in PATTERNS:
        if words & set(names):
            return {"type": PII, "severity": "info",
                    "message": f"Column may hold {what} (by its name)"}
    return None


def pii_alerts(columns: Sequence[Any]) -> list[tuple[Any, dict[str, str]]]:
    return [(column, alert) for column in columns if (alert := pii_alert(column)) is not None]
