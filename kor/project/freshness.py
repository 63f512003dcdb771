"""How fresh a source's tables must be: the `freshness:` setting of a models file.

    sources:
      - name: raw
        freshness: {warn_after: 24h, error_after: 3d}       # every table of the source
        tables:
          - name: orders
            freshness: {error_after: 12h, column: updated_at}  # this table's own

A table's setting replaces its source's. Without `column` a table is as fresh as the latest
of its date and timestamp columns.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from datetime import timedelta
from typing import Any

_AGE = re.compile(r"\s*(\d+)\s*([mhdw])\s*")
_UNITS = {"m": timedelta(minutes=1), "h": timedelta(hours=1), "d": timedelta(days=1),
          "w": timedelta(weeks=1)}
# A week of ten thousand years: no age of a date goes beyond it.
_LONGEST = timedelta(weeks=520_000)
KEYS = ("warn_after", "error_after", "column")


class FreshnessError(ValueError):
    """A `freshness:` setting that is not one."""


@dataclass(frozen=True)
class Freshness:
    """The ages past which a table is stale, as a warning and as an error."""

    warn_after: timedelta | None = None
    error_after: timedelta | None = None
    # The column whose latest value says how fresh the table is; None: the freshest dated one.
    column: str | None = None


def parse_age(value: Any) -> timedelta:
    """`30m`, `12h`, `3d` or `2w` as a time span."""
    match = _AGE.fullmatch(value) if isinstance(value, str) else None
    if match is None:
        raise FreshnessError(f"{value!r} is not an age such as 30m, 12h, 3d or 2w")
    # Digits past nine are past any age a date can have, and past what timedelta holds.
    digits = match[1].lstrip("0")
    age = int(digits) * _UNITS[match[2]] if 0 < len(digits) <= 9 else timedelta(0)
    if len(digits) > 9 or not timedelta(0) < age <= _LONGEST:
        raise FreshnessError(f"{value!r}: an age must be more than 0 and at most 520000w")
    return age


def parse_freshness(setting: Any) -> Freshness:
    """The rule a `freshness:` mapping sets."""
    if not isinstance(setting, dict):
        raise FreshnessError("must be a mapping such as {warn_after: 24h, error_after: 3d}")
    unknown = sorted(str(key) for key in setting if key not in KEYS)
    if unknown:
        raise FreshnessError(f"unknown key {unknown[0]!r} (expected {', '.join(KEYS)})")
    column = setting.get("column")
    if column is not None and not isinstance(column, str):
        raise FreshnessError("'column' must be a column name")
    warn, error = (None if setting.get(key) is None else parse_age(setting[key])
                   for key in ("warn_after", "error_after"))
    if warn is None and error is None:
        raise FreshnessError("give warn_after, error_after or both")
    if warn is not None and error is not None and error < warn:
        raise FreshnessError("error_after must not be shorter than warn_after")
    return Freshness(warn, error, column)
