"""A declared column list against the warehouse's own: what the models file says and what is.

A table whose models file lists `columns:` is profiled on those columns only (users rely on
the scope), but its columns are read from the warehouse's catalog as well, so that nothing
drifts unseen: a declared column the warehouse lacks, a warehouse column not declared, a
declared type that is not the warehouse's.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

DRIFT = "SCHEMA_DRIFT"


def _same_type(declared: str, actual: str) -> bool:
    return " ".join(declared.lower().split()) == " ".join(actual.lower().split())


def drift_alerts(columns: Sequence[Any], declared: Sequence[tuple[str, str | None]],
                 warehouse: Sequence[tuple[str, str]],
                 kind: Callable[[str], str | None]) -> list[tuple[Any, dict[str, str]]]:
    """(column profile, alert) for each difference; `columns` in table order, `kind` the
    adapter's kind of a type text. A column the warehouse lacks is an error; a declared type
    of another kind than the warehouse's a warning (the column was profiled as the warehouse's);
    a type spelled otherwise with the same kind, and warehouse columns not declared, info."""
    if not columns:
        return []
    actual = dict(warehouse)
    by_name = {column.column_name: column for column in columns}
    found: list[tuple[Any, dict[str, str]]] = []

    def alert(column: Any, severity: str, message: str) -> None:
        found.append((column, {"type": DRIFT, "severity": severity, "message": message}))

    for name, declared_type in declared:
        column = by_name.get(name)
        if column is None:
            continue
        if name not in actual:
            alert(column, "error", "Declared in the models file, not in the warehouse")
        elif declared_type and not _same_type(declared_type, actual[name]):
            others = kind(declared_type) != kind(actual[name])
            alert(column, "warning" if others else "info",
                  f"Declared {declared_type}, the warehouse has {actual[name]}"
                  + (" (profiled as that)" if others else ""))
    undeclared = [name for name, _ in warehouse if name not in dict(declared)]
    if undeclared:
        alert(columns[0], "info", "Warehouse columns not declared (not profiled): "
              + ", ".join(undeclared))
    return found
