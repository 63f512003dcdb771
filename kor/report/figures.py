"""How stored figures read on screen, the same in the terminal and in the HTML report."""

from __future__ import annotations

import re
from collections.abc import Mapping
from datetime import datetime
from decimal import Decimal

from kor.compute.metadata import ColumnProfileResult
from kor.compute.metadata.records import RecordedTableRun
from kor.profiling.freshness import age_text
from kor.text import MISSING, number


def share(row: ColumnProfileResult, value: float | None) -> str:
    """A column's share of its table's rows; none of an empty table ("–", not "0.0%")."""
    return percent(value if row.row_count else None)


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


# Text extremes are shown cut to this many characters; the store and JSON keep them whole.
SHOWN_TEXT = 40


def extremes(row: ColumnProfileResult, data_type: str | None = None) -> tuple[str, str]:
    """The column's minimum and maximum as shown: exact where the warehouse's own values
    were stored (every digit of a BIGINT, a date, a text), a boolean's false and true counts,
    else the stored doubles. A column of a floating-point `data_type` shows its exact values
    as the doubles are shown."""
    if row.true_count is not None or row.false_count is not None:
        return f"false {number(row.false_count)}", f"true {number(row.true_count)}"
    if row.min_exact is None and row.max_exact is None:
        return number(row.min_value), number(row.max_value)
    floating = _FLOATING.match(data_type or "") is not None
    return (_exact(row.min_exact, row.column_kind, floating),
            _exact(row.max_exact, row.column_kind, floating))


# Binary floating-point types of every warehouse: their exact text is a double's own digits,
# shown as the doubles are.
_FLOATING = re.compile(r"\s*(DOUBLE|FLOAT|REAL)", re.IGNORECASE)


def _exact(text: str | None, kind: str | None, floating: bool) -> str:
    if text is None:
        return MISSING
    if kind == "numeric":
        try:
            value = Decimal(text)
        except ArithmeticError:
            return text
        if value.is_finite():
            # Trailing zeros of a DECIMAL's scale dropped, as the doubles are shown.
            return number(float(value)) if floating else format(value.normalize(), ",f")
        return text
    if len(text) > SHOWN_TEXT:
        return text[:SHOWN_TEXT - 1] + "…"
    return text


def freshness(run: RecordedTableRun | None, rows: Mapping[str, ColumnProfileResult]) -> str:
    """"latest / age" of a table's run: the latest value of the column that said how fresh
    the table was (where it was stored) and its age at that run."""
    if run is None or run.freshness_seconds is None:
        return MISSING
    row = rows.get(run.freshness_column or "")
    latest = MISSING if row is None or row.max_exact is None else row.max_exact
    return f"{run.freshness_column}: {latest} / {age_text(run.freshness_seconds)}"


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
