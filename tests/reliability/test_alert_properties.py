"""The alert rules against a model of them, on metric values around every threshold."""

from __future__ import annotations

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


def model_alerts(p) -> list[dict]:
    alerts = []

    def add(kind, severity, message):
        alerts.append({"type": kind, "severity": severity, "message": message})

    # A metric that was not measured (None) takes no part.
    nulls = p.null_percent is not None
    if nulls and p.null_percent > 50:
        add("HIGH_MISSING", "error", f"Column has {p.null_percent:.1f}% null values (>50%)")
    elif nulls and p.null_percent > 20:
        add("MISSING", "warning", f"Column has {p.null_percent:.1f}% null values")
    if p.distinct_percent is not None and p.distinct_percent > 99 and p.row_count > 100:
        add("HIGH_CARDINALITY", "info",
            f"Column is {p.distinct_percent:.1f}% unique (possible primary key)")
    if p.distinct_count and p.distinct_count < 10 and p.row_count > 1000:
        add("LOW_CARDINALITY", "info",
            f"Column has only {p.distinct_count} distinct values (possible category)")
    if nulls and p.null_percent == 100:
        add("ALL_NULL", "error", "Column is 100% null - consider removing")
    if (p.min_value is not None and p.max_value is not None and p.min_value == p.max_value
            and p.distinct_count is not None and p.distinct_count < 2):
        add("ZERO_VARIANCE", "warning", "Column has constant value: " + str(p.min_value))
    return alerts


def around(*thresholds: float, low: float = 0, high: float = 100):
    """Values at, just off and near each threshold, as int and float, and anything between."""
    offsets = [0, 1, -1, 1e-9, -1e-9, 0.04, -0.04, 0.05, -0.05, 0.06]
    near = st.builds(lambda t, d: t + d, st.sampled_from(thresholds), st.sampled_from(offsets))
    exact = st.sampled_from(thresholds)
    return st.one_of(exact, exact.map(float), near,
                     st.floats(low, high, allow_nan=False), st.integers(int(low), int(high)))


COUNTS = st.one_of(st.none(), st.sampled_from([0, 1, 9, 10, 11]), st.integers(0, 50))
ROWS = st.one_of(st.sampled_from([0, 99, 100, 101, 999, 1000, 1001]), st.integers(0, 5000))
VALUES = st.one_of(st.none(), st.integers(-3, 3), st.floats(-3, 3, allow_nan=False),
                   st.sampled_from([0, 0.0, 1, 1.0, -0.0]))


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(null_percent=st.one_of(st.none(), around(20, 50, 100)),
       distinct_percent=st.one_of(st.none(), around(99, 100)),
       row_count=ROWS, distinct_count=COUNTS, min_value=VALUES,
       max_value=st.one_of(VALUES, st.just("same")))
def test_alerts_follow_the_rules(make_task, profile_module, null_percent, distinct_percent,
                                 row_count, distinct_count, min_value, max_value):
    profile = profile_module.ColumnProfile(
        "c", "t", row_count=row_count, null_percent=null_percent,
        distinct_percent=distinct_percent, distinct_count=distinct_count, min_value=min_value,
        max_value=min_value if max_value == "same" else max_value)
    alerts = make_task()._generate_alerts(profile)
    expected = model_alerts(profile)
    assert alerts == expected
    assert all(list(alert) == ["type", "severity", "message"] for alert in alerts)
