"""What histograms cost: an explorative run with them beside the same run without, on DuckDB
and PostgreSQL, alternating in one process so both see the same machine.

Run: .venv/bin/python bench/histograms.py [--rows N] [--repeat R]
PostgreSQL: the server KOR_TEST_PG names, else a throw-away cluster (tests/pg_server.py).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

sys.path[0] = str(Path(__file__).resolve().parent.parent)

from bench.runs import MeasuredTask, flags, silenced_report  # noqa: E402
from bench.warehouse import postgres_dsn, wide_warehouse  # noqa: E402
from kor.config.runtime import RuntimeConfig  # noqa: E402
from kor.contracts.graph.manifest import Manifest  # noqa: E402
from kor.contracts.graph.nodes import SourceDefinition  # noqa: E402

# The PostgreSQL table: numbers, dates and timestamps (what gets a histogram) beside text.
PG_COLUMNS = {
    "id": "i", "quantity": "i % 97", "amount": "((i::bigint * 7919) % 1000000) / 100.0",
    "price": "((i::bigint * 104729) % 100000) / 7.0::float8", "name": "'customer_' || i",
    "status": "(ARRAY['placed','shipped','delivered'])[1 + i % 3]",
    "created_on": "DATE '2020-01-01' + (i % 2000)",
    "updated_at": "TIMESTAMP '2024-01-01' + (i % 31536000) * INTERVAL '1 second'",
}


class WithoutHistograms(MeasuredTask):
    def _add_histogram(self, adapter: Any, fqn: str, quoted_col: str, profile: Any) -> None:
        return None


def _timed(task_class: type, config: RuntimeConfig, manifest: Manifest, adapter: Any) -> float:
    task = task_class(flags(1), config, manifest, adapter, store=False)
    with silenced_report():
        start = time.perf_counter()
        result = task.run()
        elapsed = time.perf_counter() - start
    if not task.interpret_results(result):
        raise RuntimeError("the profile run failed")
    return elapsed


def _compare(label: str, config: RuntimeConfig, manifest: Manifest, adapter: Any,
             repeat: int) -> None:
    times: dict[str, list[float]] = {"with": [], "without": []}
    _timed(MeasuredTask, config, manifest, adapter)  # warms the caches
    for _ in range(repeat):
        times["with"].append(_timed(MeasuredTask, config, manifest, adapter))
        times["without"].append(_timed(WithoutHistograms, config, manifest, adapter))
    best = {name: min(values) for name, values in times.items()}
    print(f"{label:<44}{best['with'] * 1000:>10.0f}{best['without'] * 1000:>12.0f}"
          f"{best['with'] / best['without']:>9.2f}x")


def _manifest(schema: str, table: str) -> Manifest:
    node = SourceDefinition(unique_id=f"source.bench.raw.{table}", name=table,
                            source_name="raw", identifier=table, schema=schema)
    return Manifest(sources={node.unique_id: node})


def duckdb_case(rows: int, repeat: int, scratch: Path) -> None:
    from kor.adapters.duckdb import DuckDBAdapter

    wide = wide_warehouse(rows)
    config = RuntimeConfig(scratch, "bench", "dev", {"type": "duckdb", "path": str(wide.path)})
    adapter = DuckDBAdapter(wide.path)
    try:
        _compare(f"DuckDB, {rows:,} rows x {len(wide.columns)} cols", config,
                 _manifest("main", wide.tables[0]), adapter, repeat)
    finally:
        adapter.close()


def postgres_case(rows: int, repeat: int, scratch: Path) -> None:
    import psycopg
    from psycopg.conninfo import conninfo_to_dict

    from kor.adapters.postgres import PostgresAdapter

    with postgres_dsn() as dsn:
        with psycopg.connect(dsn, autocommit=True) as connection:
            connection.execute("DROP TABLE IF EXISTS bench_histograms")
            columns = ", ".join(f"{sql} AS {name}" for name, sql in PG_COLUMNS.items())
            connection.execute(f"CREATE TABLE bench_histograms AS SELECT {columns} "
                               f"FROM generate_series(1, {rows}) i")
            connection.execute("ANALYZE bench_histograms")
        settings = {"type": "postgres", **conninfo_to_dict(dsn)}
        config = RuntimeConfig(scratch, "bench", "pg", settings)
        adapter = PostgresAdapter.from_target(settings, scratch, threads=1)
        try:
            _compare(f"PostgreSQL, {rows:,} rows x {len(PG_COLUMNS)} cols", config,
                     _manifest("public", "bench_histograms"), adapter, repeat)
        finally:
            adapter.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=300_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=["duckdb", "postgres"])
    options = parser.parse_args()
    print(f"{'explorative, --threads 1, store left out':<44}{'with ms':>10}{'without ms':>12}"
          f"{'ratio':>10}")
    with tempfile.TemporaryDirectory(prefix="kor-bench-") as folder:
        scratch = Path(folder)
        if options.only in (None, "duckdb"):
            duckdb_case(options.rows, options.repeat, scratch)
        if options.only in (None, "postgres"):
            postgres_case(options.rows, options.repeat, scratch)


if __name__ == "__main__":
    main()
