"""A real DuckDB project profiled twice by `zel profile run`, shared read-only by CLI tests."""

from __future__ import annotations

from pathlib import Path

import pytest

from tests.cli.projects import run_zel, write_project

HOSTILE = "<script>alert(1)</script>"
MARKUP = "[bold red]boom[/]"
ODD_TABLE = "odd/na?me#[b]"

PROFILED_SOURCES = f"""
sources:
  - name: raw
    schema: main
    tables:
      - {{name: orders}}
      - {{name: "{ODD_TABLE}"}}
"""


@pytest.fixture(scope="session")
def profiled_project(tmp_path_factory) -> Path:
    """`raw.orders` profiled in minimal then explorative mode; one table of hostile text."""
    project = write_project(tmp_path_factory.mktemp("profiled"), PROFILED_SOURCES, [
        f'CREATE TABLE "{ODD_TABLE}" AS SELECT * FROM (VALUES '
        f"('{HOSTILE}', 1), ('{MARKUP}', 1), ('{HOSTILE}', 1)) v(\"{HOSTILE}\", \"{MARKUP}\")",
    ])
    for mode in ("minimal", "explorative"):
        done = run_zel("profile", "run", "--project-dir", str(project), "--mode", mode)
        assert done.returncode == 0, done.stdout + done.stderr
    return project
