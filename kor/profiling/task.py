"""The profiling task as the library runs it: one snapshot per table, every table run recorded."""

from __future__ import annotations

from typing import Any

import duckdb

from kor.adapters.base import Adapter
from kor.compute.metadata.runs import TableRunRecord, record_table_run
from kor.compute.metadata.session import StoreSession
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import SourceDefinition
from kor.profiling.freshness import TableFreshness, stale_alert, table_freshness
from kor.project.loader import FRESHNESS_KEY
from kor.task.profile import ColumnProfile, ProfileTask, TableProfile


class RecordedProfileTask(ProfileTask):
    """`ProfileTask` with three steps wrapped; the task calls its methods through `self`."""

    def __init__(self, args: Any, runtime_config: RuntimeConfig, manifest: Manifest, *,
                 adapter: Adapter, session: StoreSession) -> None:
        super().__init__(args, runtime_config, manifest)
        self._adapter = adapter
        self._session = session
        self._column_order: list[str] = []
        self._freshness: TableFreshness | None = None
        # Tables whose run could not be written to the store (it failed mid-run).
        self.unrecorded: list[str] = []

    def _profile_node(self, node: Any, index: int, total: int) -> TableProfile | None:
        declared = getattr(node, "columns", None)
        self._column_order = list(declared) if declared else []
        self._freshness = None
        return super()._profile_node(node, index, total)

    def _execute_profile(self, node: Any) -> list[ColumnProfile]:
        # Row count, listing and every column query of the table see the same data.
        with self._adapter.snapshot():
            columns = super()._execute_profile(node)
        # Before the table is counted and stored: its freshness alert is one of its own.
        rule = (node.config.get(FRESHNESS_KEY) if isinstance(node, SourceDefinition)
                else None)
        self._freshness = table_freshness(columns, rule)
        if rule is not None:
            # The listing (or the declaration) gave the table's order; workers finish in any.
            position = {name: index for index, name in enumerate(self._column_order)}
            ordered = sorted(columns, key=lambda c: position.get(c.column_name, len(position)))
            alerted = stale_alert(ordered, rule)
            if alerted is not None:
                column, alert = alerted
                column.alerts.append(alert)
        return columns

    def _get_columns_from_db(self, adapter: Any, database: str | None, schema: str,
                             table: str) -> list[tuple[str, str]]:
        columns = super()._get_columns_from_db(adapter, database, schema, table)
        self._column_order = [name for name, _ in columns]
        return columns

    def _store_profile(self, profile: TableProfile) -> bool:
        stored = super()._store_profile(profile)
        try:
            record_table_run(self._session, table_run(profile, self._column_order, stored,
                                                      self._freshness))
        except duckdb.Error:
            # The store failed under the run; the rows' own warning has been printed, and
            # the run's verdict counts the table as not stored.
            self.unrecorded.append(f"{profile.source_name}.{profile.table_name}")
        return stored


def table_run(profile: TableProfile, column_order: list[str], stored: bool,
              freshness: TableFreshness | None = None) -> TableRunRecord:
    """The record of one table run, its columns in table order (as listed or declared)."""
    types = {column.column_name: column.data_type for column in profile.columns}
    order = [name for name in column_order if name in types]
    order += [name for name in types if name not in order]
    return TableRunRecord(
        source_name=profile.source_name, table_name=profile.table_name, status=profile.status,
        error=profile.error, row_count=profile.row_count, column_count=profile.column_count,
        duration_ms=profile.duration_ms, profiled_at=profile.profiled_at,
        columns=[(name, types[name]) for name in order],
        stored=stored and profile.status == "success",
        freshness_column=None if freshness is None else freshness.column,
        freshness_seconds=None if freshness is None else freshness.seconds)
