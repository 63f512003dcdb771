"""Each kind of change between two runs, at its threshold, and the project's overrides."""

from __future__ import annotations

import json
import re
from datetime import datetime, timedelta, timezone

import pytest

from kor.compute.metadata.records import RecordedRun, RecordedTableRun
from kor.profiling.diff import RunNotFound, compare_tables, resolve_run
from kor.profiling.rules import DiffRules, Severity
from tests.builders import stored_row

BASE, HEAD = 1, 2
COLUMNS = [("id", "INTEGER"), ("v", "DOUBLE")]


def table_run(run_id: int, *, columns=COLUMNS, rows: int = 1000, status: str = "success",
              stored: bool = True, error: str | None = None,
              freshness: float | None = None) -> RecordedTableRun:
    when = datetime(2026, 1, run_id)
    return RecordedTableRun(run_id, when, "raw", "t", status, error, rows, len(columns), 5,
                            when, list(columns), stored, "at", freshness)


def row(**fields):
    values = dict(row_count=1000, null_count=0, null_percent=0.0, distinct_count=1000,
                  distinct_percent=100.0)
    values.update(fields)
    return stored_row("raw", "t", "v", **values)


def alerts(*types: tuple[str, str]) -> str:
    return json.dumps([{"type": t, "severity": s, "message": "m"} for t, s in types])


def changes(base_row=None, head_row=None, *, base=None, head=None, rules=None):
    base = base or table_run(BASE)
    head = head or table_run(HEAD)
    rows = {(BASE, "raw", "t"): {"v": base_row or row()},
            (HEAD, "raw", "t"): {"v": head_row or row()}}
    diff = compare_tables(("raw", "t"), base, head, rows, rules or DiffRules())
    return diff, {(c.kind, c.column): c.severity for c in diff.changes}


W, E, I = Severity.WARNING, Severity.ERROR, Severity.INFO  # noqa: E741


@pytest.mark.parametrize("base_row, head_row, kind, severity", [
    # null % up, in points: more than 5 a warning, more than 25 an error.
    (row(null_percent=10.0), row(null_percent=15.0), "null_percent_up", I),
    (row(null_percent=10.0), row(null_percent=15.01), "null_percent_up", W),
    (row(null_percent=10.0), row(null_percent=35.0), "null_percent_up", W),
    (row(null_percent=10.0), row(null_percent=35.01), "null_percent_up", E),
    (row(null_percent=10.0), row(null_percent=9.0), "null_percent_down", I),
    # a unique column that gets repeats, whatever the size of the drop
    (row(), row(distinct_percent=99.99, distinct_count=999), "unique_lost", E),
    (row(distinct_percent=50.0), row(distinct_percent=40.0), "distinct_percent_down", I),
    (row(distinct_percent=50.0), row(distinct_percent=39.9), "distinct_percent_down", W),
    (row(distinct_count=10), row(distinct_count=11), "distinct_count_changed", I),
    (row(min_value=1.0), row(min_value=2.0), "min_changed", I),
    (row(max_value=1.0), row(max_value=2.0), "max_changed", I),
    (row(max_exact="2026-12-08"), row(max_exact="2026-12-09"), "max_changed", I),
    (row(min_exact="apple"), row(min_exact="Apple"), "min_changed", I),
    # the mean moved by more than 10 % of the older one, stddev by more than 50 %
    (row(mean_value=100.0), row(mean_value=110.0), "mean_changed", I),
    (row(mean_value=100.0), row(mean_value=89.9), "mean_changed", W),
    (row(mean_value=0.0), row(mean_value=0.1), "mean_changed", W),
    (row(stddev_value=2.0), row(stddev_value=3.0), "stddev_changed", I),
    (row(stddev_value=2.0), row(stddev_value=3.01), "stddev_changed", W),
    # a new alert takes its own severity; a gone one is news
    (row(), row(alerts=alerts(("HIGH_MISSING", "error"))), "alert_new", E),
    (row(), row(alerts=alerts(("MISSING", "warning"))), "alert_new", W),
    (row(alerts=alerts(("MISSING", "warning"))), row(), "alert_resolved", I),
    (row(top_values='[{"value": "a", "count": 2}]'),
     row(top_values='[{"value": "b", "count": 2}]'), "top_values_new", I),
    (row(top_values='[{"value": "a", "count": 2}]'),
     row(top_values='[{"value": "b", "count": 2}]'), "top_values_gone", I),
    # measured before, not now: a failed column stores no counts
    (row(), row(null_count=None, null_percent=None, distinct_count=None,
                distinct_percent=None), "column_not_measured", W),
])
def test_column_changes_at_their_thresholds(base_row, head_row, kind, severity):
    assert changes(base_row, head_row)[1][(kind, "v")] == severity


@pytest.mark.parametrize("base_row, head_row", [
    (row(mean_value=1 / 3), row(mean_value=1 / 3 + 1e-17)),  # the same figure, recomputed
    (row(), row()),
    # not measured before: nothing to compare, however different the figures
    (row(null_percent=None, distinct_count=None, alerts=alerts(("PROFILE_ERROR", "warning"))),
     row(null_percent=90.0)),
    # top values on one side only were not measured alike
    (row(top_values='[{"value": "a", "count": 2}]'), row()),
])
def test_no_change_is_reported_where_nothing_comparable_changed(base_row, head_row):
    assert changes(base_row, head_row)[1] == {}


def column(rows: int, nulls: int, distinct: int, **fields):
    return row(row_count=rows, null_count=nulls, null_percent=nulls / rows * 100,
               distinct_count=distinct, distinct_percent=distinct / rows * 100, min_value=1.0,
               max_value=600.0, mean_value=300.5, stddev_value=173.35,
               top_values='[{"value": "1", "count": 1}]', **fields)


@pytest.mark.parametrize("distinct", [600, 300, 1])
@pytest.mark.parametrize("before, after, expected", [
    # 400 NULL rows added to 600 values, then taken away again: only the nulls and rows moved
    ((600, 0), (1000, 400), {("null_percent_up", "v"): E, ("row_count_up", None): I}),
    ((1000, 400), (600, 0), {("null_percent_down", "v"): I, ("row_count_down", None): W}),
])
def test_nulls_alone_change_only_the_null_share(distinct, before, after, expected):
    (base_rows, base_nulls), (head_rows, head_nulls) = before, after
    diff = compare_tables(
        ("raw", "t"), table_run(BASE, rows=base_rows), table_run(HEAD, rows=head_rows),
        {(BASE, "raw", "t"): {"v": column(base_rows, base_nulls, distinct)},
         (HEAD, "raw", "t"): {"v": column(head_rows, head_nulls, distinct)}}, DiffRules())
    found = {(c.kind, c.column): c.severity for c in diff.changes}
    assert found == expected


@pytest.mark.parametrize("base, head, kind, column, severity", [
    (table_run(BASE, rows=1000), table_run(HEAD, rows=900), "row_count_down", None, I),
    (table_run(BASE, rows=1000), table_run(HEAD, rows=899), "row_count_down", None, W),
    (table_run(BASE, rows=1000), table_run(HEAD, rows=499), "row_count_down", None, E),
    (table_run(BASE, rows=0), table_run(HEAD, rows=5), "row_count_up", None, I),
    (table_run(BASE, freshness=3600.0), table_run(HEAD, freshness=90000.0), "freshness_lag_up",
     "at", I),
    (table_run(BASE), table_run(HEAD, columns=COLUMNS + [("x", "TEXT")]), "column_added", "x",
     I),
    (table_run(BASE), table_run(HEAD, columns=COLUMNS[:1]), "column_removed", "v", E),
    (table_run(BASE), table_run(HEAD, columns=[("id", "BIGINT"), ("v", "DOUBLE")]),
     "type_changed", "id", W),
    (table_run(BASE), table_run(HEAD, status="error", error="gone"), "table_failed", None, E),
])
def test_table_changes(base, head, kind, column, severity):
    assert changes(base=base, head=head)[1][(kind, column)] == severity


@pytest.mark.parametrize("base, head, note", [
    (table_run(BASE), table_run(HEAD, status="error", error="gone"), "newer run"),
    (table_run(BASE, stored=False), table_run(HEAD), "older run"),
    (table_run(BASE), table_run(HEAD, stored=False), "newer run"),
])
def test_unmeasured_tables_are_not_compared(base, head, note):
    diff, found = changes(row(null_percent=0.0), row(null_percent=99.0), base=base, head=head)
    assert note in diff.note and not any(kind.startswith("null") for kind, _ in found)


def test_without_figures_only_the_schema_rows_and_alerts_are_compared():
    base_row = row(mean_value=1.0, null_percent=1.0, alerts=alerts(("MISSING", "warning")),
                   top_values='[{"value": "a", "count": 2}]')
    head_row = row(mean_value=9.0, null_percent=40.0, alerts=alerts(("UNIQUE", "info")),
                   top_values='[{"value": "b", "count": 2}]')
    base, head = table_run(BASE), table_run(HEAD, rows=10, columns=COLUMNS + [("x", "T")])
    rows = {(BASE, "raw", "t"): {"v": base_row}, (HEAD, "raw", "t"): {"v": head_row}}
    full, summary = (compare_tables(("raw", "t"), base, head, rows, DiffRules(), figures=f)
                     for f in (True, False))
    assert summary.changes == [c for c in full.changes if not c.kind.startswith(
        ("mean", "null", "distinct", "top"))]
    assert {c.kind for c in summary.changes} == {"column_added", "row_count_down", "alert_new",
                                                 "alert_resolved"}


def test_legacy_runs_without_types_compare_no_types():
    untyped = [("id", None), ("v", None)]
    assert changes(base=table_run(BASE, columns=untyped), head=table_run(HEAD))[1] == {}


def test_project_and_column_rules_override_the_defaults():
    rules = DiffRules.from_settings({
        "rules": {"null_percent_up": {"warning": 1}, "column_added": "error",
                  "top_values_new": "ignore"},
        "columns": {"raw.t.*": {"null_percent_up": {"error": 2}}, "raw.other.v": {
            "null_percent_up": "ignore"}}})
    base_row = row(null_percent=0.0, top_values='[{"value": "a", "count": 2}]')
    head_row = row(null_percent=3.0, top_values='[{"value": "b", "count": 2}]')
    _, found = changes(base_row, head_row, head=table_run(HEAD, columns=COLUMNS + [("x", "T")]),
                       rules=rules)
    assert found[("null_percent_up", "v")] == E  # the column's error threshold, 2 points
    assert found[("column_added", "x")] == E and ("top_values_new", "v") not in found
    assert rules.severity("null_percent_up", "raw", "t", "v", 1.5) == W  # project: 1 point


@pytest.mark.parametrize("diff, line, message", [
    ("rules: {nulls_up: error}", 2, "'diff.rules': unknown kind of change 'nulls_up'"),
    ("rules: {column_added: {warning: 1}}", 2, "'diff.rules.column_added' must be a severity"),
    ("rules: {null_percent_up: {fatal: 1}}", 2, "thresholds such as"),
    ("rules: {null_percent_up: loud}", 2, "thresholds such as"),
    ("rules:\n    row_count_down:\n      info: 0\n      error: .nan", 5,
     "'diff.rules.row_count_down.error' must be a number, not nan"),
    ("columns:\n    raw.t.*: {null_percent_up: {warning: .NaN}}", 3, "not nan"),
    ("columns:\n    raw.t.*:\n      null_percent_up: info\n      row_count_down: error", 5,
     "'diff.columns.raw.t.*.row_count_down': row_count_down is a change of the whole table"),
    ("columns: [a]", 2, "'diff.columns' must map column patterns"),
    ("thresholds: {}", 2, "'diff' has unknown key 'thresholds'"),
    ("rule: {}", 2, "'diff' has unknown key 'rule'; did you mean 'rules'?"),
    ("rules:\n    column_added: info\n    null_percent_upp: warning", 4,
     "'diff.rules': unknown kind of change 'null_percent_upp'; did you mean 'null_percent_up'?"),
    ("", 1, "'diff' must be a mapping"),
])
def test_bad_rules_are_refused_with_the_file_line_and_setting_named(tmp_path, diff, line,
                                                                    message):
    from kor.config.files import ProjectError
    from kor.profiling.history import project_rules

    path = tmp_path / "zel_project.yml"
    path.write_text(f"diff:\n  {diff}\n" if diff else "diff: strict\n", encoding="utf-8")
    with pytest.raises(ProjectError) as refused:
        project_rules(tmp_path)
    assert str(refused.value).startswith(f"{path}: at line {line}: ")
    assert message in str(refused.value)


def test_the_readme_documents_every_kind_of_change_with_its_default():
    from pathlib import Path

    from kor.profiling.rules import ALERT_OWN, DEFAULT_RULES

    readme = (Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
    table = readme[readme.index("| change | what it measures | default severity |"):]
    table = table[:table.index("\n\n")]
    documented = {kind: default for kind, default in
                  re.findall(r"^\| `(\w+)` \| [^|]+ \| ([^|]+) \|$", table, re.MULTILINE)}

    def shown(rule) -> str:
        if isinstance(rule, dict):
            return ", ".join(f"{severity} > {limit:g}" for severity, limit in rule.items())
        return "the alert's own severity" if rule == ALERT_OWN else rule

    assert documented == {kind: shown(rule) for kind, (rule, _) in DEFAULT_RULES.items()}


def _local(moment: datetime) -> str:
    """`moment`, a local time, written with this machine's offset and with another one."""
    return moment.astimezone(timezone(timedelta(hours=-11, minutes=-30))).isoformat()


@pytest.mark.parametrize("spec, expected", [
    ("2", 2), ("2026-01-02", 2), ("2026-01-01", 1), ("2026-01-02T11:59:59", 1),
    (_local(datetime(2026, 1, 2, 12)), 2), (_local(datetime(2026, 1, 2, 11, 59)), 1),
    ("99", "no recorded run with id 99"),
    ("20260102", "no recorded run with id 20260102 (a date is written 2026-01-02)"),
    ("²", "'²' is neither a run id (digits) nor a date"),
    ("٣", "neither a run id"), ("2026-13-01", "neither a run id"),
    ("9999-12-31T23:59:59-14:00", "neither a run id"), ("1999-12-31", "on or before 1999"),
])
def test_runs_are_named_by_id_or_by_a_date_with_or_without_offset(spec, expected):
    runs = [RecordedRun(run_id=n, started_at=datetime(2026, 1, n, 12), ended_at=None,
                        project=None, target=None, select=[], exclude=[], profile_mode=None,
                        threads=None, status="success", exit_status=0, tool_version=None)
            for n in (1, 2)]
    if isinstance(expected, int):
        assert resolve_run(runs, spec) == expected
    else:
        with pytest.raises(RunNotFound, match=re.escape(expected)):
            resolve_run(runs, spec)
