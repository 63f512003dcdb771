"""The alert rules: thresholds, messages, order."""

from __future__ import annotations

import pytest


def alerts_for(make_task, module, **metrics):
    return make_task()._generate_alerts(module.ColumnProfile("c", "t", **metrics))


@pytest.mark.parametrize(
    "metrics, expected",
    [
        ({}, []),
        ({"null_percent": 20}, []),
        ({"null_percent": 20.04}, [("MISSING", "warning", "Column has 20.0% null values")]),
        ({"null_percent": 50}, [("MISSING", "warning", "Column has 50.0% null values")]),
        ({"null_percent": 75.25},
         [("HIGH_MISSING", "error", "Column has 75.2% null values (>50%)")]),
        ({"null_percent": 100},
         [("HIGH_MISSING", "error", "Column has 100.0% null values (>50%)"),
          ("ALL_NULL", "error", "Column is 100% null - consider removing")]),
        ({"distinct_percent": 100.0, "row_count": 100}, []),
        ({"distinct_percent": 99.96, "row_count": 101},
         [("HIGH_CARDINALITY", "info", "Column is 100.0% unique (possible primary key)")]),
        ({"distinct_count": 9, "row_count": 1001},
         [("LOW_CARDINALITY", "info", "Column has only 9 distinct values (possible category)")]),
        ({"distinct_count": 9, "row_count": 1000}, []),
        ({"distinct_count": 10, "row_count": 5000}, []),
        ({"distinct_count": 0, "row_count": 5000}, []),
        ({"min_value": 0, "max_value": 0},
         [("ZERO_VARIANCE", "warning", "Column has constant value: 0")]),
        ({"min_value": 1.5, "max_value": 1.5},
         [("ZERO_VARIANCE", "warning", "Column has constant value: 1.5")]),
        ({"min_value": 1.0, "max_value": None}, []),
        ({"min_value": None, "max_value": 1.0}, []),
        ({"min_value": 1.0, "max_value": 2.0}, []),
        ({"min_value": 1.5, "max_value": 1.5, "distinct_count": 1},
         [("ZERO_VARIANCE", "warning", "Column has constant value: 1.5")]),
        ({"min_value": 2.0**53, "max_value": 2.0**53, "distinct_count": 2}, []),
        ({"min_value": 0, "max_value": 0, "distinct_count": None}, []),
    ],
)
def test_rules(make_task, profile_module, metrics, expected):
    got = alerts_for(make_task, profile_module, **metrics)
    assert [(a["type"], a["severity"], a["message"]) for a in got] == expected
    assert all(list(a) == ["type", "severity", "message"] for a in got)


def test_every_rule_fires_in_order(make_task, profile_module):
    got = alerts_for(make_task, profile_module, null_percent=100.0, distinct_percent=100.0,
                     row_count=2000, distinct_count=1, min_value=4.0, max_value=4.0)
    assert [a["type"] for a in got] == [
        "HIGH_MISSING", "HIGH_CARDINALITY", "LOW_CARDINALITY", "ALL_NULL", "ZERO_VARIANCE"]


def test_profile_is_left_unchanged(make_task, profile_module):
    profile = profile_module.ColumnProfile("c", "t", null_percent=100.0)
    make_task()._generate_alerts(profile)
    assert profile.alerts == []


@pytest.mark.parametrize("unmeasured", [
    {"null_percent": None, "null_count": None},
    {"distinct_percent": None, "distinct_count": None, "row_count": 5000},
])
def test_unmeasured_metrics_are_skipped(make_task, profile_module, unmeasured):
    # A column whose profiling failed carries None counts; its other rules still apply.
    metrics = {"null_percent": 100.0, "distinct_percent": 100.0, "row_count": 5000,
               "distinct_count": 3, **unmeasured}
    got = alerts_for(make_task, profile_module, **metrics)
    expected = (["HIGH_CARDINALITY", "LOW_CARDINALITY"] if "null_percent" in unmeasured
                else ["HIGH_MISSING", "ALL_NULL"])
    assert [a["type"] for a in got] == expected


def test_uncomparable_metrics_raise(make_task, profile_module):
    with pytest.raises(TypeError):
        alerts_for(make_task, profile_module, null_percent="12")
