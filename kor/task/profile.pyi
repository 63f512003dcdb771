"""Type stub of the native profiling task."""

from __future__ import annotations

import json as json
import time as time
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from concurrent.futures import as_completed as as_completed
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from datetime import datetime
from pathlib import Path as Path
from typing import Any

import click as click
from rich.console import Console

from kor.artifacts.schemas.run import RunStatus as RunStatus
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ModelNode as ModelNode
from kor.contracts.graph.nodes import SourceDefinition as SourceDefinition
from kor.task.base import BaseTask

HAS_RICH: bool
console: Console | None

class ColumnProfile:
    column_name: str
    data_type: str
    row_count: int
    null_count: int | None
    null_percent: float | None
    distinct_count: int | None
    distinct_percent: float | None
    min_value: float | None
    max_value: float | None
    mean_value: float | None
    median_value: float | None
    stddev_value: float | None
    p25: float | None
    p50: float | None
    p75: float | None
    min_length: int | None
    max_length: int | None
    avg_length: float | None
    histogram: list[dict[str, Any]] | None
    top_values: list[dict[str, Any]] | None
    alerts: list[dict[str, Any]]
    duration_ms: int
    column_kind: str | None
    min_exact: str | None
    max_exact: str | None
    true_count: int | None
    false_count: int | None
    future_count: int | None
    freshness_seconds: float | None
    def __init__(
        self,
        column_name: str,
        data_type: str,
        row_count: int = 0,
        null_count: int | None = 0,
        null_percent: float | None = 0.0,
        distinct_count: int | None = 0,
        distinct_percent: float | None = 0.0,
        min_value: float | None = None,
        max_value: float | None = None,
        mean_value: float | None = None,
        median_value: float | None = None,
        stddev_value: float | None = None,
        p25: float | None = None,
        p50: float | None = None,
        p75: float | None = None,
        min_length: int | None = None,
        max_length: int | None = None,
        avg_length: float | None = None,
        histogram: list[dict[str, Any]] | None = None,
        top_values: list[dict[str, Any]] | None = None,
        alerts: list[dict[str, Any]] = ...,
        duration_ms: int = 0,
        column_kind: str | None = None,
        min_exact: str | None = None,
        max_exact: str | None = None,
        true_count: int | None = None,
        false_count: int | None = None,
        future_count: int | None = None,
        freshness_seconds: float | None = None,
    ) -> None: ...

class TableProfile:
    source_name: str
    table_name: str
    connection_name: str
    row_count: int
    column_count: int
    columns: list[ColumnProfile]
    profile_mode: str
    profiled_at: datetime
    duration_ms: int
    alerts: list[dict[str, Any]]
    status: str
    error: str | None
    def __init__(
        self,
        source_name: str,
        table_name: str,
        connection_name: str,
        row_count: int,
        column_count: int,
        columns: list[ColumnProfile],
        profile_mode: str,
        profiled_at: datetime,
        duration_ms: int,
        alerts: list[dict[str, Any]] = ...,
        status: str = "success",
        error: str | None = None,
    ) -> None: ...

class ProfileExecutionResult:
    tables_profiled: int
    total_rows: int
    total_columns: int
    total_alerts: int
    duration_ms: int
    profiles: list[TableProfile]
    errors: list[str]
    def __init__(
        self,
        tables_profiled: int = 0,
        total_rows: int = 0,
        total_columns: int = 0,
        total_alerts: int = 0,
        duration_ms: int = 0,
        profiles: list[TableProfile] = ...,
        errors: list[str] = ...,
    ) -> None: ...

class ProfileTask(BaseTask):
    runtime_config: RuntimeConfig
    manifest: Manifest
    profile_mode: str
    _threads: int
    # The live display and its task while `_profile_with_progress` runs; None after.
    _live_progress: tuple[Any, Any] | None
    def __init__(self, flags: Any, runtime_config: RuntimeConfig, manifest: Manifest) -> None: ...
    def run(self) -> ProfileExecutionResult: ...
    def _profile_with_progress(
        self, nodes: list[Any], result: ProfileExecutionResult
    ) -> ProfileExecutionResult: ...
    def _profile_without_progress(
        self, nodes: list[Any], result: ProfileExecutionResult
    ) -> ProfileExecutionResult: ...
    def _get_selected_nodes(self) -> list[Any]: ...
    def _parse_selector(self, selector: str) -> list[Any]: ...
    def _matches_pattern(self, node: Any, pattern: str) -> bool: ...
    def _get_excluded_ids(self, exclude_str: str) -> set[str]: ...
    def _get_node_id(self, node: Any) -> str: ...
    def _get_node_display_name(self, node: Any) -> str: ...
    def _profile_node(self, node: Any, index: int, total: int) -> TableProfile | None: ...
    def _execute_profile(self, node: Any) -> list[ColumnProfile]: ...
    def _get_adapter(self, target_name: str | None = None) -> Any: ...
    def _get_columns_from_db(
        self, adapter: Any, database: str | None, schema: str, table: str
    ) -> list[tuple[str, str]]: ...
    def _get_row_count(
        self, adapter: Any, database: str | None, schema: str, table: str
    ) -> int: ...
    def _build_fqn(self, adapter: Any, database: str | None, schema: str, table: str) -> str: ...
    def _profile_column_sql(
        self,
        adapter: Any,
        database: str | None,
        schema: str,
        table: str,
        col_name: str,
        col_type: str,
        row_count: int,
    ) -> ColumnProfile: ...
    def _profile_numeric_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _profile_string_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _profile_temporal_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _profile_boolean_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _profile_basic_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _add_percentiles(
        self, adapter: Any, fqn: str, quoted_col: str, profile: ColumnProfile
    ) -> None: ...
    def _add_top_values(
        self, adapter: Any, fqn: str, quoted_col: str, profile: ColumnProfile
    ) -> None: ...
    def _add_histogram(
        self, adapter: Any, fqn: str, quoted_col: str, profile: ColumnProfile
    ) -> None: ...
    def _generate_alerts(self, profile: ColumnProfile) -> list[dict[str, Any]]: ...
    def _store_profile(self, profile: TableProfile) -> bool: ...
    def _print_summary(self, result: ProfileExecutionResult) -> None: ...
    def interpret_results(self, result: ProfileExecutionResult) -> bool: ...
