"""The profiling task as the library runs it: one snapshot per table, every table run recorded."""

from __future__ import annotations

import json
from typing import Any

import duckdb

from kor import __version__
from kor.adapters.base import Adapter, ProvesUnchanged
from kor.compute.metadata.records import TableKey, decode_list
from kor.compute.metadata.runs import (
    MeasuredTable,
    TableRunRecord,
    measured_tables,
    record_table_run,
    reuse_tables,
)
from kor.compute.metadata.session import StoreSession
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import SourceDefinition
from kor.report.figures import printable, qualified
from kor.task.profile import ColumnProfile, ProfileExecutionResult, ProfileTask, TableProfile


class RecordedProfileTask(ProfileTask):
    """`ProfileTask` with three steps wrapped; the task calls its methods through `self`."""

    def __init__(self, args: Any, runtime_config: RuntimeConfig, manifest: Manifest, *,
                 adapter: Adapter, session: StoreSession, skip_unchanged: bool = False) -> None:
        super().__init__(args, runtime_config, manifest)
        self._adapter = adapter
        self._session = session
        self._skip_unchanged = skip_unchanged
        self._column_order: list[str] = []
        self._evidence: str | None = None
        # Tables whose run could not be written to the store (it failed mid-run).
        self.unrecorded: list[str] = []
        # Tables whose earlier profile was reused, as "source.table", with the run that
        # measured it.
        self.reused: list[tuple[str, int]] = []
        # The alerts of their rows, (table, column, alert): a verdict counts them as measured.
        self.reused_alerts: list[tuple[str, str, dict[str, Any]]] = []

    def _profile_with_progress(self, nodes: list[Any], result: ProfileExecutionResult
                               ) -> ProfileExecutionResult:
        nodes = self._reuse_unchanged(nodes)
        return super()._profile_with_progress(nodes, result) if nodes else result

    def _profile_without_progress(self, nodes: list[Any], result: ProfileExecutionResult
                                  ) -> ProfileExecutionResult:
        nodes = self._reuse_unchanged(nodes)
        return super()._profile_without_progress(nodes, result) if nodes else result

    def _reuse_unchanged(self, nodes: list[Any]) -> list[Any]:
        """With `skip_unchanged`, records the tables whose evidence is the one recorded with
        their latest measured run as run again with that run's profile, says so per table,
        and returns the nodes left to measure."""
        if not self._skip_unchanged:
            return nodes
        try:
            measured = measured_tables(self._session)
        except duckdb.Error:
            return nodes
        reused: dict[TableKey, MeasuredTable] = {}
        remaining = []
        for node in nodes:
            key = node_key(node)
            earlier = measured.get(key)
            if key in reused:
                continue  # named twice: reused once
            if earlier is not None and earlier.evidence == self._evidence_of(node):
                reused[key] = earlier
            else:
                remaining.append(node)
        try:
            copied = reuse_tables(self._session, list(reused.items()))
        except duckdb.Error:
            return nodes  # nothing was recorded: measure them all, as without the option
        self.reused_alerts = [(table, column, alert) for table, column, alerts in copied
                              for alert in decode_list(alerts)]
        self.reused = [(qualified(*key), earlier.measured_in) for key, earlier in reused.items()]
        # Before the module's own display starts: its lines are the measured tables'.
        if self.reused:
            print("\n".join(f"{printable(name)} unchanged since run {run_id}"
                            for name, run_id in self.reused), flush=True)
        return remaining

    def _evidence_of(self, node: Any) -> str | None:
        """What proves the node's profile still right while it stays the same: the
        warehouse's evidence that the data did not change, and what was asked of it."""
        if not isinstance(self._adapter, ProvesUnchanged):
            return None
        is_source = isinstance(node, SourceDefinition)
        table = node.identifier if is_source else (node.alias or node.name)
        database = getattr(node, "database", None)
        warehouse = self._adapter.change_evidence(
            self._adapter.Relation.create(database=database, schema=node.schema,
                                          identifier=table))
        if warehouse is None:
            return None
        declared = [[name, getattr(info, "data_type", None)]
                    for name, info in (getattr(node, "columns", None) or {}).items()]
        request = {"mode": self.profile_mode, "version": __version__,
                   "relation": [database, node.schema, table], "columns": declared}
        return json.dumps({"warehouse": warehouse, "request": request}, sort_keys=True)

    def _profile_node(self, node: Any, index: int, total: int) -> TableProfile | None:
        declared = getattr(node, "columns", None)
        self._column_order = list(declared) if declared else []
        self._evidence = None
        return super()._profile_node(node, index, total)

    def _execute_profile(self, node: Any) -> list[ColumnProfile]:
        # Row count, listing and every column query of the table see the same data; the
        # evidence is taken inside the same snapshot, before a value is read.
        with self._adapter.snapshot():
            self._evidence = self._evidence_of(node)
            return super()._execute_profile(node)

    def _get_columns_from_db(self, adapter: Any, database: str | None, schema: str,
                             table: str) -> list[tuple[str, str]]:
        columns = super()._get_columns_from_db(adapter, database, schema, table)
        self._column_order = [name for name, _ in columns]
        return columns

    def _store_profile(self, profile: TableProfile) -> bool:
        stored = super()._store_profile(profile)
        try:
            record_table_run(self._session, table_run(profile, self._column_order, stored,
                                                      self._evidence))
        except duckdb.Error:
            # The store failed under the run; the rows' own warning has been printed, and
            # the run's verdict counts the table as not stored.
            self.unrecorded.append(f"{profile.source_name}.{profile.table_name}")
        return stored


def node_key(node: Any) -> TableKey:
    """A node's table as the store names it."""
    if isinstance(node, SourceDefinition):
        return (node.source_name, node.identifier)
    return ("models", node.name)


def table_run(profile: TableProfile, column_order: list[str], stored: bool,
              evidence: str | None = None) -> TableRunRecord:
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
        # A column that could not be measured is measured again next time, whatever the data.
        evidence=evidence if profile.status == "success" and all(
            column.null_percent is not None and column.distinct_count is not None
            for column in profile.columns) else None)
