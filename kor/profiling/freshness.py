"""How fresh a table was at its run, and the STALE alert its models-file rule asks for."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from datetime import timedelta
from typing import Any

from kor.project.freshness import Freshness


@dataclass(frozen=True)
class TableFreshness:
    """The age of the latest value of the column that says how fresh the table is."""

    column: str
    seconds: float


def table_freshness(columns: Sequence[Any], rule: Freshness | None) -> TableFreshness | None:
    """The rule's column, or else the dated column whose latest value is the most recent;
    None when no column of the table has an age."""
    aged = [column for column in columns if column.freshness_seconds is not None]
    if rule is not None and rule.column is not None:
        aged = [column for column in aged if column.column_name == rule.column]
    if not aged:
        return None
    freshest = min(aged, key=lambda column: column.freshness_seconds)
    return TableFreshness(freshest.column_name, freshest.freshness_seconds)


def age_text(seconds: float) -> str:
    """An age in its two largest units: "3d 4h", "5h 12m", "40s"; "ahead" when negative."""
    ahead = seconds < 0
    left = int(abs(seconds))
    parts: list[str] = []
    for unit, size in (("d", 86400), ("h", 3600), ("m", 60), ("s", 1)):
        # The largest unit there is, then the one after it, even when it is 0.
        if parts or left >= size or unit == "s":
            parts.append(f"{left // size}{unit}")
            left %= size
        if len(parts) == 2:
            break
    return " ".join(parts) + (" ahead" if ahead else "")


def _limit(age: timedelta) -> str:
    # A limit reads as it was written: "3d", not "3d 0h".
    text = age_text(age.total_seconds())
    return text[:-3] if text.endswith((" 0h", " 0m", " 0s")) else text


def stale_alert(columns: Sequence[Any], rule: Freshness) -> tuple[Any, dict[str, str]] | None:
    """The column to carry the table's freshness alert and the alert, when the rule is broken:
    STALE at the severity of the longest age passed, or FRESHNESS_UNMEASURED when no column
    the rule can use has an age (carried by the rule's column when the table has it, else by
    the first of `columns`, which are in table order)."""
    measured = table_freshness(columns, rule)
    if measured is None:
        if not columns:
            return None
        carrier = next((c for c in columns if c.column_name == rule.column), columns[0])
        why = (f"column '{rule.column}' is missing, not a date or timestamp, or empty"
               if rule.column else "the table has no date or timestamp column with a value")
        return carrier, {"type": "FRESHNESS_UNMEASURED", "severity": "warning",
                            "message": f"Freshness not measured: {why}"}
    age = timedelta(seconds=measured.seconds)
    passed = [(severity, limit) for severity, limit in (("error", rule.error_after),
                                                        ("warning", rule.warn_after))
              if limit is not None and age > limit]
    if not passed:
        return None
    severity, limit = passed[0]
    column = next(c for c in columns if c.column_name == measured.column)
    return column, {"type": "STALE", "severity": severity,
                    "message": f"Latest value is {age_text(measured.seconds)} old "
                               f"({severity} after {_limit(limit)})"}
