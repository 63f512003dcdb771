"""Each adapter operation failing at each of its call sites, on a whole run."""

from __future__ import annotations

import copy
import threading

import pytest

from tests.builders import flags
from tests.faults import OPERATIONS, Fault, FaultyAdapter, InstantAdapter, install
from tests.reliability.scenario import (
    Site,
    column_fields,
    project,
    query_kind,
    sequential_cases,
    summarise,
)

MESSAGE = "injected fault"

# What a failing query leaves unset on the column (its fallback or its enrichment missing).
UNSET_BY_QUERY = {
    # The histogram is binned between the extremes the numeric query measured.
    "numeric": ("min_value", "max_value", "mean_value", "stddev_value", "p25", "p50", "p75",
                "median_value", "min_exact", "max_exact", "histogram"),
    "percentiles": ("p25", "p50", "p75", "median_value"),
    "string": ("min_length", "max_length", "avg_length", "min_exact", "max_exact"),
    "top": ("top_values",),
    "histogram": ("histogram",),
}


# A column whose profiling failed: its counts were not measured (the row count was).
UNMEASURED = dict.fromkeys(("null_count", "null_percent", "distinct_count", "distinct_percent"))


@pytest.fixture
def faulty(monkeypatch):
    return install(monkeypatch, FaultyAdapter(InstantAdapter()))


def run(make_task, threads=1, mode="explorative"):
    task = make_task(flags(THREADS=threads, MODE=mode), project())
    result = task.run()
    return task, result


def clean_trace(make_task, faulty, threads=1):
    faulty.arm(None)
    _, result = run(make_task, threads)
    return summarise(result), list(faulty.calls)


CASES = sequential_cases()  # computed at collection: the trace is fixed by the project


def case_id(case):
    operation, n, site = case
    return f"{operation}#{n}-{site.kind}-{site.column or 'table'}"


def expected_after(clean: list[dict], operation: str, site: Site, pooled: bool,
                   defaults) -> list[dict]:
    """The documented outcome of `operation` failing at `site`, applied to a clean run."""
    tables = copy.deepcopy(clean)
    table = tables[site.node - 1]
    error_record = {"table": table["table"], "status": "error", "error": MESSAGE,
                    "row_count": 0, "columns": {}}
    if site.kind in ("adapter", "count", "listing"):
        # No adapter, or a count or column listing the warehouse refused: the table failed.
        tables[site.node - 1] = error_record
    elif site.kind == "name" and site.column is None:
        # The table name for the count cannot be built: the count stands at 0.
        table["row_count"] = 0
        for name, column in table["columns"].items():
            fresh = defaults(name, column["data_type"], 0)
            column.update(row_count=0, null_percent=fresh["null_percent"],
                          distinct_percent=fresh["distinct_percent"])
    elif site.kind == "name" and not pooled:
        # Outside the dispatcher's guard and with no pool to catch it: the table failed.
        tables[site.node - 1] = error_record
    elif site.kind == "name":
        column = table["columns"][site.column]
        failed = defaults(site.column, column["data_type"], table["row_count"])
        failed.update(UNMEASURED, alerts=[{"type": "PROFILE_ERROR", "severity": "warning",
                                           "message": MESSAGE}])
        table["columns"][site.column] = failed
    elif site.kind == "basic":
        # Even the basic counts failed: a column marked as not profiled, not a clean one.
        column = table["columns"][site.column]
        failed = defaults(site.column, column["data_type"], table["row_count"])
        failed.update(UNMEASURED, alerts=[{"type": "PROFILE_ERROR", "severity": "warning",
                                           "message": "Could not profile column: " + MESSAGE}],
                      column_kind=column["column_kind"])  # classified before it failed
        table["columns"][site.column] = failed
    else:
        column = table["columns"][site.column]
        for field in UNSET_BY_QUERY[site.kind]:
            column[field] = None
    return tables


@pytest.fixture
def defaults(profile_module):
    def make(name, data_type, row_count):
        return column_fields(profile_module.ColumnProfile(column_name=name, data_type=data_type,
                                                          row_count=row_count))

    return make


def test_every_operation_is_exercised():
    assert {operation for operation, _, _ in CASES} == set(OPERATIONS)
    kinds = {site.kind for _, _, site in CASES}
    assert kinds == {"adapter", "listing", "name", "count", "numeric", "percentiles", "string",
                     "basic", "top", "histogram"}


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_exception_at_each_call_site(make_task, faulty, plain_output, capsys, defaults, case):
    operation, n, site = case
    clean, _ = clean_trace(make_task, faulty)
    faulty.arm(Fault(operation, n, lambda: RuntimeError(MESSAGE)))
    task, result = run(make_task)

    assert faulty.fired
    assert summarise(result) == expected_after(clean, operation, site, False, defaults)
    assert "  SUMMARY" in capsys.readouterr().out  # the run went to its end
    assert result.tables_profiled == 2
    assert task.interpret_results(result) is True  # one table always succeeds


def pool_fault(operation: str, site: Site) -> Fault:
    """The fault of `site` told by its arguments, since a pool's call order varies."""
    if operation == "quote":
        return Fault("quote", match=lambda args: args == (site.column,),
                     error=lambda: RuntimeError(MESSAGE))
    return Fault("execute", error=lambda: RuntimeError(MESSAGE),
                 match=lambda args: query_kind(args[0]) == site.kind
                 and f'"{site.column}"' in args[0])


POOL_CASES = [case for case in CASES if case[2].column is not None
              and case[0] in ("quote", "execute") and (case[0] == "execute" or case[2].kind ==
                                                      "name")]


@pytest.mark.parametrize("case", POOL_CASES, ids=case_id)
def test_column_faults_on_the_pool(make_task, faulty, plain_output, capsys, defaults, case):
    operation, _, site = case
    clean, _ = clean_trace(make_task, faulty, threads=4)
    faulty.arm(pool_fault(operation, site))
    task, result = run(make_task, threads=4)
    assert faulty.fired
    assert summarise(result) == expected_after(clean, operation, site, True, defaults)
    assert "  SUMMARY" in capsys.readouterr().out


def other_threads() -> set:
    return {t for t in threading.enumerate() if t is not threading.current_thread()}


def assert_no_threads_left(before: set) -> None:
    left = other_threads() - before
    # The pool is shut down (its workers joined) before the interrupt leaves the table.
    assert not [t for t in left if t.name.startswith("ThreadPoolExecutor")]
    # Rich's refresh thread is told to stop, not joined: it ends on its next tick.
    for thread in left:
        thread.join(timeout=5)
        assert not thread.is_alive(), thread


@pytest.mark.parametrize("rich", [False, True], ids=["plain", "rich"])
@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_interrupts_propagate_and_leave_no_threads(make_task, faulty, monkeypatch, profile_module,
                                                   capsys, case, interrupt, threads, rich):
    from rich.console import Console

    monkeypatch.setattr(profile_module, "HAS_RICH", rich)
    monkeypatch.setattr(profile_module, "console",
                        Console(file=None, force_terminal=False) if rich else None)
    operation, n, _ = case
    before = other_threads()
    faulty.arm(Fault(operation, n, interrupt))
    with pytest.raises(interrupt):
        run(make_task, threads)
    assert faulty.fired
    assert_no_threads_left(before)
