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
