"""The closing summary, plain and with Rich."""

from __future__ import annotations

from datetime import datetime

import pytest

RULE = "=" * 60


def result_with(module, alerts_per_column, **totals):
    columns = [module.ColumnProfile(f"c{i}", "T", alerts=list(a))
               for i, a in enumerate(alerts_per_column)]
    table = module.TableProfile("raw", "orders", "default", 0, len(columns), columns,
                                "explorative", datetime(2026, 1, 1), 0)
    return module.ProfileExecutionResult(profiles=[table], **totals)


def test_plain_summary(make_task, profile_module, plain_output, capsys):
    result = profile_module.ProfileExecutionResult(2, 1000, 7, 3, 1000)
    assert make_task()._print_summary(result) is None
    assert capsys.readouterr().out.splitlines() == [
        "", RULE, "  SUMMARY", "  Tables profiled: 2", "  Total rows: 1,000",
        "  Total columns: 7", "  Alerts: 3", "  Duration: 1.0s", RULE, ""]


def alert(severity, kind="T", message="m"):
    return {"type": kind, "severity": severity, "message": message}


def test_rich_summary_with_alerts(make_task, profile_module, rich_console):
    result = result_with(profile_module, [
        [alert("error", "ALL_NULL"), alert("critical", "ODD")],
        [alert("warning", "ZERO_VARIANCE", "Column has constant value: [red]x")]],
        tables_profiled=1, total_alerts=3, duration_ms=1250)
    make_task()._print_summary(result)
    lines = [line.rstrip() for line in rich_console.export_text().splitlines()]
    text = "\n".join(lines)
    assert "Tables profiled:  1" in text and "Alerts:          3" in text
    assert "Duration:         1.2s" in text
    rows = [line.split() for line in lines if "orders.c" in line]
    assert [r[:3] for r in rows] == [["ERROR", "ALL_NULL", "orders.c0"],
                                     ["INFO", "ODD", "orders.c0"],
                                     ["WARN", "ZERO_VARIANCE", "orders.c1"]]
    assert "[red]x" in text  # data prints literally
    assert "Profiling complete!" in text and "View report: zel profile serve" in text


def test_rich_summary_without_alerts_or_tables(make_task, profile_module, rich_console):
    make_task()._print_summary(profile_module.ProfileExecutionResult())
    text = rich_console.export_text()
    assert "Alerts:          0" in text and "Severity" not in text
    assert "No tables were profiled." in text and "Results saved to" not in text


def test_alert_without_severity_raises(make_task, profile_module, rich_console):
    result = result_with(profile_module, [[{"type": "X", "message": "m"}]], total_alerts=1)
    with pytest.raises(KeyError, match="severity"):
        make_task()._print_summary(result)


REASON = 'Binder Error: no [bold]column[/bold] "x"\n\nLINE 1: SELECT x\n               ^'
FOLDED = 'Binder Error: no [bold]column[/bold] "x" LINE 1: SELECT x ^'
NOT_STORED = "raw.orders: profile results not stored"


def troubled(module, statuses, errors):
    tables = [module.TableProfile("raw", "orders" if status == "success" else "gone", "default",
                                  0, 0, [], "explorative", datetime(2026, 1, 1), 0,
                                  status=status, error=None if status == "success" else REASON)
              for status in statuses]
    return module.ProfileExecutionResult(tables_profiled=len(tables), profiles=tables,
                                         errors=list(errors))


@pytest.mark.parametrize("errors", [[], [NOT_STORED]])
def test_plain_summary_names_failed_and_unstored_tables(make_task, profile_module, plain_output,
                                                        capsys, errors):
    make_task()._print_summary(troubled(profile_module, ["success", "error"], errors))
    lines = capsys.readouterr().out.splitlines()
    assert lines[3:5] == ["  Tables profiled: 2", "  Tables failed: 1"]
    assert lines[lines.index(RULE, 2):] == [
        RULE, "", "Profiling finished with errors.", "  FAIL raw.gone: " + FOLDED,
        *(["  Not stored: 1 of 2 tables (see the warnings above)"] if errors else []), ""]


@pytest.mark.parametrize("statuses, errors, saved", [
    (["success", "error"], [], "Results saved to: .zel/metadata_store.duckdb"),
    (["success", "error"], [NOT_STORED], "Not stored: 1 of 2 tables (see the warnings above)"),
    (["success"], [NOT_STORED], "Not stored: 1 of 1 tables (see the warnings above)"),
    (["error"], [], None),  # nothing succeeded, so nothing was saved
])
def test_rich_summary_never_claims_success_it_did_not_have(make_task, profile_module,
                                                           rich_console, statuses, errors, saved):
    make_task()._print_summary(troubled(profile_module, statuses, errors))
    text = rich_console.export_text()
    assert "Profiling complete!" not in text and "Profiling finished with errors." in text
    failed = statuses.count("error")
    assert ("Tables failed:    1" in text) is bool(failed)
    assert (f"  FAIL raw.gone: {FOLDED}\n" in text) is bool(failed)  # escaped, on one line
    for closing in ("Results saved to", "Not stored:"):
        assert (closing in text) is (saved is not None and saved.startswith(closing))
    if saved:
        assert saved in text
