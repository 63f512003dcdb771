"""The benchmark's cases; each returns rows of the printed table and the figures later cases use."""

from __future__ import annotations

import dataclasses
import json
import statistics
import subprocess
import sys
import tempfile
import time
import types
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import duckdb

from bench import alternatives
from bench.adapters import InstantAdapter
from bench.runs import Measured, measured_run, plain_run, real_measured_run
from bench.warehouse import Warehouse, tiny_tables_warehouse, write_project
from kor.adapters.duckdb import DuckDBAdapter
from kor.adapters.factory import DEFAULT_THREADS
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ColumnInfo, SourceDefinition
from kor.project.loader import load_manifest

# Declared types of the instant case, as a project's YAML would give them.
MIXED_TYPES = ["INTEGER", "BIGINT", "DOUBLE", "DECIMAL(10,2)", "VARCHAR", "TEXT", "DATE",
               "TIMESTAMP", "BOOLEAN", "SMALLINT", "VARCHAR(64)", "REAL", "NUMERIC", "STRING",
               "TIMESTAMP WITH TIME ZONE", "INTERVAL", "UUID", "FLOAT", "CHAR(2)", "JSON"]


# The DuckDB target setting case 5 measures against none.
MEMORY_LIMIT = "250MB"


@dataclass
class Row:
    case: str
    figure: str
    value: str
    ratio: str = ""


@dataclass
class Sizes:
    instant_tables: int = 1000
    instant_columns: int = 20
    instant_store_tables: int = 1000
    wide_rows: int = 2_000_000
    many_tables: int = 200
    many_rows: int = 20_000
    repeat_tables: int = 50
    repeats: int = 3
    tiny_tables: tuple[int, ...] = (100, 1_000, 10_000)
    # Tables of each tiny project that the baseline adapter profiles: its time per table is
    # set by the size of the catalog, not by how many tables are profiled.
    baseline_sample: int = 100
    # Tiny tables of the --skip-unchanged case, 1 % of them changed.
    skip_tables: int = 10_000

    @classmethod
    def quick(cls) -> Sizes:
        return cls(instant_store_tables=100, wide_rows=300_000, many_tables=100, many_rows=1_000,
                   repeat_tables=10, repeats=2, tiny_tables=(100, 1_000), baseline_sample=50,
                   skip_tables=1_000)


@dataclass
class Figures:
    """What later cases compare against."""

    wide_threads: dict[int, float] = field(default_factory=dict)
    many_threads: dict[int, float] = field(default_factory=dict)


def best(times: list[float]) -> float:
    return min(times)


def seconds(value: float) -> str:
    return f"{value * 1000:,.0f} ms" if value < 10 else f"{value:,.1f} s"


def ratio(ours: float, theirs: float) -> str:
    return f"{ours / theirs:.2f}x"


def progress(text: str) -> None:
    print(f"  .. {text}", file=sys.stderr, flush=True)


def instant_manifest(tables: int, columns: int) -> Manifest:
    manifest = Manifest()
    for t in range(tables):
        unique_id = f"source.bench.raw.table_{t:04d}"
        manifest.sources[unique_id] = SourceDefinition(
            unique_id=unique_id, name=f"table_{t:04d}", source_name="raw",
            identifier=f"table_{t:04d}", schema="main",
            columns={f"col_{c:02d}": ColumnInfo(f"col_{c:02d}", MIXED_TYPES[c % len(MIXED_TYPES)])
                     for c in range(columns)})
    return manifest


def instant_run(tables: int, columns: int, store: bool, scratch: Path) -> Measured:
    """One run against the instant adapter; its store (when written) lands in `scratch`."""
    project_dir = Path(tempfile.mkdtemp(dir=scratch))
    config = RuntimeConfig(project_dir, "bench", "dev", {"type": "duckdb"})
    manifest = instant_manifest(tables, columns)
    figures, _ = measured_run(config, manifest, InstantAdapter(), threads=1, store=store)
    return figures


def native_overhead(sizes: Sizes, scratch: Path) -> list[Row]:
    """The whole run against an adapter that answers at once: only our own work is left."""
    tables, columns = sizes.instant_tables, sizes.instant_columns
    name = f"1. instant adapter, {tables:,} tables x {columns} cols, threads 1"
    progress(name)
    runs = [instant_run(tables, columns, False, scratch) for _ in range(sizes.repeats)]
    fastest = min(runs, key=lambda run: run.wall)
    per_column = fastest.wall / fastest.columns
    rows = [Row(name, "run, store writing left out (best)", seconds(fastest.wall)),
            Row("", "per column", f"{per_column * 1e6:,.1f} us"),
            Row("", "columns per second", f"{1 / per_column:,.0f}"),
            Row("", "  of which Rich rendering the report", seconds(fastest.report),
                f"{fastest.report / fastest.wall:.0%} of run"),
            Row("", "  per column without the report",
                f"{(fastest.wall - fastest.report) / fastest.columns * 1e6:,.1f} us")]
    store_tables = sizes.instant_store_tables
    progress(f"instant adapter with store writing, {store_tables:,} tables")
    stored = instant_run(store_tables, columns, True, scratch)
    rows += [Row("", f"run with store writing ({store_tables:,} tables)", seconds(stored.wall)),
             Row("", "  per column", f"{stored.wall / stored.columns * 1e6:,.1f} us"),
             Row("", "  store writing", seconds(stored.store),
                 f"{stored.store / stored.wall:.0%} of run"),
             Row("", "  store writing per table",
                 f"{stored.store / store_tables * 1000:,.1f} ms")]
    return rows


def _share_rows(label: str, measured: Measured) -> list[Row]:
    outside = measured.wall - measured.warehouse_wall
    return [Row(label, "measured run (timing wrapper)", seconds(measured.wall)),
            Row("", "inside execute / column listing",
                f"{seconds(measured.execute)} / {seconds(measured.listing)}"),
            Row("", "outside execute and column listing", seconds(outside),
                f"{measured.outside_execute:.1%}"),
            Row("", "  of which store writing", seconds(measured.store),
                f"{measured.store / measured.wall:.1%}"),
            Row("", "  of which Rich rendering the report", seconds(measured.report),
                f"{measured.report / measured.wall:.1%}"),
            Row("", "  of which the rest", seconds(outside - measured.store - measured.report),
                f"{(outside - measured.store - measured.report) / measured.wall:.1%}")]


def replay(connection: duckdb.DuckDBPyConnection, statements: list[str]) -> None:
    """Sends `statements` in order and fetches every result, as the adapter does."""
    for sql in statements:
        try:
            connection.execute(sql).fetchall()
        except duckdb.Error:
            pass  # a statement the run saw fail (and fell back from) fails here too


def floor(wide: Warehouse, project_dir: Path, sizes: Sizes, figures: Figures) -> list[Row]:
    """Our run against the same statements sent straight to duckdb in one loop."""
    label = f"2. wide table, {wide.rows:,} rows x {len(wide.columns)} cols, threads 1"
    progress(label)
    measured = real_measured_run(project_dir, threads=1)  # also warms the caches
    statements = measured.statements
    ours, bare, inside = [], [], []
    with duckdb.connect(str(wide.path), read_only=True) as connection:
        for _ in range(sizes.repeats):
            ours.append(plain_run(project_dir, threads=1))
            start = time.perf_counter()
            replay(connection, statements)
            bare.append(time.perf_counter() - start)
            # The same statements as they take inside a run, each timed around the adapter.
            inside.append(real_measured_run(project_dir, threads=1).execute)
    figures.wide_threads[1] = best(ours)
    rows = [Row(label, "zel profile run (best)", seconds(best(ours)),
                f"median {seconds(statistics.median(ours))}"),
            Row("", f"floor: the same {len(statements)} statements in one loop",
                seconds(best(bare)), f"median {seconds(statistics.median(bare))}"),
            Row("", "run / floor", ratio(best(ours), best(bare))),
            Row("", "the statements inside a measured run (best)", seconds(best(inside)),
                f"/ floor {ratio(best(inside), best(bare))}")]
    return (rows + _phase_rows(project_dir, sizes.repeats)
            + _share_rows("   same run, where the time goes", measured))


# The steps of `profile_project` around the task, by the functions that make them.
_PHASES = {"connecting to the warehouse": ("kor.profiling.run", "get_adapter"),
           "opening the store, recording the run": ("kor.profiling.run", "start_run"),
           "the task (its statements included)": ("kor.profiling.task",
                                                  "RecordedProfileTask.run"),
           "judging anomalies": ("kor.profiling.run", "_judged"),
           "closing the warehouse": ("kor.profiling.run", "close_adapters")}


def _phase_rows(project_dir: Path, repeats: int) -> list[Row]:
    """Where a plain run's time goes, step by step: the best of `repeats` runs each."""
    import importlib

    spent: dict[str, list[float]] = {name: [] for name in _PHASES}
    walls, saved = [], []
    for name, (module_name, path) in _PHASES.items():
        owner: Any = importlib.import_module(module_name)
        *outer, attribute = path.split(".")
        for part in outer:
            owner = getattr(owner, part)
        original = getattr(owner, attribute)

        def timed(*args: Any, _original: Any = original, _name: str = name,
                  **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return _original(*args, **kwargs)
            finally:
                spent[_name].append(time.perf_counter() - start)

        saved.append((owner, attribute, original))
        setattr(owner, attribute, timed)
    try:
        walls = [plain_run(project_dir, threads=1) for _ in range(repeats)]
    finally:
        for owner, attribute, original in saved:
            setattr(owner, attribute, original)
    rows = [Row("   a plain run, step by step", "whole run (best)", seconds(best(walls)))]
    for name, times in spent.items():
        rows.append(Row("", f"  {name}", seconds(statistics.median(times))))
    rest = statistics.median(walls) - sum(statistics.median(t) for t in spent.values())
    rows.append(Row("", "  the rest (project files, finishing the run, closing the store)",
                    seconds(rest)))
    return rows


def _thread_rows(label: str, run: Callable[[int], float], times: dict[int, float],
                 repeats: int) -> list[Row]:
    rows = []
    for threads in (1, 2, 4):
        if threads not in times:
            times[threads] = best([run(threads) for _ in range(repeats)])
        speedup = ratio(times[1], times[threads]) if threads > 1 else ""
        rows.append(Row(label if threads == 1 else "", f"threads {threads}",
                        seconds(times[threads]), speedup and f"speed-up {speedup}"))
    return rows


def thread_scaling(wide_dir: Path, many: Warehouse, many_dir: Path, sizes: Sizes,
                   figures: Figures) -> list[Row]:
    progress("3. thread scaling")
    rows = _thread_rows("3. wide table", lambda n: plain_run(wide_dir, n), figures.wide_threads,
                        sizes.repeats)
    label = f"   {len(many.tables)} tables x {len(many.columns)} cols, {many.rows:,} rows each"
    measured = real_measured_run(many_dir, threads=1)  # also warms the caches
    rows += _thread_rows(label, lambda n: plain_run(many_dir, n), figures.many_threads,
                         max(1, sizes.repeats - 1))
    return rows + _share_rows("   many tables, where the time goes", measured)


def _alternative_rows(label: str, warehouse: Warehouse, ours: dict[int, float]) -> list[Row]:
    fastest = min(ours.values())
    summarize = best([alternatives.summarize_seconds(warehouse.path, warehouse.tables)
                      for _ in range(2)])
    rows = [Row(label, "DuckDB SUMMARIZE (approximate distinct and quantiles)",
                seconds(summarize),
                f"ours/it {ratio(ours[1], summarize)} (1 thread), {ratio(fastest, summarize)} "
                "(best)")]
    if not alternatives.pandas_available():
        return rows + [Row("", "pandas", "not installed", alternatives.INSTALL_HINT)]
    load, metrics = alternatives.pandas_seconds(warehouse.path, warehouse.tables)
    total = load + metrics
    return rows + [
        Row("", "pandas: load + metrics", seconds(total),
            f"ours/it {ratio(ours[1], total)} (1 thread), {ratio(fastest, total)} (best)"),
        Row("", "  load / metrics", f"{seconds(load)} / {seconds(metrics)}")]


def alternatives_case(wide: Warehouse, many: Warehouse, figures: Figures) -> list[Row]:
    progress("4. alternatives")
    return (_alternative_rows("4. wide table", wide, figures.wide_threads)
            + _alternative_rows("   many tables", many, figures.many_threads))


def _child(*arguments: str) -> dict:
    script = Path(__file__).with_name("profile.py")
    completed = subprocess.run([sys.executable, str(script), "--child", *arguments],
                               check=True, capture_output=True, text=True)
    return json.loads(completed.stdout.strip().splitlines()[-1])


def _without_quartiles(project_dir: Path) -> int:
    """Numeric columns of the project's store whose quartile query failed."""
    store = project_dir / ".zel" / "metadata_store.duckdb"
    with duckdb.connect(str(store), read_only=True) as connection:
        row = connection.execute("SELECT count(*) FROM column_profiles "
                                 "WHERE mean_value IS NOT NULL AND p25 IS NULL").fetchone()
    return int(row[0]) if row else 0


def memory(wide: Warehouse, wide_dir: Path, many: Warehouse, many_dir: Path, sizes: Sizes,
           scratch: Path) -> list[Row]:
    """Peak RSS of a run in a child process of its own, and RSS over repeated runs."""
    progress("5. memory")
    base = _child("baseline", str(wide_dir))
    rows = [Row("5. memory (child processes)", "imports + adapter, no run: peak RSS",
                f"{base['peak_mib']:,.0f} MiB")]
    runs = [(f"wide table, threads {threads}{limit and f', memory_limit {limit}'}",
             write_project(Path(tempfile.mkdtemp(dir=scratch)), wide, declare_columns=True,
                           settings=limit and f"memory_limit: '{limit}'"), threads)
            for limit in ("", MEMORY_LIMIT) for threads in (1, 4)]
    for label, project_dir, threads in [*runs, ("many tables, threads 4", many_dir, 4)]:
        peak = _child("peak", str(project_dir), str(threads))
        lost = _without_quartiles(project_dir)
        rows.append(Row("", f"{label}: peak RSS", f"{peak['peak_mib']:,.0f} MiB",
                        f"+{peak['peak_mib'] - base['peak_mib']:,.0f} MiB over no run"
                        + (f"; {lost} columns without quartiles (out of memory)" if lost else "")))
    subset = dataclasses.replace(many, tables=many.tables[:sizes.repeat_tables])
    repeat_dir = write_project(Path(tempfile.mkdtemp(dir=scratch)), subset,
                               declare_columns=False)
    repeated = _child("repeat", str(repeat_dir), "20", str(scratch))
    real, instant, blocks = repeated["real"], repeated["instant"], repeated["blocks"]
    cached = repeated["cached"]
    size = f"{len(subset.tables)} tables x {len(subset.columns)} cols"
    rows += [Row("", f"{size}: RSS after run 1/10/20",
                 " / ".join(f"{value:,.1f}" for value in real) + " MiB",
                 f"{real[-1] - real[0]:+,.1f} MiB"),
             Row("", "  the same, answers kept from run 1 (no queries): 1/10/20",
                 " / ".join(f"{value:,.1f}" for value in cached) + " MiB",
                 f"{cached[-1] - cached[0]:+,.1f} MiB"),
             Row("", "instant adapter, 100 x 20 cols: RSS after run 1/10/20",
                 " / ".join(f"{value:,.1f}" for value in instant) + " MiB",
                 f"{instant[-1] - instant[0]:+,.1f} MiB"),
             Row("", "  interpreter's allocated blocks after run 1/10/20",
                 " / ".join(f"{value:,}" for value in blocks),
                 f"{blocks[-1] - blocks[0]:+,}")]
    return rows


def baseline_adapter(revision: str) -> Callable[[Path], Any]:
    """The DuckDB adapter class as it was at git `revision`, for "before" figures in this run."""
    root = Path(__file__).resolve().parent.parent
    source = subprocess.run(["git", "show", f"{revision}:kor/adapters/duckdb.py"], cwd=root,
                            check=True, capture_output=True, text=True).stdout
    module = types.ModuleType(f"duckdb_adapter_at_{revision}")
    exec(compile(source, f"{revision}:kor/adapters/duckdb.py", "exec"), module.__dict__)
    return module.DuckDBAdapter


def _per_table(warehouse: Warehouse, scratch: Path, make_adapter: Callable[[Path], Any],
               tables: list[str]) -> float:
    """Seconds per table of a minimal run over `tables`, their columns listed by the adapter."""
    subset = dataclasses.replace(warehouse, tables=tables)
    project_dir = write_project(Path(tempfile.mkdtemp(dir=scratch)), subset,
                                declare_columns=False)
    config = RuntimeConfig.load(project_dir)
    adapter = make_adapter(warehouse.path)
    try:
        figures, result = measured_run(config, load_manifest(config), adapter, DEFAULT_THREADS,
                                       mode="minimal")
    finally:
        adapter.close()
    if result.tables_profiled != len(tables):
        raise RuntimeError(f"{result.tables_profiled} of {len(tables)} tables profiled")
    return figures.wall / len(tables)


def tiny_tables(sizes: Sizes, scratch: Path, baseline: str | None) -> list[Row]:
    """Time per table of projects of many tiny tables, whose columns the warehouse lists."""
    label = "6. tiny tables, 3 rows x 2 cols"
    before_class = baseline_adapter(baseline) if baseline else None
    rows: list[Row] = []
    for count in sizes.tiny_tables:
        progress(f"6. {count:,} tiny tables (building the warehouse once)")
        warehouse = tiny_tables_warehouse(count)
        after = _per_table(warehouse, scratch, DuckDBAdapter, warehouse.tables)
        rows.append(Row(label if not rows else "",
                        f"{count:,} tables, --mode minimal, threads {DEFAULT_THREADS}: per table",
                        f"{after * 1000:,.1f} ms"))
        if before_class is not None:
            step = max(1, count // sizes.baseline_sample)
            sample = warehouse.tables[::step][:sizes.baseline_sample]
            before = _per_table(warehouse, scratch, before_class, sample)
            rows.append(Row("", f"  the same, adapter at {baseline} ({len(sample)} of them)",
                            f"{before * 1000:,.1f} ms", f"before/now {ratio(before, after)}"))
    return rows
