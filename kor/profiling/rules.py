"""How severe each kind of change between two runs is: documented defaults, project overrides.

A rule is either a fixed severity ("error", "warning", "info", or "ignore": not reported) or,
for a measured change, thresholds: the change is of the most severe level whose threshold it
exceeds (strictly), and not reported when it exceeds none. `zel_project.yml` overrides them:

    diff:
      rules:                          # for every column
        null_percent_up: {warning: 2}
        column_added: warning
      columns:                        # "source.table.column", globs allowed
        raw.orders.comment: {null_percent_up: {warning: 50, error: 90}}
"""

from __future__ import annotations

import fnmatch
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from enum import IntEnum
from typing import Any, TypeAlias

from kor.config.keys import nearest, section_keys
from kor.strenum import StrEnum


class Severity(IntEnum):
    INFO = 1
    WARNING = 2
    ERROR = 3

    def __str__(self) -> str:
        return self.name.lower()

    @classmethod
    def named(cls, name: str) -> Severity:
        return cls[name.upper()]


SEVERITY_NAMES = tuple(str(severity) for severity in Severity)
IGNORE = "ignore"
# Where a new alert takes the severity the alert itself carries.
ALERT_OWN = "alert"

Rule: TypeAlias = str | dict[str, float]


class ChangeKind(StrEnum):
    """A kind of change between two runs of a table, as `diff` reports and stores it."""

    TABLE_FAILED = "table_failed"
    TABLE_ADDED = "table_added"
    TABLE_MISSING = "table_missing"
    COLUMN_ADDED = "column_added"
    COLUMN_REMOVED = "column_removed"
    TYPE_CHANGED = "type_changed"
    COLUMN_NOT_MEASURED = "column_not_measured"
    ROW_COUNT_DOWN = "row_count_down"
    ROW_COUNT_UP = "row_count_up"
    FRESHNESS_LAG_UP = "freshness_lag_up"
    NULL_PERCENT_UP = "null_percent_up"
    NULL_PERCENT_DOWN = "null_percent_down"
    UNIQUE_LOST = "unique_lost"
    DISTINCT_PERCENT_DOWN = "distinct_percent_down"
    DISTINCT_PERCENT_UP = "distinct_percent_up"
    DISTINCT_COUNT_CHANGED = "distinct_count_changed"
    MIN_CHANGED = "min_changed"
    MAX_CHANGED = "max_changed"
    MEAN_CHANGED = "mean_changed"
    STDDEV_CHANGED = "stddev_changed"
    ALERT_NEW = "alert_new"
    ALERT_RESOLVED = "alert_resolved"
    TOP_VALUES_NEW = "top_values_new"
    TOP_VALUES_GONE = "top_values_gone"
    ANOMALY = "anomaly"


# Each kind of change, its default rule, and what it measures (the README's table).
DEFAULT_RULES: dict[ChangeKind, tuple[Rule, str]] = {
    ChangeKind.TABLE_FAILED: ("error", "the table's run failed in the newer run"),
    ChangeKind.TABLE_ADDED: ("info", "a table in the newer run only"),
    ChangeKind.TABLE_MISSING: ("warning", "a table in the older run only"),
    ChangeKind.COLUMN_ADDED: ("info", "a column in the newer run only"),
    ChangeKind.COLUMN_REMOVED: ("error", "a column in the older run only"),
    ChangeKind.TYPE_CHANGED: ("warning", "a column's declared type changed"),
    ChangeKind.COLUMN_NOT_MEASURED: ("warning",
                                     "measured in the older run, not in the newer one"),
    ChangeKind.ROW_COUNT_DOWN: ({"info": 0, "warning": 10, "error": 50},
                                "rows fewer, % of the older"),
    ChangeKind.ROW_COUNT_UP: ({"info": 0}, "rows more, % of the older"),
    ChangeKind.FRESHNESS_LAG_UP: ({"info": 0},
                                  "the latest value older than in the older run, in hours"),
    ChangeKind.NULL_PERCENT_UP: ({"info": 0, "warning": 5, "error": 25},
                                 "null % up, in points"),
    ChangeKind.NULL_PERCENT_DOWN: ({"info": 0}, "null % down, in points"),
    ChangeKind.UNIQUE_LOST: ("error",
                             "a column with no repeated non-null value now has repeats"),
    ChangeKind.DISTINCT_PERCENT_DOWN: ({"info": 0, "warning": 10},
                                       "distinct % of the non-null values down, in points"),
    ChangeKind.DISTINCT_PERCENT_UP: ({"info": 0},
                                     "distinct % of the non-null values up, in points"),
    ChangeKind.DISTINCT_COUNT_CHANGED: ({"info": 0}, "distinct count changed, % of the older"),
    ChangeKind.MIN_CHANGED: ("info", "the minimum changed"),
    ChangeKind.MAX_CHANGED: ("info", "the maximum changed"),
    ChangeKind.MEAN_CHANGED: ({"info": 0, "warning": 10}, "the mean moved, % of the older"),
    ChangeKind.STDDEV_CHANGED: ({"info": 0, "warning": 50},
                                "the standard deviation changed, %"),
    ChangeKind.ALERT_NEW: (ALERT_OWN, "an alert type new on the column (its own severity)"),
    ChangeKind.ALERT_RESOLVED: ("info", "an alert type gone from the column"),
    ChangeKind.TOP_VALUES_NEW: ("info", "most frequent values that appeared"),
    ChangeKind.TOP_VALUES_GONE: ("info", "most frequent values that disappeared"),
    ChangeKind.ANOMALY: (ALERT_OWN,
                         "a figure of the newer run outside its usual range (`anomalies:`)"),
}


# Kinds of change of a whole table: no column pattern can select them.
TABLE_KINDS = frozenset({ChangeKind.TABLE_FAILED, ChangeKind.TABLE_ADDED,
                         ChangeKind.TABLE_MISSING, ChangeKind.ROW_COUNT_DOWN,
                         ChangeKind.ROW_COUNT_UP, ChangeKind.FRESHNESS_LAG_UP})


class RuleError(ValueError):
    """A `diff:` setting of the project file that is not a rule; `keys` is where it sits
    under `diff:`, so the caller can name its line."""

    def __init__(self, message: str, keys: tuple[str, ...] = ()) -> None:
        super().__init__(message)
        self.keys = keys


@dataclass
class DiffRules:
    """The rules of a project: defaults, then the project's, then per-column overrides."""

    rules: dict[str, Rule] = field(
        default_factory=lambda: {kind: rule for kind, (rule, _) in DEFAULT_RULES.items()})
    columns: list[tuple[str, dict[str, Rule]]] = field(default_factory=list)

    @classmethod
    def from_settings(cls, settings: Any) -> DiffRules:
        """The rules of a project file's `diff:` mapping (None: the defaults)."""
        rules = cls()
        if settings is None:
            return rules
        if not isinstance(settings, Mapping):
            raise RuleError("'diff' must be a mapping with 'rules' and 'columns'")
        known = section_keys("diff")
        unknown = set(map(str, settings)) - set(known)
        if unknown:
            key = sorted(unknown)[0]
            raise RuleError(f"'diff' has unknown key {key!r}{nearest(key, known)}", (key,))
        for kind, rule in _checked_rules(settings.get("rules") or {}, ("rules",)).items():
            rules.rules[kind] = _combined(rules.rules[kind], rule)
        columns = settings.get("columns") or {}
        if not isinstance(columns, Mapping):
            raise RuleError("'diff.columns' must map column patterns to rules", ("columns",))
        for pattern, overrides in columns.items():
            keys = ("columns", str(pattern))
            checked = _checked_rules(overrides, keys)
            misplaced = sorted(checked.keys() & TABLE_KINDS)
            if misplaced:
                kind = misplaced[0]
                raise RuleError(f"'{_where((*keys, kind))}': {kind} is a change of the whole "
                                "table, which a column pattern cannot select; set it under "
                                "'diff.rules'", (*keys, kind))
            rules.columns.append((str(pattern), checked))
        return rules

    def rule(self, kind: str, source: str, table: str, column: str | None) -> Rule:
        rule = self.rules[kind]
        if column is not None:
            name = f"{source}.{table}.{column}"
            for pattern, overrides in self.columns:
                if kind in overrides and fnmatch.fnmatchcase(name, pattern):
                    rule = _combined(rule, overrides[kind])
        return rule

    def severity(self, kind: str, source: str, table: str, column: str | None,
                 measure: float | None = None, alert: str | None = None) -> Severity | None:
        """The severity of a change of `kind` (None: not reported). `measure` is the size of
        a measured change; `alert` the severity a new alert carries."""
        rule = self.rule(kind, source, table, column)
        if isinstance(rule, dict):
            assert measure is not None, kind
            reached = [Severity.named(name) for name, limit in rule.items() if measure > limit]
            return max(reached, default=None)
        if rule == IGNORE:
            return None
        if rule == ALERT_OWN:
            return Severity.named(alert) if alert in SEVERITY_NAMES else Severity.INFO
        return Severity.named(rule)


def _combined(rule: Rule, override: Rule) -> Rule:
    # Thresholds given for some severities keep the others' defaults.
    if isinstance(rule, dict) and isinstance(override, dict):
        return {**rule, **override}
    return override


def _where(keys: tuple[str, ...]) -> str:
    return ".".join(("diff", *keys))


def _checked_rules(overrides: Any, keys: tuple[str, ...]) -> dict[str, Rule]:
    if not isinstance(overrides, Mapping):
        raise RuleError(f"'{_where(keys)}' must map kinds of change to rules", keys)
    for kind in overrides:
        if kind not in DEFAULT_RULES:
            raise RuleError(f"'{_where(keys)}': unknown kind of change {kind!r}"
                            f"{nearest(str(kind), DEFAULT_RULES)}", (*keys, str(kind)))
    return {ChangeKind(kind): _checked(rule, ChangeKind(kind), (*keys, kind))
            for kind, rule in overrides.items()}


def _checked(rule: Any, kind: ChangeKind, keys: tuple[str, ...]) -> Rule:
    measured = isinstance(DEFAULT_RULES[kind][0], dict)
    if isinstance(rule, str) and rule in (*SEVERITY_NAMES, IGNORE):
        return rule
    if measured and isinstance(rule, Mapping) and all(
            name in SEVERITY_NAMES and isinstance(limit, (int, float))
            and not isinstance(limit, bool) for name, limit in rule.items()):
        for name, limit in rule.items():
            # No change exceeds NaN: a threshold of .nan would silently report nothing.
            if math.isnan(limit):
                raise RuleError(f"'{_where((*keys, name))}' must be a number, not {limit}",
                                (*keys, name))
        return {str(name): float(limit) for name, limit in rule.items()}
    expected = ("a severity, 'ignore', or thresholds such as {warning: 5, error: 20}"
                if measured else "a severity or 'ignore'")
    raise RuleError(f"'{_where(keys)}' must be {expected}", keys)
