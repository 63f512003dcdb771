"""The keys of zel_project.yml: which there are, their defaults, and the nearest to a misspelt one.

The README's "Project file reference" is `reference_table()`, checked by a test.
"""

from __future__ import annotations

import difflib
from collections.abc import Iterable
from dataclasses import dataclass


@dataclass(frozen=True)
class ProjectKey:
    key: str  # dotted below a section: "anomalies.window"
    default: str
    meaning: str


PROJECT_KEYS = (
    ProjectKey("name", "required", "the project's name, part of every table's unique id"),
    ProjectKey("target", "required unless `--target` is given", "the target commands use"),
    ProjectKey("targets", "required", "the warehouses by name: `type` (`duckdb`, `postgres`, "
               "`spark`) and its connection settings, `${VAR}` expanded"),
    ProjectKey("diff", "the defaults below", "how severe each kind of change is"),
    ProjectKey("diff.rules", "the table of changes above", "a severity, `ignore` or "
               "thresholds per kind of change"),
    ProjectKey("diff.columns", "none", "rules per `source.table.column` glob"),
    ProjectKey("anomalies", "the defaults below", "how figures are judged against their past"),
    ProjectKey("anomalies.window", "14", "earlier measured runs a figure is judged against"),
    ProjectKey("anomalies.min_runs", "7", "earlier runs needed before a figure is judged"),
    ProjectKey("anomalies.sensitivity", "3.5", "k of the usual range, median ± k · MAD"),
    ProjectKey("anomalies.seasonality", "none", "`weekday`, `hour`, or `{by: …, min_runs: 4}`"),
    ProjectKey("anomalies.metrics", "every metric, `warning`", "per metric: a severity, "
               "`ignore`, or `{severity, sensitivity, floor}`"),
    ProjectKey("anomalies.columns", "none", "settings per `source.table[.column]` glob"),
    ProjectKey("anomalies.ignore", "none", "globs of tables and columns not judged"),
)


def section_keys(section: str = "") -> tuple[str, ...]:
    """The keys directly under `section` ("": the top level), in the reference's order."""
    prefix = f"{section}." if section else ""
    return tuple(entry.key[len(prefix):] for entry in PROJECT_KEYS
                 if entry.key.startswith(prefix) and "." not in entry.key[len(prefix):])


def nearest(key: str, known: Iterable[str]) -> str:
    """"; did you mean 'x'?" for the known key most like `key`, or "" when none is close."""
    found = difflib.get_close_matches(key, [str(name) for name in known], n=1)
    return f"; did you mean {found[0]!r}?" if found else ""


def reference_table() -> str:
    """The README's table of every key with its default."""
    lines = ["| key | default | what it sets |", "|---|---|---|"]
    lines += [f"| `{entry.key}` | {entry.default} | {entry.meaning} |" for entry in PROJECT_KEYS]
    return "\n".join(lines) + "\n"
