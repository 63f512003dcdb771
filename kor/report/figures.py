"""How stored figures read on screen, the same in the terminal and in the HTML report."""

from __future__ import annotations

import math
from datetime import datetime
from decimal import Decimal

from kor.compute.metadata import ColumnProfileResult

MISSING = "–"
# Magnitudes written out in digits; beyond them (no column's whole numbers are) an exponent.
_FIXED_RANGE = (1e-9, 1e21)

# C0 controls, DEL and C1 controls: ESC sequences can clear the screen or set the window title.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))}


def printable(text: str) -> str:
    """Text from the warehouse or the store, its control characters written out as `\\x1b`."""
    return text.translate(_CONTROLS)


def one_line(text: str) -> str:
    """Text on one line: each run of whitespace (the line breaks of a warehouse's message)
    as one space, other control characters written out."""
    return printable(" ".join(text.split()))


def number(value: float | int | None) -> str:
    """A stored figure in full, with thousands separators: a float reads as its shortest exact
    form (the digits that give back the very number stored), a whole number as an integer."""
    if value is None:
        return MISSING
    if isinstance(value, int):
        return f"{value:,}"
    if not math.isfinite(value):
        return {math.inf: "∞", -math.inf: "-∞"}.get(value, "NaN")
    if value == 0:
        return "0"  # -0.0 too
    # Far outside what a column holds as digits (and every BIGINT), the exponent says more.
    if not _FIXED_RANGE[0] <= abs(value) < _FIXED_RANGE[1]:
        return repr(value)
    exact = Decimal(repr(value))
    if value.is_integer():
        exact = exact.to_integral_value()
    return format(exact, ",f")


def percent(value: float | None) -> str:
    """A share to one decimal, or to as many more as tell it from none and from all."""
    if value is None:
        return MISSING
    if value in (0, 100):
        return f"{value:.1f}%"
    for digits in range(1, 7):
        text = f"{value:.{digits}f}"
        if float(text) not in (0, 100):
            return f"{text}%"
    return f"{value:.2g}%"


def lengths(row: ColumnProfileResult) -> str:
    """Text lengths as "min–max (avg N)", or the missing mark for non-text columns."""
    if row.min_length is None and row.max_length is None:
        return MISSING
    text = f"{number(row.min_length)}–{number(row.max_length)}"
    if row.avg_length is not None:
        text += f" (avg {number(row.avg_length)})"
    return text


def signed(value: int) -> str:
    """A difference of counts: "+1,204", "-3", "±0"."""
    return f"{value:+,}" if value else "±0"


def duration(milliseconds: int | None) -> str:
    if milliseconds is None:
        return MISSING
    if milliseconds < 1000:
        return f"{milliseconds:,} ms"
    return f"{milliseconds / 1000:,.1f} s"


def timestamp(value: datetime) -> str:
    return value.strftime("%Y-%m-%d %H:%M:%S")


def qualified(source_name: str, table_name: str) -> str:
    return f"{source_name}.{table_name}"
