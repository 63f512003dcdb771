"""The benchmark's instant adapter still answers every query the profiler sends.

Its canned answers are keyed by the shape of the SQL; a query it no longer recognises would
turn into a PROFILE_ERROR alert or a fallback and the benchmark would measure the wrong work.
"""

from __future__ import annotations

from bench.adapters import InstantAdapter
from bench.cases import MIXED_TYPES, instant_manifest
from bench.runs import measured_run


def test_every_column_is_profiled_from_the_canned_answers(runtime_config):
    figures, result = measured_run(runtime_config, instant_manifest(2, len(MIXED_TYPES)),
                                   InstantAdapter(), threads=1, store=False)
    columns = [column for profile in result.profiles for column in profile.columns]
    assert figures.columns == len(columns) == 2 * len(MIXED_TYPES)
    assert all(profile.status == "success" for profile in result.profiles)
    assert not [alert for column in columns for alert in column.alerts
                if alert["type"] == "PROFILE_ERROR"]
    kinds = {(column.p25 is not None, column.min_length is not None, bool(column.top_values))
             for column in columns}
    # numeric (quartiles, no top values), text (lengths, top values), other (top values only)
    assert kinds == {(True, False, False), (False, True, True), (False, False, True)}
