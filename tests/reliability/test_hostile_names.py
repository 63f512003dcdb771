"""Hostile table and column names, and markup in values, on a real DuckDB warehouse.

Each name below is a table holding a column of the same name (text whose values carry markup
and HTML), a constant numeric column (so that every table raises an alert) and an id.
"""

from __future__ import annotations

import hashlib
from pathlib import Path

import duckdb
import pytest
import yaml
from rich.console import Console

from tests.builders import flags, manifest, source
from tests.cli.test_profile_run import zel

NAMES = {
    "single quote": "it's",
    "double quote": 'a"b',
    "semicolon": 'x"; DROP TABLE keep; --',
    "backslash": "back\\slash\\",
    "unicode": "ünïcödé 表 🚀",
    "spaces": " with  spaces ",
    "control": "tab\tand\nnewline",
    "long": "n" * 1000,
    "markup": "[bold red]red[/]",
    "closing tag": "[/bold]",
    "html": "<script>alert('x')</script>",
}
VALUES = ["[red]v[/red]", "<b>bold</b>", "[/]", "&amp;"]


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def constant_column(name: str) -> str:
    return name + " n"


def make_warehouse(path: Path) -> None:
    with duckdb.connect(str(path)) as connection:
        connection.execute("CREATE TABLE keep AS SELECT 1 AS kept")
        values = ", ".join("'" + v.replace("'", "''") + "'" for v in VALUES)
        for name in NAMES.values():
            connection.execute(
                f"CREATE TABLE {quote(name)} AS SELECT i AS id, "
                f"CASE WHEN i % 5 = 0 THEN NULL ELSE ([{values}])[i % 4 + 1] END "
                f"AS {quote(name)}, 7 AS {quote(constant_column(name))} FROM range(40) r(i)")


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def squashed(text: str) -> str:
    return "".join(text.split())


def shown(name: str) -> str:
    """A name as the terminal shows it: control characters as escapes, the rest as written."""
    return "".join(f"\\x{ord(c):02x}" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c
                   for c in name)


@pytest.fixture
def warehouse(runtime_config):
    path = Path(runtime_config.target["path"])
    make_warehouse(path)
    return path


def graph(declared: bool):
    columns = (lambda name: [("id", "INTEGER"), (name, "VARCHAR"),
                             (constant_column(name), "INTEGER")]) if declared else (lambda _: [])
    return manifest(*[source("raw", f"t{i}", name, columns=columns(name))
                      for i, name in enumerate(NAMES.values())])


@pytest.mark.parametrize("declared", [False, True], ids=["listed", "declared"])
@pytest.mark.parametrize("rich", [False, True], ids=["plain", "rich"])
def test_hostile_names_profile_and_print_literally(make_task, warehouse, monkeypatch, capsys,
                                                   profile_module, declared, rich):
    console = Console(record=True, width=3000, color_system=None) if rich else None
    monkeypatch.setattr(profile_module, "HAS_RICH", rich)
    monkeypatch.setattr(profile_module, "console", console)
    before = digest(warehouse)

    task = make_task(flags(THREADS=4), graph(declared))
    result = task.run()
    out = console.export_text() if rich else capsys.readouterr().out

    assert [p.status for p in result.profiles] == ["success"] * len(NAMES)
    with duckdb.connect(str(warehouse), read_only=True) as connection:
        for profile, name in zip(result.profiles, NAMES.values(), strict=True):
            assert profile.table_name == name and profile.row_count == 40
            columns = {c.column_name: c for c in profile.columns}
            assert set(columns) == {"id", name, constant_column(name)}
            text = columns[name]
            nulls, distinct = connection.execute(
                f"SELECT COUNT(*) - COUNT({quote(name)}), COUNT(DISTINCT {quote(name)}) "
                f"FROM {quote(name)}").fetchone()
            assert (text.null_count, text.distinct_count) == (nulls, distinct)
            assert {v["value"] for v in text.top_values} == set(VALUES)
            assert text.max_length == max(map(len, VALUES))
            assert [a["type"] for a in columns[constant_column(name)].alerts] == ["ZERO_VARIANCE"]
            assert squashed(f"raw.{shown(name)}") in squashed(out)
    assert digest(warehouse) == before
    if rich:
        assert out.count("Column has constant value: 7.0") == len(NAMES)


def test_hostile_names_through_the_command(tmp_path):
    (tmp_path / "models").mkdir()
    (tmp_path / "zel_project.yml").write_text(
        "name: shop\ntarget: dev\ntargets:\n  dev: {type: duckdb, path: wh.duckdb}\n")
    tables = [{"name": f"t{i}", "identifier": name} for i, name in enumerate(NAMES.values())]
    (tmp_path / "models" / "sources.yml").write_text(
        yaml.safe_dump({"sources": [{"name": "raw", "schema": "main", "tables": tables}]},
                       allow_unicode=True), encoding="utf-8")
    make_warehouse(tmp_path / "wh.duckdb")
    before = digest(tmp_path / "wh.duckdb")

    done = zel(tmp_path, "--threads", "4")
    assert done.returncode == 0, done.stderr
    assert squashed(done.stdout).count("OKraw.") == len(NAMES)
    assert digest(tmp_path / "wh.duckdb") == before
    with duckdb.connect(str(tmp_path / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        stored = set(c.execute("SELECT table_name, column_name FROM column_profiles").fetchall())
    assert stored == {(name, column) for name in NAMES.values()
                      for column in ("id", name, constant_column(name))}
