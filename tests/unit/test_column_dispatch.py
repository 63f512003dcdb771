"""The column dispatcher: classification by type, top values, alerts and timing."""

from __future__ import annotations

import pytest

from tests.builders import flags
from tests.fakes import ScriptedAdapter


def recording_task(module, make_task, mode="explorative", distinct=5, fail=None):
    class Recording(module.ProfileTask):
        seen: list

        def _metric(self, kind, col_name, col_type, row_count):
            self.seen.append(kind)
            if fail is not None:
                raise fail
            return module.ColumnProfile(col_name, col_type, row_count, distinct_count=distinct)

        def _profile_numeric_column(self, adapter, fqn, q, n, t, r):
            return self._metric("numeric", n, t, r)

        def _profile_string_column(self, adapter, fqn, q, n, t, r):
            return self._metric("string", n, t, r)

        def _profile_temporal_column(self, adapter, fqn, q, n, t, r):
            return self._metric("temporal", n, t, r)

        def _profile_boolean_column(self, adapter, fqn, q, n, t, r):
            return self._metric("boolean", n, t, r)

        def _profile_basic_column(self, adapter, fqn, q, n, t, r):
            return self._metric("basic", n, t, r)

        def _add_top_values(self, adapter, fqn, quoted_col, profile):
            self.seen.append(("top", fqn, quoted_col))

    Recording.seen = []
    return make_task(flags(MODE=mode), cls=Recording)


@pytest.mark.parametrize(
    "col_type, kind",
    [("INTEGER", "numeric"), ("BIGINT", "numeric"), ("int64", "numeric"),
     ("NUMERIC(10,2)", "numeric"), ("DOUBLE PRECISION", "numeric"), ("FLOAT8", "numeric"),
     ("real", "numeric"), ("interval", "numeric"), ("point", "numeric"),
     ("STRUCT(a INT64, b STRING)", "numeric"), ("VARCHAR(255)", "string"),
     ("character varying", "string"), ("nvarchar", "string"), ("TEXT", "string"),
     ("ARRAY(STRING)", "string"), ("clob", "string"), ("TIMESTAMP", "basic"), ("DATE", "basic"),
     ("BOOLEAN", "basic"), ("UUID", "basic"), ("JSON", "basic"), ("", "basic")],
)
def test_classification(make_task, profile_module, col_type, kind):
    task = recording_task(profile_module, make_task)
    profile = task._profile_column_sql(ScriptedAdapter(), None, "s", "t", "c", col_type, 10)
    assert task.seen[0] == kind
    assert task.seen[1] == ("top", '"s"."t"', '"c"')
    assert (profile.column_name, profile.data_type, profile.row_count) == ("c", col_type, 10)


class KindsAdapter(ScriptedAdapter):
    """An adapter that names the kinds of its own type texts, as the real ones do."""

    def column_kind(self, data_type):
        from kor.adapters.kinds import DUCKDB_KINDS

        kind = DUCKDB_KINDS.kind(data_type)
        return None if kind is None else kind.value


@pytest.mark.parametrize("col_type, kind", [
    # the adapter's kind where it names one: no more "int" inside "interval" or "point"
    ("INTERVAL", "basic"), ("STRUCT(a INTEGER, b VARCHAR)", "basic"), ("VARCHAR[]", "basic"),
    ("MAP(VARCHAR, INTEGER)", "basic"), ("UUID", "basic"), ("JSON", "basic"),
    ("TIMESTAMP WITH TIME ZONE", "temporal"), ("DATE", "temporal"), ("BOOLEAN", "boolean"),
    ("HUGEINT", "numeric"), ("DECIMAL(12,2)", "numeric"), ("VARCHAR", "string"),
    # a type text it does not know: the keyword rule
    ("point", "numeric"), ("my_text_type", "string"), ("mood", "basic")])
def test_the_adapters_kind_decides_and_the_keywords_are_the_fallback(make_task, profile_module,
                                                                     col_type, kind):
    task = recording_task(profile_module, make_task)
    profile = task._profile_column_sql(KindsAdapter(), None, "s", "t", "c", col_type, 10)
    assert task.seen[0] == kind
    names = {"string": "text", "basic": KindsAdapter().column_kind(col_type)}
    assert profile.column_kind == names.get(kind, kind)


@pytest.mark.parametrize("mode, distinct, fetched", [
    ("explorative", 0, False), ("explorative", None, False), ("explorative", 1, True),
    ("minimal", 100, True), ("explorative", 101, False), ("sensitive", 5, False),
    (7, 5, True)])
def test_top_values_gate(make_task, profile_module, mode, distinct, fetched):
    task = recording_task(profile_module, make_task, mode=mode, distinct=distinct)
    task._profile_column_sql(ScriptedAdapter(), None, "s", "t", "c", "TEXT", 10)
    assert (len(task.seen) == 2) is fetched


@pytest.mark.parametrize("text, message", [
    ("x" * 250, "Could not profile column: " + "x" * 100), ("", "Could not profile column: ")])
def test_metric_failure_becomes_an_alert_before_the_rule_alerts(make_task, profile_module,
                                                                text, message):
    task = recording_task(profile_module, make_task, fail=ValueError(text))
    profile = task._profile_column_sql(ScriptedAdapter(), None, "s", "t", "c", "INT", 0)
    assert profile.alerts[0] == {"type": "PROFILE_ERROR", "severity": "warning",
                                 "message": message}
    assert isinstance(profile.duration_ms, int)


def test_rule_alerts_are_appended(make_task, profile_module):
    class Nulls(profile_module.ProfileTask):
        def _profile_basic_column(self, adapter, fqn, q, n, t, r):
            return profile_module.ColumnProfile(n, t, r, null_count=r, null_percent=100.0)

    profile = make_task(cls=Nulls)._profile_column_sql(ScriptedAdapter(), None, "s", "t", "c",
                                                        "DATE", 4)
    assert [a["type"] for a in profile.alerts] == ["HIGH_MISSING", "ALL_NULL"]


def test_interrupts_propagate(make_task, profile_module):
    task = recording_task(profile_module, make_task, fail=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        task._profile_column_sql(ScriptedAdapter(), None, "s", "t", "c", "INT", 1)


def test_the_documented_kinds_are_the_adapters():
    import re
    from pathlib import Path

    from kor.adapters.kinds import DUCKDB_KINDS, POSTGRES_KINDS, SPARK_KINDS
    from tests.integration.test_adapters import TYPED_COLUMNS

    text = (Path(__file__).parents[2] / "docs" / "COLUMN_KINDS.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| (DuckDB|PostgreSQL|Spark) \| `([^`]+)` \| (\w+) \|$", text, re.M)
    rules = {"DuckDB": DUCKDB_KINDS, "PostgreSQL": POSTGRES_KINDS, "Spark": SPARK_KINDS}
    assert len(rows) > 60
    assert [(w, t, str(rules[w].kind(t) and rules[w].kind(t).value)) for w, t, _ in rows] == rows
    documented = {(w, t.lower()) for w, t, _ in rows}
    tested = {("DuckDB" if warehouse == "duckdb" else "PostgreSQL", data_type)
              for warehouse, columns in TYPED_COLUMNS.items() for data_type, _, _ in columns}
    # Every type the warehouse tests create is documented, as its catalog names it.
    aliases = {"timestamptz": "timestamp with time zone"}
    assert {(w, aliases.get(t, t)) for w, t in tested} - documented == set()
