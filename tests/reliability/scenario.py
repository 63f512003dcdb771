"""The two-table project that the fault and leak tests run again and again, and its call sites.

`orders` declares an INTEGER, a VARCHAR and a DATE column; `events` declares none, so the
warehouse lists them (a BIGINT and a DATE). Every column has 3 distinct values in 1,000 rows,
so a clean run fetches top values everywhere and raises no alert.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
from typing import Any, NamedTuple

from tests.builders import flags, manifest, source
from tests.faults import OPERATIONS, FaultyAdapter, InstantAdapter

TABLES = ("orders", "events")


def project() -> Any:
    return manifest(
        source("raw", "orders", columns=[("id", "INTEGER"), ("status", "VARCHAR"),
                                         ("placed", "DATE")]),
        source("raw", "events"),
    )


class Site(NamedTuple):
    """Where in the run an adapter call happens."""

    node: int  # 1-based position of the node in the run
    column: str | None  # the column whose work made the call; None for table-level calls
    kind: str  # adapter, listing, name, count, numeric, percentiles, string, basic, top


def query_kind(sql: str) -> str:
    if sql.startswith("SELECT COUNT(*) as cnt FROM "):
        return "count"
    for key, kind in (("STDDEV", "numeric"), ("PERCENTILE_CONT", "percentiles"),
                      ("LENGTH(", "string"), ("as val, COUNT(*)", "top"),
                      ("as bin, ", "histogram"), ("as bucket, ", "histogram")):
        if key in sql:
            return kind
    return "basic"


def call_sites(calls: list[tuple[str, tuple]]) -> list[Site]:
    """The site of each call of a sequential run's trace, in trace order.

    A quote belongs to the query that follows it ("name": building the table or column
    name); a connection block to the listing or the query that runs inside it.
    """
    sites: list[Site | None] = []
    pending: list[tuple[int, str]] = []
    quoted: list[str] = []
    node, column = 0, None
    for operation, args in calls:
        if operation == "get_adapter":
            node, column = node + 1, None
            sites.append(Site(node, None, "adapter"))
            continue
        pending.append((len(sites), operation))
        sites.append(None)
        if operation == "quote":
            quoted.append(args[0])
        elif operation == "get_columns_in_relation":
            for index, _ in pending:
                sites[index] = Site(node, None, "listing")
            pending = []
        elif operation == "execute":
            kind = query_kind(args[0])
            if kind != "count" and quoted:
                column = quoted[-1]
            owner = None if kind == "count" else column
            for index, op in pending:
                sites[index] = Site(node, owner, "name" if op == "quote" else kind)
            pending, quoted = [], []
    assert not pending and all(sites)
    return sites  # type: ignore[return-value]


def column_fields(column: Any) -> dict:
    fields = dataclasses.asdict(column)
    del fields["duration_ms"]
    return fields


def summarise(result: Any) -> list[dict]:
    """What a run produced, without its timings."""
    return [{"table": p.table_name, "status": p.status, "error": p.error,
             "row_count": p.row_count,
             "columns": {c.column_name: column_fields(c) for c in p.columns}}
            for p in result.profiles]


def sequential_cases() -> list[tuple[str, int, Site]]:
    """(operation, N, site) for every adapter call of a clean run with one thread.

    Runs the task once, plainly and without storing, through a private adapter.
    """
    import kor.task.profile as module
    from kor.adapters import factory
    from kor.config.runtime import RuntimeConfig

    probe = FaultyAdapter(InstantAdapter())
    saved = factory.get_adapter, module.HAS_RICH
    factory.get_adapter, module.HAS_RICH = probe.get_adapter, False
    try:
        config = RuntimeConfig(project_root=".", project_name="shop", target_name="dev",
                               target={})
        task = module.ProfileTask(flags(THREADS=1), config, project())
        task._store_profile = lambda profile: True
        with contextlib.redirect_stdout(io.StringIO()):
            task.run()
    finally:
        factory.get_adapter, module.HAS_RICH = saved
    counts = dict.fromkeys(OPERATIONS, 0)
    cases = []
    for (operation, _), site in zip(probe.calls, call_sites(probe.calls), strict=True):
        counts[operation] += 1
        cases.append((operation, counts[operation], site))
    return cases
