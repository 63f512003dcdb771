"""`zel profile show` and `zel profile report` on a project profiled by `zel profile run`."""

from __future__ import annotations

from html import escape

import pytest

from tests.cli.conftest import HOSTILE, MARKUP, ODD_TABLE
from tests.cli.projects import SOURCES, run_zel, write_project


def show(project, *args: str):
    return run_zel("profile", "show", "--project-dir", str(project), *args)


def test_show_prints_each_tables_latest_profile(profiled_project):
    done = show(profiled_project)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "raw.orders  explorative, 10 rows" in out and "minimal" not in out
    assert f"raw.{ODD_TABLE}" in out  # the [b] of the name is text, not markup
    assert f"│ {HOSTILE} " in out and f"│ {MARKUP} " in out  # columns named as markup
    id_line = next(line for line in out.splitlines() if "│ id " in line)
    assert [cell.strip() for cell in id_line.split("│")[2:-1]] == [
        "0.0%", "100.0%", "0", "9", "4.5", "–", "0"]
    assert "warning maybe: MISSING Column has 50.0% null values" in out
    done = show(profiled_project, "--table", ODD_TABLE)  # narrowing is the store's, tested there
    assert done.returncode == 0 and "raw.orders" not in done.stdout


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
    assert "<script" not in page and escape(HOSTILE) in page and "<svg" in page
    assert "http" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "")
