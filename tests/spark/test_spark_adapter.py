"""The Spark adapter on a local session and through Spark Connect: what every adapter promises,
and profiles equal to DuckDB's on the same Parquet files."""

from __future__ import annotations

import dataclasses
import os
import shutil
import threading
import time

import duckdb
import pytest
import yaml

from kor.adapters import spark_sql
from kor.adapters.spark import SparkAdapter
from kor.adapters.spark_sql import StatementRefused, prepare
from kor.config.runtime import RuntimeConfig
from kor.profiling.run import profile_project
from tests.builders import flags, manifest, source
from tests.cli.projects import stored_rows
from tests.integration.test_adapters import in_threads
from tests.spark.tables import (
    HOSTILE_NAMES,
    TYPED,
    TYPED_COLUMNS,
    comparable,
    duck_quote,
    duckdb_views,
    hostile_query,
    hostile_sql,
    write_parquet,
)

pytestmark = pytest.mark.spark


def relation(adapter, table: str):
    return adapter.Relation.create(database=None, schema="main", identifier=table)


def profiles(target: dict, root, tables: list[str]) -> dict[tuple[str, str], dict]:
    """Each column's profile, by table and column, from the task run on `target` with 4 threads."""
    from kor.task.profile import ProfileTask

    config = RuntimeConfig(project_root=root, project_name="shop", target_name="t",
                           target=target)
    nodes = [source("raw", table) for table in tables]
    task = ProfileTask(flags(THREADS=4, MODE="explorative"), config, manifest(*nodes))
    result = {}
    for node in nodes:
        profiled = task._profile_node(node, 1, 1)
        assert profiled.status == "success", profiled.error
        for column in profiled.columns:
            result[(node.name, column.column_name)] = dataclasses.asdict(column)
    return result


def test_hostile_names_are_quoted(warehouse, tmp_path):
    hostile = write_parquet(tmp_path / "hostile.parquet", hostile_sql())
    warehouse.register("hostile", hostile)
    adapter = warehouse.open()
    assert [c.name for c in adapter.get_columns_in_relation(relation(adapter, "hostile"))] == \
        HOSTILE_NAMES
    (answer,) = adapter.execute(hostile_query(adapter.quote), fetch=True)[1]
    with duckdb.connect() as duck:
        duck.execute(f"CREATE VIEW main.hostile AS SELECT * FROM read_parquet('{hostile}')")
        assert answer == pytest.approx(duck.execute(hostile_query(duck_quote)).fetchone())


# Locally, the same comparison runs through the command (tests/spark/test_spark_cli.py).
@pytest.mark.parametrize("warehouse", ["connect"], indirect=True)
def test_profiles_equal_duckdbs_on_the_same_file(warehouse, tmp_path):
    typed = write_parquet(tmp_path / "typed.parquet", TYPED)
    warehouse.register("typed", typed)
    adapter = warehouse.open()
    assert [(c.name, c.dtype) for c in adapter.get_columns_in_relation(
        relation(adapter, "typed"))] == TYPED_COLUMNS

    on_spark = profiles(warehouse.target, tmp_path, ["typed"])
    duck = duckdb_views(tmp_path / "wh.duckdb", {"typed": typed})
    on_duckdb = profiles({"type": "duckdb", "path": str(duck)}, tmp_path, ["typed"])
    assert on_spark.keys() == on_duckdb.keys()
    for key, profile in on_spark.items():
        assert comparable(profile) == comparable(on_duckdb[key]), key
    assert on_spark[("typed", "c_decimal")]["p75"] is not None  # the rewritten casts ran


def test_describe_lists_columns_before_the_partition_rows(spark_session, tmp_path):
    from pyspark.sql import SparkSession

    for day in (1, 2):
        write_parquet(tmp_path / "parts" / f"dt=2024-01-0{day}" / "p.parquet",
                      f"SELECT {day} AS a, 'x' AS \"#tag\"")
    writer = SparkSession.getActiveSession()
    writer.sql("CREATE DATABASE IF NOT EXISTS main")
    writer.sql("CREATE TABLE main.declared (a int, v varchar(10), c char(3), `#tag` int, "
               "dt date) USING parquet PARTITIONED BY (dt)")
    try:
        adapter = SparkAdapter.from_target(
            {"type": "spark", "tables": {"main.parted": {"path": "parts"}}}, tmp_path, threads=4)
        listed = {table: [(c.name, c.dtype) for c in adapter.get_columns_in_relation(
            relation(adapter, table))] for table in ("declared", "parted")}
        assert listed == {"declared": [("a", "int"), ("v", "varchar(10)"), ("c", "char(3)"),
                                       ("#tag", "int"), ("dt", "date")],
                          "parted": [("a", "int"), ("#tag", "string"), ("dt", "date")]}
        # The registered folder's partitions were found: both files' rows are there.
        assert adapter.execute("SELECT COUNT(*) FROM main.parted", fetch=True)[1] == [(2,)]
        adapter.close()
        assert not writer.catalog.tableExists("main.parted")  # registered, then dropped
    finally:
        writer.sql("DROP TABLE main.declared")


@pytest.mark.parametrize("statement", ["DROP TABLE main.r", "INSERT INTO main.r VALUES (1)",
                                       "CREATE TABLE main.w (i int) USING parquet"])
def test_only_queries_run(warehouse, tmp_path, statement):
    warehouse.register("r", write_parquet(tmp_path / "r.parquet", "SELECT 1 AS i"))
    adapter = warehouse.open()
    with pytest.raises(StatementRefused, match="read-only"):
        adapter.execute(statement)
    # Sent as it would be without the check, the statement does not even parse.
    with adapter.connection_named("raw") as session, \
            pytest.raises(Exception, match="PARSE_SYNTAX_ERROR"):
        session.sql(prepare("SELECT 1").replace("SELECT 1", statement)).collect()
    assert adapter.execute("SELECT COUNT(*) FROM main.r", fetch=True)[1] == [(1,)]
    assert warehouse.sql("SELECT COUNT(*) FROM main.r") == [(1,)]


def test_a_missing_table_raises_one_clear_message(warehouse):
    adapter = warehouse.open()
    for call in (lambda: adapter.get_columns_in_relation(relation(adapter, "nope")),
                 lambda: adapter.execute("SELECT COUNT(*) as cnt FROM `main`.`nope`", fetch=True)):
        with pytest.raises(Exception, match="TABLE_OR_VIEW_NOT_FOUND") as raised:
            call()
        assert "stacktrace" not in str(raised.value).lower()


def test_threads_share_one_session(warehouse, tmp_path):
    warehouse.register("n", write_parquet(tmp_path / "n.parquet", "SELECT i FROM range(1000) r(i)"))
    adapter = warehouse.open()

    def work(number: int) -> list:
        with adapter.connection_named("profile"):
            return [adapter.execute(f"SELECT COUNT(*) + {number} FROM main.n WHERE i < {i}",
                                    fetch=True)[1][0][0] for i in range(0, 1000, 200)]

    assert in_threads(4, work) == {n: [n + i for i in range(0, 1000, 200)] for n in range(4)}
    response, rows = adapter.execute("SELECT 1 as a, NULL as b UNION ALL SELECT 2, 'x' "
                                     "ORDER BY a", fetch=True)
    assert response == "OK" and rows == [(1, None), (2, "x")]


def test_interrupt_cancels_running_queries(warehouse):
    adapter = warehouse.open()
    failures: list[BaseException] = []
    started = threading.Event()

    def endless() -> None:
        try:
            started.set()
            adapter.execute("SELECT COUNT(DISTINCT id * 7919 % 1000000007) "
                            "FROM range(100000000000)", fetch=True)
        except BaseException as exc:  # noqa: BLE001 - what the interrupt leaves the worker with
            failures.append(exc)

    worker = threading.Thread(target=endless, daemon=True)
    worker.start()
    started.wait()
    adapter.interrupt()  # cancels again while the query runs: Spark cancels jobs, not plans
    worker.join(60)
    assert not worker.is_alive() and [type(f) for f in failures] == [KeyboardInterrupt]
    with pytest.raises(KeyboardInterrupt):  # an interrupted adapter runs nothing more
        adapter.execute("SELECT 1", fetch=True)


@pytest.mark.parametrize("file_name, content, settings, reason", [
    ("orders.csv", "id,total\n1,2.5\n", {}, "[FAILED_READ_FILE.CANNOT_READ_FILE_FOOTER]"),
    ("orders.parquet", "not a parquet file", {}, "Could not read footer"),
    ("orders.csv", "id\n1\n", {"format": "no-such-format"}, "[DATA_SOURCE_NOT_FOUND]"),
])
def test_a_file_spark_cannot_register_is_refused_with_sparks_reason(spark_session, tmp_path,
                                                                     file_name, content,
                                                                     settings, reason):
    from kor.adapters.spark import SparkUnavailable

    (tmp_path / file_name).write_text(content, encoding="utf-8")
    target = {"type": "spark", "master": "local[2]",
              "tables": {"main.orders": {"path": file_name, **settings}}}
    # A table is registered when a statement first reads it: the others are not held up.
    adapter = SparkAdapter.from_target(target, tmp_path, threads=1)
    try:
        with pytest.raises(SparkUnavailable) as refused:
            adapter.execute("SELECT COUNT(*) FROM `main`.`orders`", fetch=True)
    finally:
        adapter.close()
    message = str(refused.value)
    assert message.startswith("tables: main.orders: ") and reason in message
    assert "\n" not in message and "An error occurred while calling" not in message


# Every numeric type Spark reads from Parquet, with NULLs and many ties; the float values are
# exact in binary, the decimals are not.
NUMBERS = """
SELECT CASE WHEN i % 7 = 0 THEN NULL ELSE (i % 13)::INTEGER END AS c_int,
       (i % 5 * 1000003)::BIGINT AS c_bigint,
       CASE WHEN i % 11 = 0 THEN NULL ELSE (i % 97) / 7.0 END::DOUBLE AS c_double,
       ((i % 41) * 0.37)::DECIMAL(12,3) AS c_decimal,
       CASE WHEN i % 3 = 0 THEN NULL ELSE (i % 17) * 0.5 END::FLOAT AS c_float,
       (i % 9 - 4)::SMALLINT AS c_smallint,
       CASE WHEN i % 2 = 0 THEN NULL ELSE (i % 6)::TINYINT END AS c_tinyint
FROM range(3001) r(i)
"""


def test_the_engines_plan_stores_the_figures_of_the_statements_as_written(spark_session,
                                                                          tmp_path, monkeypatch):
    write_parquet(tmp_path / "numbers.parquet", NUMBERS)
    (tmp_path / "models").mkdir()
    (tmp_path / "zel_project.yml").write_text(yaml.safe_dump({
        "name": "n", "target": "s", "targets": {"s": {
            "type": "spark", "master": "local[2]",
            "tables": {"main.numbers": {"path": "numbers.parquet"}}}}}))
    (tmp_path / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: numbers}]\n")
    sent: list[str] = []
    monkeypatch.setattr("kor.adapters.spark.prepare",
                        lambda sql: sent.append(prepare(sql)) or sent[-1])

    def stored(threads: int | None) -> dict:
        assert profile_project(tmp_path, threads=threads).succeeded
        with duckdb.connect(str(tmp_path / ".zel" / "metadata_store.duckdb")) as store:
            (used,) = store.execute("SELECT threads FROM runs ORDER BY run_id DESC").fetchone()
        rows = stored_rows(tmp_path, without=("run_id", "profiled_at", "duration_ms"))
        shutil.rmtree(tmp_path / ".zel")
        return {"threads": used, **rows}

    engines = stored(None)
    assert engines.pop("threads") == 2  # local[2]'s cores, not 4
    quartiles = [s for s in sent if "quartiles" in s]
    assert len(quartiles) == 7 and not any("PERCENTILE_CONT" in s for s in sent)
    # The statements as the task writes them, on as many threads as before.
    monkeypatch.setattr(spark_sql, "quartiles", lambda sql: None)
    written = stored(4)
    assert written.pop("threads") == 4
    assert len(engines) == 7 and engines == written
    assert all(row["p25"] is not None for row in written.values())


def _aged(*paths) -> None:
    """Written long enough ago for a later write to show in the time stamps."""
    moment = time.time() - 100
    for path in paths:
        os.utime(path, (moment, moment))


def _rewritten_in_place(root) -> None:
    """Other values of the same size, the file's times put back as they were."""
    before = os.stat(root / "one.parquet")
    write_parquet(root / "one.parquet", "SELECT 8 AS a")
    assert os.stat(root / "one.parquet").st_size == before.st_size
    os.utime(root / "one.parquet", ns=(before.st_atime_ns, before.st_mtime_ns))


def _replaced(root) -> None:
    write_parquet(root / "new.parquet", "SELECT 9 AS a")
    _aged(root / "new.parquet")
    os.replace(root / "new.parquet", root / "one.parquet")


# Each change, the table it reaches and that table's rows after it.
FILE_CHANGES = {
    "rewritten in place": (_rewritten_in_place, "one", 1),
    "replaced": (_replaced, "one", 1),
    "file added": (lambda root: write_parquet(root / "folder" / "c.parquet", "SELECT 3 AS a"),
                   "folder", 3),
    "file removed": (lambda root: os.remove(root / "folder" / "b.parquet"), "folder", 1),
    "partition added": (lambda root: write_parquet(root / "parts" / "d=3" / "p.parquet",
                                                   "SELECT 3 AS a"), "parts", 3),
}


@pytest.mark.parametrize("change", [None, *FILE_CHANGES])
def test_a_registered_tables_files_prove_it_unchanged(spark_session, tmp_path, change):
    write_parquet(tmp_path / "one.parquet", "SELECT 1 AS a")
    for name in ("a", "b"):
        write_parquet(tmp_path / "folder" / f"{name}.parquet", "SELECT 1 AS a")
    for day in (1, 2):
        write_parquet(tmp_path / "parts" / f"d={day}" / "p.parquet", "SELECT 1 AS a")
    _aged(*(path for path in tmp_path.rglob("*.parquet")))
    tables = {"one": "one.parquet", "folder": "folder", "parts": "parts"}
    adapter = SparkAdapter.from_target(
        {"type": "spark", "tables": {f"main.{t}": {"path": p} for t, p in tables.items()}},
        tmp_path, threads=1)
    try:
        before = {table: adapter.change_evidence(relation(adapter, table)) for table in tables}
        assert all(before.values())
        if change is not None:
            alter, changed, rows = FILE_CHANGES[change]
            alter(tmp_path)
            _aged(*(path for path in tmp_path.rglob("*.parquet")
                    if path.stat().st_mtime > time.time() - 50))
        after = {table: adapter.change_evidence(relation(adapter, table)) for table in tables}
        assert {t for t in tables if after[t] != before[t]} == (set() if change is None
                                                                else {changed})
        if change is not None:
            # The session reads the files as they now are, not as it listed them at first.
            assert adapter.execute(f"SELECT COUNT(*) FROM main.{changed}", fetch=True)[1] == \
                [(rows,)]
        # A file written just now, or a table of the catalog, proves nothing.
        write_parquet(tmp_path / "folder" / "now.parquet", "SELECT 4 AS a")
        assert adapter.change_evidence(relation(adapter, "folder")) is None
        assert adapter.change_evidence(relation(adapter, "elsewhere")) is None
    finally:
        adapter.close()


def test_skip_unchanged_reuses_the_tables_whose_files_stayed(spark_session, tmp_path, capsys):
    for table in ("kept", "grown"):
        write_parquet(tmp_path / table / "a.parquet", "SELECT i AS a FROM range(2) r(i)")
    _aged(*tmp_path.rglob("*.parquet"))
    (tmp_path / "models").mkdir()
    (tmp_path / "zel_project.yml").write_text(yaml.safe_dump({
        "name": "n", "target": "s", "targets": {"s": {
            "type": "spark", "master": "local[2]",
            "tables": {f"main.{t}": {"path": t} for t in ("kept", "grown")}}}}))
    (tmp_path / "models" / "sources.yml").write_text(
        "sources:\n  - name: raw\n    schema: main\n    tables: [{name: kept}, {name: grown}]\n")
    assert profile_project(tmp_path, mode="minimal").succeeded
    write_parquet(tmp_path / "grown" / "b.parquet", "SELECT 7 AS a")
    _aged(tmp_path / "grown" / "b.parquet")

    run = profile_project(tmp_path, mode="minimal", skip_unchanged=True)
    assert run.succeeded and run.reused == [("raw.kept", 1)]
    assert "raw.kept unchanged since run 1" in capsys.readouterr().out
    rows = stored_rows(tmp_path, latest=True)
    assert (rows[("kept", "a")]["row_count"], rows[("grown", "a")]["row_count"]) == (2, 3)
