"""How the host writes text: one line, no control characters, figures in full.

Below both the library and the report, so that a library message and a report cell read alike.
"""

from __future__ import annotations

import math
from decimal import Decimal

MISSING = "–"
# Magnitudes written out in digits; beyond them (no column's whole numbers are) an exponent.
_FIXED_RANGE = (1e-9, 1e21)
# Digits of a double that survive text → double → text whatever the value (DBL_DIG).
SIGNIFICANT = 15

# C0 controls, DEL and C1 controls: ESC sequences can clear the screen or set the window title.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))}


def printable(text: str) -> str:
    """Text from the warehouse or the store, its control characters written out as `\\x1b`."""
    return text.translate(_CONTROLS)


def one_line(text: str) -> str:
    """Text on one line: each run of whitespace (the line breaks of a warehouse's message)
    as one space, other control characters written out."""
    return printable(" ".join(text.split()))


def joined_lines(message: str) -> str:
    """A driver's message folded onto one line (libpq's run over several), its lines
    joined by "; " so that each still reads as its own statement."""
    return "; ".join(line.strip() for line in message.splitlines() if line.strip())


def number(value: float | int | None) -> str:
    """A stored figure with thousands separators: a float to at most 15 significant digits
    (as many as a double holds for certain; the 16th and 17th are the binary's rounding),
    trailing zeros dropped, a whole number as an integer; an int in full."""
    if value is None:
        return MISSING
    if isinstance(value, int):
        return f"{value:,}"
    if not math.isfinite(value):
        return {math.inf: "∞", -math.inf: "-∞"}.get(value, "NaN")
    if value == 0:
        return "0"  # -0.0 too
    digits = f"{value:.{SIGNIFICANT}g}"
    # Far outside what a column holds as digits (and every BIGINT), the exponent says more.
    if not _FIXED_RANGE[0] <= abs(value) < _FIXED_RANGE[1]:
        return digits
    # "%g" writes 1e+16 for a whole number of 17 digits; Decimal spells it out.
    return format(Decimal(digits), ",f")


def figure(value: object) -> str:
    """A value decoded from a stored JSON figure: a number as `number` shows it, anything
    else (a date, a text) as it is."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return number(value)
    return str(value)


def qualified(source_name: str, table_name: str) -> str:
    return f"{source_name}.{table_name}"
