"""A metadata store filled with rows saved directly, and the report served from it."""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest

from kor.compute.metadata import ColumnProfileResult, ProjectMetadataStore, store_session
from kor.compute.metadata.runs import (
    RunStart,
    RunState,
    TableRunRecord,
    finish_run,
    record_table_run,
    start_run,
)
from kor.report.server import ReportServer
from kor.report.site import ReportSource
from tests.builders import stored_row

HOSTILE = "<script>alert(1)</script>"


def alerts(*entries: tuple[str, str, str]) -> str:
    return json.dumps([{"type": t, "severity": s, "message": m} for t, s, m in entries])


@dataclass
class Failure:
    """A table run that failed: it stores no rows."""

    source_name: str
    table_name: str
    profiled_at: datetime
    error: str = "Catalog Error: gone"


@pytest.fixture
def fill_store(tmp_path: Path) -> Callable[..., ProjectMetadataStore]:
    """Records a run per distinct `profiled_at` of the rows (and failures) given, oldest first,
    as `zel profile run` records them, into a fresh store under tmp_path; returns the store.
    A table's columns are recorded in the order its rows are given, without types."""

    def fill(*entries: ColumnProfileResult | Failure) -> ProjectMetadataStore:
        store = ProjectMetadataStore(tmp_path)
        store.initialize()
        store.close()
        for when in sorted({entry.profiled_at for entry in entries}):
            with store_session(tmp_path) as session:
                start_run(session, RunStart("shop", "dev", [], [], "explorative", 1, "test"))
                writer = ProjectMetadataStore(tmp_path)
                writer.initialize()
                tables: dict[tuple[str, str], list[ColumnProfileResult]] = {}
                for entry in entries:
                    if entry.profiled_at != when:
                        continue
                    key = (entry.source_name, entry.table_name)
                    if isinstance(entry, Failure):
                        record_table_run(session, TableRunRecord(
                            *key, "error", entry.error, 0, 0, 1, when, [], False))
                        continue
                    writer.save_profile_result(entry)
                    tables.setdefault(key, []).append(entry)
                writer.close()
                for key, rows in tables.items():
                    record_table_run(session, TableRunRecord(
                        *key, "success", None, max(row.row_count for row in rows), len(rows),
                        1, when, [(row.column_name, None) for row in rows], True))
                finish_run(session, RunState.SUCCESS, 0)
        return store

    return fill


@pytest.fixture
def hostile_store(fill_store) -> ProjectMetadataStore:
    """Two runs of one table whose every stored text is markup, plus a plain table with a
    column that could not be measured."""
    first, second = datetime(2026, 1, 1, 9, 0), datetime(2026, 1, 2, 9, 0)
    return fill_store(
        stored_row(HOSTILE, f"t/{HOSTILE}?#", "c", first, row_count=5),
        stored_row(HOSTILE, f"t/{HOSTILE}?#", HOSTILE, second, row_count=7, null_percent=60.0,
                   top_values=json.dumps([{"value": HOSTILE, "count": 4},
                                          {"value": "", "count": 2}]),
                   alerts=alerts((HOSTILE, "error", f"{HOSTILE} & more"))),
        stored_row(HOSTILE, f"t/{HOSTILE}?#", "n", second, row_count=7, min_value=1.5,
                   max_value=1.5, mean_value=1.5, stddev_value=0.0, p25=1.5, p50=1.5, p75=1.5,
                   alerts=alerts(("ZERO_VARIANCE", "warning", "Column has constant value: 1.5"))),
        stored_row("raw", "orders", "id", second, row_count=1234567, min_value=0.0,
                   max_value=1234566.0, mean_value=617283.0),
        # a column whose profiling failed: its counts were not measured
        stored_row("raw", "orders", "broken", second, row_count=1234567, null_count=None,
                   null_percent=None, distinct_count=None, distinct_percent=None),
    )


@pytest.fixture
def serve() -> Iterator[Callable[..., str]]:
    """Serves a store on an ephemeral loopback port in a thread; returns the base URL."""
    servers: list[tuple[ReportServer, threading.Thread]] = []

    def start(store: ProjectMetadataStore, **options: Any) -> str:
        server = ReportServer(ReportSource.for_store(store.path), "127.0.0.1", 0, **options)
        thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
        thread.start()
        servers.append((server, thread))
        return server.url

    yield start
    for server, thread in servers:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)
