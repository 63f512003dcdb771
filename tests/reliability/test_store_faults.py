"""A metadata store that cannot be written: a warning per table, and the run goes on.

The warehouse is a real DuckDB file and the store the real one. A store held by another
process is played by a child process with a write connection open; an unwritable `.zel` by
a store path that cannot be a database (the tests run as root in CI, where a read-only mode
stops nothing): `.zel` as a plain file, or the store file as a folder.
"""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import duckdb
import pytest

from kor.compute.metadata import ProjectMetadataStore, connection
from tests.builders import flags, manifest, source
from tests.cli.projects import ZEL
from tests.cli.test_profile_run import zel

WARNING = "Warning: Could not store profile results: "
HOLDER = """
import sys, time, duckdb
connection = duckdb.connect(sys.argv[1])
print("holding", flush=True)
sys.stdin.read() if sys.argv[2] == "-" else time.sleep(float(sys.argv[2]))
"""


def store_path(root: Path) -> Path:
    return root / ".zel" / "metadata_store.duckdb"


@contextmanager
def held_store(root: Path, seconds: str = "-") -> Iterator[subprocess.Popen]:
    """Another process holding the store open for writing, until the block ends (or for
    `seconds`)."""
    store_path(root).parent.mkdir(exist_ok=True)
    child = subprocess.Popen([sys.executable, "-c", HOLDER, str(store_path(root)), seconds],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "holding"
        yield child
    finally:
        child.stdin.close()
        child.wait(timeout=30)
        child.stdout.close()


def unwritable_zel_file(root: Path) -> None:
    (root / ".zel").write_text("not a folder")


def unwritable_store_folder(root: Path) -> None:
    store_path(root).mkdir(parents=True)


def unwritable_read_only_zel(root: Path) -> None:
    (root / ".zel").mkdir()
    (root / ".zel").chmod(0o555)


UNWRITABLE = [
    unwritable_zel_file,
    unwritable_store_folder,
    pytest.param(unwritable_read_only_zel, marks=pytest.mark.skipif(
        os.geteuid() == 0, reason="permissions do not stop root")),
]


def make_warehouse(path: Path) -> None:
    with duckdb.connect(str(path)) as connection:
        connection.execute("CREATE TABLE orders AS SELECT i AS id, 'x' || (i % 3) AS status "
                           "FROM range(20) r(i)")


def graph():
    return manifest(source("raw", "orders"), source("raw", "gone"))


def stored_tables(root: Path) -> list:
    with duckdb.connect(str(store_path(root)), read_only=True) as connection:
        return connection.execute(
            "SELECT table_name, COUNT(*) FROM column_profiles GROUP BY 1 ORDER BY 1").fetchall()


def one_line(text: str) -> str:
    return " ".join(text.split())


@pytest.fixture
def warehouse(runtime_config):
    make_warehouse(Path(runtime_config.target["path"]))
    return runtime_config


@pytest.fixture(params=["plain", "rich"])
def printed(request, monkeypatch, capsys, rich_console, profile_module):
    """Reads what the run printed, through Rich or (plain) without it."""
    if request.param == "rich":
        return rich_console.export_text
    monkeypatch.setattr(profile_module, "HAS_RICH", False)
    monkeypatch.setattr(profile_module, "console", None)
    return lambda: capsys.readouterr().out


def test_store_held_by_another_process(make_task, warehouse, monkeypatch, printed):
    monkeypatch.setattr(connection, "LOCK_WAIT_SECONDS", 0.3)
    root = warehouse.project_root
    with held_store(root):
        task = make_task(flags(THREADS=2), graph())
        result = task.run()
    text = one_line(printed())
    assert text.count(WARNING + 'IO Error: Could not set lock on file') == 2  # one per table
    assert [p.status for p in result.profiles] == ["success", "error"]
    # Rows were lost: the run says so and fails, though a table was profiled.
    assert result.errors == ["raw.orders: profile results not stored",
                             "raw.gone: profile results not stored"]
    assert "Not stored: 2 of 2 tables" in text and "Results saved to" not in text
    assert task.interpret_results(result) is False
    # The store is usable again once the other process lets go.
    make_task(flags(THREADS=2), graph()).run()
    assert stored_tables(root) == [("orders", 2)]


def test_store_released_within_the_wait_is_written(make_task, warehouse, plain_output, capsys):
    root = warehouse.project_root
    with held_store(root, seconds="0.5"):
        make_task(flags(), graph()).run()
    assert WARNING not in capsys.readouterr().out
    assert stored_tables(root) == [("orders", 2)]


@pytest.mark.parametrize("unwritable", UNWRITABLE)
def test_unwritable_store_in_process(make_task, warehouse, plain_output, capsys, unwritable):
    unwritable(warehouse.project_root)
    task = make_task(flags(), graph())
    result = task.run()
    out = capsys.readouterr().out
    assert out.count(WARNING) == 2
    assert "  SUMMARY" in out and result.tables_profiled == 2


def write_project(root: Path) -> Path:
    (root / "models").mkdir(parents=True)
    (root / "zel_project.yml").write_text(
        "name: shop\ntarget: dev\ntargets:\n  dev: {type: duckdb, path: wh.duckdb}\n")
    (root / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: orders}, {name: gone}]\n")
    make_warehouse(root / "wh.duckdb")
    return root


# A run whose results could not be kept stops before profiling anything, with one line.
@pytest.mark.parametrize("unwritable", UNWRITABLE)
def test_unwritable_store_stops_the_run(tmp_path, unwritable):
    project = write_project(tmp_path)
    unwritable(project)
    done = zel(project, "--select", "source:*")
    assert done.returncode == 1, done.stderr
    assert done.stderr.startswith("Error: cannot write the metadata store ")
    assert "Traceback" not in done.stderr and "Profiling" not in done.stdout


@pytest.mark.parametrize("how", ["read-only mount", "read-only file"])
def test_prune_of_an_unwritable_store_is_one_line(tmp_path, how):
    project = write_project(tmp_path)
    assert zel(project, "--select", "orders").returncode == 0
    command = [*ZEL, "profile", "prune", "--project-dir", str(project), "--keep", "0"]
    if how == "read-only mount":
        if os.geteuid() != 0 or subprocess.run(["unshare", "-m", "true"]).returncode:
            pytest.skip("needs root and mount namespaces")
        # The mount lives in the child's own namespace and goes with it.
        command = ["unshare", "-m", "sh", "-c", 'mount --bind -o ro "$0" "$0" && exec "$@"',
                   str(store_path(project).parent), *command]
    elif os.geteuid() == 0:
        pytest.skip("permissions do not stop root")
    else:
        store_path(project).chmod(0o444)
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    store_path(project).chmod(0o644)
    assert done.returncode == 1, done.stderr
    assert done.stderr.startswith(f"Error: cannot write the metadata store "
                                  f"{store_path(project)}: ") and done.stderr.count("\n") == 1
    assert stored_tables(project)


def test_a_store_held_by_another_run_stops_the_run(tmp_path):
    project = write_project(tmp_path)
    with held_store(project):
        done = zel(project, "--select", "orders")  # waits out the store's own bound once
    assert done.returncode == 1, done.stderr
    assert "Could not set lock on file" in done.stderr and "Profiling" not in done.stdout


def test_duckdb_missing_is_a_warning_per_table(make_task, warehouse, monkeypatch, printed,
                                               profile_module):
    from kor.adapters.factory import get_adapter

    get_adapter(warehouse)  # the warehouse is open before DuckDB goes missing
    opened = []
    monkeypatch.setattr(ProjectMetadataStore, "__init__",
                        lambda self, root: opened.append(root))
    monkeypatch.setitem(sys.modules, "duckdb", None)  # `import duckdb` now fails
    result = make_task(flags(), graph()).run()
    text = printed()
    warning = "Warning: DuckDB not available. Profile results will not be persisted."
    assert text.count(warning) == 2 and opened == []
    assert result.tables_profiled == 2
    if not profile_module.HAS_RICH:
        assert warning + "\n" in text and "[yellow]" not in text  # plain text, no markup
