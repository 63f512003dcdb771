"""The result records: real dataclasses with the documented fields and defaults."""

from __future__ import annotations

import dataclasses
from datetime import datetime

import pytest

COLUMN_FIELDS = [
    ("column_name", "str", dataclasses.MISSING), ("data_type", "str", dataclasses.MISSING),
    ("row_count", "int", 0), ("null_count", "Optional[int]", 0),
    ("null_percent", "Optional[float]", 0.0), ("distinct_count", "Optional[int]", 0),
    ("distinct_percent", "Optional[float]", 0.0),
    ("min_value", "Optional[float]", None), ("max_value", "Optional[float]", None),
    ("mean_value", "Optional[float]", None), ("median_value", "Optional[float]", None),
    ("stddev_value", "Optional[float]", None), ("p25", "Optional[float]", None),
    ("p50", "Optional[float]", None), ("p75", "Optional[float]", None),
    ("min_length", "Optional[int]", None), ("max_length", "Optional[int]", None),
    ("avg_length", "Optional[float]", None), ("histogram", "Optional[List[Dict]]", None),
    ("top_values", "Optional[List[Dict]]", None), ("alerts", "List[Dict]", list),
    ("duration_ms", "int", 0), ("column_kind", "Optional[str]", None),
    ("min_exact", "Optional[str]", None), ("max_exact", "Optional[str]", None),
    ("true_count", "Optional[int]", None), ("false_count", "Optional[int]", None),
    ("future_count", "Optional[int]", None), ("freshness_seconds", "Optional[float]", None),
]
TABLE_FIELDS = [
    ("source_name", "str", dataclasses.MISSING), ("table_name", "str", dataclasses.MISSING),
    ("connection_name", "str", dataclasses.MISSING), ("row_count", "int", dataclasses.MISSING),
    ("column_count", "int", dataclasses.MISSING),
    ("columns", "List[ColumnProfile]", dataclasses.MISSING),
    ("profile_mode", "str", dataclasses.MISSING), ("profiled_at", "datetime", dataclasses.MISSING),
    ("duration_ms", "int", dataclasses.MISSING), ("alerts", "List[Dict]", list),
    ("status", "str", "success"), ("error", "Optional[str]", None),
]
RESULT_FIELDS = [
    ("tables_profiled", "int", 0), ("total_rows", "int", 0), ("total_columns", "int", 0),
    ("total_alerts", "int", 0), ("duration_ms", "int", 0),
    ("profiles", "List[TableProfile]", list), ("errors", "List[str]", list),
]
RECORDS = [
    ("ColumnProfile", "Profile result for a single column (Vantry-style metrics).", COLUMN_FIELDS),
    ("TableProfile", "Profile result for a table.", TABLE_FIELDS),
    ("ProfileExecutionResult", "Result of profile execution.", RESULT_FIELDS),
]


@pytest.mark.parametrize("name, doc, fields", RECORDS, ids=[r[0] for r in RECORDS])
def test_record_shape(profile_module, name, doc, fields):
    cls = getattr(profile_module, name)
    assert dataclasses.is_dataclass(cls)
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == (
        "kor.task.profile", name, name, doc)
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__annotations__ == {f: a for f, a, _ in fields}
    declared = dataclasses.fields(cls)
    assert [f.name for f in declared] == [f for f, _, _ in fields]
    for spec, (_, _, default) in zip(declared, fields, strict=True):
        if default is list:
            assert spec.default_factory is list and spec.default is dataclasses.MISSING
        else:
            assert spec.default == default and spec.default_factory is dataclasses.MISSING
            assert type(spec.default) is type(default)
    assert cls.__hash__ is None
    assert not hasattr(cls, "__lt__") or cls.__lt__ is object.__lt__


def test_column_profile_defaults(profile_module):
    profile = profile_module.ColumnProfile("id", "INTEGER")
    assert profile == profile_module.ColumnProfile(column_name="id", data_type="INTEGER")
    values = dataclasses.astuple(profile)
    assert values[:7] == ("id", "INTEGER", 0, 0, 0.0, 0, 0.0)
    assert values[7:20] == (None,) * 13
    assert profile.alerts == [] and profile.duration_ms == 0


def test_lists_are_never_shared(profile_module):
    first, second = profile_module.ProfileExecutionResult(), profile_module.ProfileExecutionResult()
    first.profiles.append("x")
    first.errors.append("y")
    assert second.profiles == [] and second.errors == []
    assert first.profiles is not second.profiles
    a, b = profile_module.ColumnProfile("a", "t"), profile_module.ColumnProfile("a", "t")
    assert a.alerts is not b.alerts


def table_profile(module, **overrides):
    values = dict(source_name="raw", table_name="orders", connection_name="default", row_count=3,
                  column_count=0, columns=[], profile_mode="explorative",
                  profiled_at=datetime(2026, 1, 2, 3, 4, 5), duration_ms=7)
    values.update(overrides)
    return module.TableProfile(**values)


def test_equality_hashing_and_mutation(profile_module):
    a, b = table_profile(profile_module), table_profile(profile_module)
    assert a == b and a.status == "success" and a.error is None
    b.status = "error"
    assert a != b
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    with pytest.raises(TypeError, match="unhashable"):
        {profile_module.ColumnProfile("a", "t"): 1}


@pytest.mark.parametrize("missing", [f for f, _, d in TABLE_FIELDS if d is dataclasses.MISSING])
def test_table_profile_requires_its_first_nine_fields(profile_module, missing):
    values = dict(source_name="raw", table_name="t", connection_name="c", row_count=0,
                  column_count=0, columns=[], profile_mode="m", profiled_at=None, duration_ms=0)
    del values[missing]
    with pytest.raises(TypeError, match=missing):
        profile_module.TableProfile(**values)


def test_column_profile_requires_its_type(profile_module):
    with pytest.raises(TypeError, match="data_type"):
        profile_module.ColumnProfile("id")


def test_positional_construction_follows_field_order(profile_module):
    result = profile_module.ProfileExecutionResult(1, 2, 3, 4, 5)
    assert (result.tables_profiled, result.total_rows, result.total_columns, result.total_alerts,
            result.duration_ms) == (1, 2, 3, 4, 5)
    assert repr(result).startswith("ProfileExecutionResult(tables_profiled=1, total_rows=2")


def test_every_column_field_is_stored_by_its_name(profile_module):
    from kor.compute.metadata import ColumnProfileResult

    stored = {f.name for f in dataclasses.fields(ColumnProfileResult)}
    measured = {f.name for f in dataclasses.fields(profile_module.ColumnProfile)}
    # The table's own fields come from the table profile; the type is in the run's record.
    assert stored - measured == {"source_name", "table_name", "profile_mode", "profiled_at"}
    assert measured - stored == {"data_type"}
