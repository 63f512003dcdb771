"""How stored figures read on screen, the same in the terminal and in the HTML report."""

from __future__ import annotations

import math
from datetime import datetime

from kor.compute.metadata import ColumnProfileResult

MISSING = "–"

# C0 controls, DEL and C1 controls: ESC sequences can clear the screen or set the window title.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))}


def printable(text: str) -> str:
    """Text from the warehouse or the store, its control characters written out as `\\x1b`."""
    return text.translate(_CONTROLS)


def number(value: float | int | None) -> str:
    """A metric: whole numbers with thousands separators, others to six significant digits."""
    if value is None:
        return MISSING
    if isinstance(value, int):
        return f"{value:,}"
    if not math.isfinite(value) or abs(value) >= 1e15:
        return f"{value:.6g}"
    if value.is_integer():
        return f"{int(value):,}"
    if abs(value) >= 1e6:
        return f"{value:,.2f}"
    return f"{value:.6g}"


def percent(value: float | None) -> str:
    return MISSING if value is None else f"{value:.1f}%"


def lengths(row: ColumnProfileResult) -> str:
    """Text lengths as "min–max (avg N)", or the missing mark for non-text columns."""
    if row.min_length is None and row.max_length is None:
        return MISSING
    text = f"{number(row.min_length)}–{number(row.max_length)}"
    if row.avg_length is not None:
        text += f" (avg {number(row.avg_length)})"
    return text


def timestamp(value: datetime) -> str:
    return value.strftime("%Y-%m-%d %H:%M:%S")


def qualified(source_name: str, table_name: str) -> str:
    return f"{source_name}.{table_name}"
