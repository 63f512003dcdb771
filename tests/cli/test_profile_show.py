"""`zel profile show` and `zel profile report` on projects profiled by `zel profile run`."""

from __future__ import annotations

import json
from html import escape

import pytest

from tests.cli.conftest import HOSTILE, MARKUP, ODD_TABLE
from tests.cli.projects import SOURCES, run_zel, write_project


def show(project, *args: str):
    # Wide enough that no figure is folded onto a second line.
    return run_zel("profile", "show", "--project-dir", str(project), *args,
                   env={"COLUMNS": "300"})


def line_of(out: str, start: str) -> str:
    return next(line for line in out.splitlines() if line.startswith(start))


def test_show_prints_the_overview_then_each_table_in_table_order(history_project):
    done = show(history_project)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "3 tables (1 failed, 1 stale), " in out and "sample standard deviation" in out
    assert "stale" in line_of(out, "│ raw.extra ") and "failed" in line_of(out, "│ raw.shrinking")
    assert "rows +1; 1 new alert " in line_of(out, "│ raw.measures")
    measures = out[out.index("raw.measures  run 3"):out.index("raw.shrinking\n")]
    cells = {line.split("│")[1].strip(): [c.strip() for c in line.split("│")[2:-1]]
             for line in measures.splitlines() if line.startswith("│ ")}
    assert list(cells) == ["zeta", "amount", "alpha", "beta"]  # the table's order
    # type, nulls, null %, distinct, distinct %, min, max: in full, as stored; a double such
    # as the mean to 15 significant digits (2,000,000,000,000,000.333… is stored ….2)
    assert cells["zeta"][:7] == ["BIGINT", "0", "0.0%", "4", "100.0%", "1,000,000,000,000,001",
                                 "4,000,000,000,000,000"]
    assert cells["amount"][5:7] == ["38,255.1", "3,000,279.6"] and cells["alpha"][3] == "3"
    assert "e+1" not in out and "mean 2,000,000,000,000,000 → 2,500,000,000,000,000" in out
    assert "The latest run (run 3) of this table failed: " in out
    assert "The figures below are from run 2." in out


@pytest.mark.parametrize("names, shown", [
    ("measures", ["measures"]), ("raw.measures", ["measures"]), ("source:raw.m*", ["measures"]),
    ("*ing extra", ["extra", "shrinking"]), ("nope", []),
])
def test_show_table_takes_the_names_select_takes(history_project, names, shown):
    done = show(history_project, "--table", names)
    if not shown:
        assert done.returncode == 1 and f"No stored profile for table '{names}'" in done.stderr
        return
    assert done.returncode == 0, done.stderr
    assert [t for t in ("extra", "measures", "shrinking") if f"│ raw.{t} " in done.stdout] == shown
    assert done.stdout.count("History, newest first") == len(shown)


def test_show_alerts_by_severity_and_type(history_project):
    every = show(history_project, "--alerts").stdout
    assert every.index("│ error ") < every.index("│ warning ") and every.count("│ raw.") == 3
    warnings = json.loads(show(history_project, "--severity", "warning", "--format", "json")
                          .stdout)
    assert {(a["table_name"], a["type"]) for a in warnings} == {("extra", "ZERO_VARIANCE"),
                                                                ("measures", "ZERO_VARIANCE")}
    done = show(history_project, "--type", "high_missing", "--table", "measures")
    assert done.stdout.count("│ raw.") == 1 and "HIGH_MISSING" in done.stdout
    unknown = show(history_project, "--type", "NOPE")
    assert unknown.returncode == 2 and "'NOPE' is not a type of alert; one of HIGH_MISSING, " \
        "MISSING," in unknown.stderr


def test_show_keeps_stored_markup_as_text(profiled_project):
    done = show(profiled_project)
    assert done.returncode == 0, done.stderr
    assert f"raw.{ODD_TABLE}" in done.stdout  # the [b] of the name is text, not markup
    assert f"│ {HOSTILE} " in done.stdout and f"│ {MARKUP} " in done.stdout


@pytest.mark.parametrize("command", [["show"], ["report", "--output", "r.html"]])
def test_nothing_stored_says_what_to_do(tmp_path, command):
    project = write_project(tmp_path, SOURCES)
    done = run_zel("profile", *command, "--project-dir", str(project))
    assert done.returncode == 1 and done.stdout == ""
    assert "No profiles stored yet" in done.stderr and "run `zel profile run` first" in done.stderr
    assert not (project / "r.html").exists() and not (project / ".zel").exists()


def test_unknown_table_and_missing_project(profiled_project, tmp_path):
    done = show(profiled_project, "--table", "raw.nope")
    assert done.returncode == 1 and "No stored profile for table 'raw.nope'" in done.stderr
    done = show(tmp_path)
    assert done.returncode == 2 and "zel_project.yml: file not found" in done.stderr


def test_report_writes_one_self_contained_file(profiled_project, tmp_path):
    output = tmp_path / "report.html"
    done = run_zel("profile", "report", "--project-dir", str(profiled_project),
                   "--output", str(output))
    assert done.returncode == 0 and str(output) in done.stdout
    page = output.read_text(encoding="utf-8")
    assert 'href="#t1"' in page and 'id="t1"' in page and 'href="#t2"' in page
    assert 'id="alerts"' in page and '<a href="#alerts-1">warning MISSING (1)</a>' in page
    assert "<title>Overview — shop profile report</title>" in page
    # The one script element is the sorting one: stored markup stays text.
    assert page.count("<script") == page.count("<script>\n// Sorting") == 1
    assert escape(HOSTILE) in page and "<svg" in page
    assert "http" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "")
