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
from kor.profiling.drift import drift_alerts
from kor.profiling.freshness import TableFreshness, stale_alert, table_freshness
from kor.profiling.pii import pii_alerts
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
        # The warehouse's columns of a table whose columns are declared (None: not listed).
        self._warehouse_columns: list[tuple[str, str]] | None = None
        # Tables whose run could not be written to the store (it failed mid-run).
        self.unrecorded: list[str] = []

    def _profile_node(self, node: Any, index: int, total: int) -> TableProfile | None:
        declared = getattr(node, "columns", None)
        self._column_order = list(declared) if declared else []
        self._freshness = None
        self._warehouse_columns = None
        return super()._profile_node(node, index, total)

    def _execute_profile(self, node: Any) -> list[ColumnProfile]:
        declared = [(name, info.data_type) for name, info in (node.columns or {}).items()]
        # Row count, listing and every column query of the table see the same data.
        with self._adapter.snapshot():
            self._warehouse_columns = self._listed(node) if declared else None
            columns = super()._execute_profile(node)
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

    def _listed(self, node: Any) -> list[tuple[str, str]] | None:
        """The warehouse's own columns of a table whose columns are declared; None when the
        catalog cannot say (the declared columns are profiled all the same)."""
        table = (node.identifier if isinstance(node, SourceDefinition)
                 else node.alias or node.name)
        relation = self._adapter.Relation.create(
            database=getattr(node, "database", None), schema=node.schema, identifier=table)
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
        return super()._profile_column_sql(adapter, database, schema, table, col_name,
                                           listed.get(col_name, col_type), row_count)

    def _get_columns_from_db(self, adapter: Any, database: str | None, schema: str,
                             table: str) -> list[tuple[str, str]]:
        columns = super()._get_columns_from_db(adapter, database, schema, table)
        self._column_order = [name for name, _ in columns]
        return columns

    def _store_profile(self, profile: TableProfile) -> bool:
        stored = super()._store_profile(profile)
        try:
            record_table_run(self._session, table_run(profile, self._column_order, stored,
                                                      self._freshness,
                                                      self._warehouse_columns))
        except duckdb.Error:
            # The store failed under the run; the rows' own warning has been printed, and
            # the run's verdict counts the table as not stored.
            self.unrecorded.append(f"{profile.source_name}.{profile.table_name}")
        return stored


def table_run(profile: TableProfile, column_order: list[str], stored: bool,
              freshness: TableFreshness | None = None,
              warehouse_columns: list[tuple[str, str]] | None = None) -> TableRunRecord:
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
        freshness_seconds=None if freshness is None else freshness.seconds,
        warehouse_columns=warehouse_columns)
