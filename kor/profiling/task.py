"""The profiling task as the library runs it: one snapshot per table, every table run recorded."""

from __future__ import annotations

import json
from typing import Any

import duckdb

from kor import __version__
from kor.adapters.base import Adapter, ProvesUnchanged
from kor.artifacts.schemas.run import RunStatus
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
from kor.profiling.drift import drift_alerts
from kor.profiling.freshness import TableFreshness, stale_alert, table_freshness
from kor.profiling.pii import pii_alerts
from kor.profiling.progress import ColumnProgress
from kor.project.loader import FRESHNESS_KEY
from kor.task.profile import ColumnProfile, ProfileExecutionResult, ProfileTask, TableProfile
from kor.text import printable, qualified


class RecordedProfileTask(ProfileTask):
    """`ProfileTask` with three steps wrapped; the task calls its methods through `self`."""

    def __init__(self, args: Any, runtime_config: RuntimeConfig, manifest: Manifest, *,
                 adapter: Adapter, session: StoreSession, skip_unchanged: bool = False) -> None:
        super().__init__(args, runtime_config, manifest)
        self._adapter = adapter
        self._session = session
        self._skip_unchanged = skip_unchanged
        self._column_order: list[str] = []
        self._freshness: TableFreshness | None = None
        # The warehouse's columns of a table whose columns are declared (None: not listed).
        self._warehouse_columns: list[tuple[str, str]] | None = None
        self._evidence: str | None = None
        self._columns = ColumnProgress(None, 0)
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
            # A table with a freshness rule ages without any change: it is measured, so
            # that its STALE alert is the age of now, not of the run it would reuse.
            has_rule = isinstance(node, SourceDefinition) and FRESHNESS_KEY in node.config
            if (earlier is not None and not has_rule
                    and earlier.evidence == self._evidence_of(node)):
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
        relation = self._relation(node)
        warehouse = self._adapter.change_evidence(relation)
        if warehouse is None:
            return None
        declared = [[name, getattr(info, "data_type", None)]
                    for name, info in (getattr(node, "columns", None) or {}).items()]
        request = {"mode": self.profile_mode, "version": __version__,
                   "relation": [relation.database, relation.schema, relation.identifier],
                   "columns": declared}
        return json.dumps({"warehouse": warehouse, "request": request}, sort_keys=True)

    def _profile_node(self, node: Any, index: int, total: int) -> TableProfile | None:
        declared = getattr(node, "columns", None)
        self._column_order = list(declared) if declared else []
        self._freshness = None
        self._warehouse_columns = None
        self._evidence = None
        return super()._profile_node(node, index, total)

    def _execute_profile(self, node: Any) -> list[ColumnProfile]:
        declared = [(name, info.data_type) for name, info in (node.columns or {}).items()]
        # Row count, listing and every column query of the table see the same data; the
        # evidence is taken inside the same snapshot, before a value is read.
        with self._adapter.snapshot():
            self._evidence = self._evidence_of(node)
            self._warehouse_columns = self._listed(node) if declared else None
            self._columns = ColumnProgress(getattr(self, "_live_progress", None), len(declared))
            try:
                columns = super()._execute_profile(node)
            finally:
                self._columns.close()
        # The listing (or the declaration) gave the table's order; workers finish in any.
        position = {name: index for index, name in enumerate(self._column_order)}
        ordered = sorted(columns, key=lambda c: position.get(c.column_name, len(position)))
        # Before the table is counted and stored: these alerts are the table's own.
        found = []
        if self._warehouse_columns is not None:
            kind = getattr(self._adapter, "column_kind", lambda text: None)
            found += drift_alerts(ordered, declared, self._warehouse_columns, kind)
        found += pii_alerts(ordered)
        rule = (node.config.get(FRESHNESS_KEY) if isinstance(node, SourceDefinition)
                else None)
        self._freshness = table_freshness(columns, rule)
        if rule is not None:
            alerted = stale_alert(ordered, rule)
            if alerted is not None:
                found.append(alerted)
        for column, alert in found:
            column.alerts.append(alert)
        return columns

    def _relation(self, node: Any) -> Any:
        """The node's table as the task reads it: a source's identifier, a model's alias or
        name."""
        table = (node.identifier if isinstance(node, SourceDefinition)
                 else node.alias or node.name)
        return self._adapter.Relation.create(database=getattr(node, "database", None),
                                             schema=node.schema, identifier=table)

    def _listed(self, node: Any) -> list[tuple[str, str]] | None:
        """The warehouse's own columns of a table whose columns are declared; None when the
        catalog cannot say (the declared columns are profiled all the same)."""
        relation = self._relation(node)
        try:
            return [(column.name, column.dtype)
                    for column in self._adapter.get_columns_in_relation(relation)]
        except Exception:
            # A table the catalog lacks fails on its own queries; drift is not the news.
            return None

    def _profile_column_sql(self, adapter: Any, database: str | None, schema: str, table: str,
                            col_name: str, col_type: str, row_count: int) -> ColumnProfile:
        # A declared column is measured as what the warehouse holds: a VARCHAR declared
        # INTEGER has lengths, not a maximum read as a number.
        listed = dict(self._warehouse_columns or ())
        self._columns.started(col_name)
        try:
            return super()._profile_column_sql(adapter, database, schema, table, col_name,
                                               listed.get(col_name, col_type), row_count)
        finally:
            self._columns.finished(col_name)

    def _get_columns_from_db(self, adapter: Any, database: str | None, schema: str,
                             table: str) -> list[tuple[str, str]]:
        columns = super()._get_columns_from_db(adapter, database, schema, table)
        self._column_order = [name for name, _ in columns]
        self._columns.total = len(columns)
        return columns

    def _store_profile(self, profile: TableProfile) -> bool:
        stored = super()._store_profile(profile)
        try:
            record_table_run(self._session, table_run(profile, self._column_order, stored,
                                                      self._freshness,
                                                      self._warehouse_columns, self._evidence))
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
              freshness: TableFreshness | None = None,
              warehouse_columns: list[tuple[str, str]] | None = None,
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
        stored=stored and profile.status == RunStatus.SUCCESS,
        freshness_column=None if freshness is None else freshness.column,
        freshness_seconds=None if freshness is None else freshness.seconds,
        warehouse_columns=warehouse_columns,
        # A column that could not be measured is measured again next time, whatever the data.
        evidence=evidence if profile.status == RunStatus.SUCCESS and all(
            column.null_percent is not None and column.distinct_count is not None
            for column in profile.columns) else None)
