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
from typing import Any, Dict, List, Optional, Set

import click as click
from rich.console import Console

from kor.artifacts.schemas.run import RunStatus as RunStatus
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ModelNode as ModelNode
from kor.contracts.graph.nodes import SourceDefinition as SourceDefinition
from kor.task.base import BaseTask

HAS_RICH: bool
console: Optional[Console]

class ColumnProfile:
    column_name: str
    data_type: str
    row_count: int
    null_count: int
    null_percent: float
    distinct_count: int
    distinct_percent: float
    min_value: Optional[float]
    max_value: Optional[float]
    mean_value: Optional[float]
    median_value: Optional[float]
    stddev_value: Optional[float]
    p25: Optional[float]
    p50: Optional[float]
    p75: Optional[float]
    min_length: Optional[int]
    max_length: Optional[int]
    avg_length: Optional[float]
    histogram: Optional[List[Dict]]
    top_values: Optional[List[Dict]]
    alerts: List[Dict]
    duration_ms: int
    def __init__(
        self,
        column_name: str,
        data_type: str,
        row_count: int = 0,
        null_count: int = 0,
        null_percent: float = 0.0,
        distinct_count: int = 0,
        distinct_percent: float = 0.0,
        min_value: Optional[float] = None,
        max_value: Optional[float] = None,
        mean_value: Optional[float] = None,
        median_value: Optional[float] = None,
        stddev_value: Optional[float] = None,
        p25: Optional[float] = None,
        p50: Optional[float] = None,
        p75: Optional[float] = None,
        min_length: Optional[int] = None,
        max_length: Optional[int] = None,
        avg_length: Optional[float] = None,
        histogram: Optional[List[Dict]] = None,
        top_values: Optional[List[Dict]] = None,
        alerts: List[Dict] = ...,
        duration_ms: int = 0,
    ) -> None: ...

class TableProfile:
    source_name: str
    table_name: str
    connection_name: str
    row_count: int
    column_count: int
    columns: List[ColumnProfile]
    profile_mode: str
    profiled_at: datetime
    duration_ms: int
    alerts: List[Dict]
    status: str
    error: Optional[str]
    def __init__(
        self,
        source_name: str,
        table_name: str,
        connection_name: str,
        row_count: int,
        column_count: int,
        columns: List[ColumnProfile],
        profile_mode: str,
        profiled_at: datetime,
        duration_ms: int,
        alerts: List[Dict] = ...,
        status: str = "success",
        error: Optional[str] = None,
    ) -> None: ...

class ProfileExecutionResult:
    tables_profiled: int
    total_rows: int
    total_columns: int
    total_alerts: int
    duration_ms: int
    profiles: List[TableProfile]
    errors: List[str]
    def __init__(
        self,
        tables_profiled: int = 0,
        total_rows: int = 0,
        total_columns: int = 0,
        total_alerts: int = 0,
        duration_ms: int = 0,
        profiles: List[TableProfile] = ...,
        errors: List[str] = ...,
    ) -> None: ...

class ProfileTask(BaseTask):
    runtime_config: RuntimeConfig
    manifest: Manifest
    profile_mode: str
    _threads: int
    def __init__(self, flags: Any, runtime_config: RuntimeConfig, manifest: Manifest) -> None: ...
    def run(self) -> ProfileExecutionResult: ...
    def _profile_with_progress(
        self, nodes: List[Any], result: ProfileExecutionResult
    ) -> ProfileExecutionResult: ...
    def _profile_without_progress(
        self, nodes: List[Any], result: ProfileExecutionResult
    ) -> ProfileExecutionResult: ...
    def _get_selected_nodes(self) -> List[Any]: ...
    def _parse_selector(self, selector: str) -> List[Any]: ...
    def _matches_pattern(self, node: Any, pattern: str) -> bool: ...
    def _get_excluded_ids(self, exclude_str: str) -> Set[str]: ...
    def _get_node_id(self, node: Any) -> str: ...
    def _get_node_display_name(self, node: Any) -> str: ...
    def _profile_node(self, node: Any, index: int, total: int) -> Optional[TableProfile]: ...
    def _execute_profile(self, node: Any) -> List[ColumnProfile]: ...
    def _get_adapter(self, target_name: Optional[str] = None) -> Any: ...
    def _get_columns_from_db(
        self, adapter: Any, database: Optional[str], schema: str, table: str
    ) -> List[tuple]: ...
    def _get_row_count(self, adapter: Any, database: Optional[str], schema: str, table: str) -> int: ...
    def _build_fqn(self, adapter: Any, database: Optional[str], schema: str, table: str) -> str: ...
    def _profile_column_sql(
        self,
        adapter: Any,
        database: Optional[str],
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
    def _profile_basic_column(
        self, adapter: Any, fqn: str, quoted_col: str, col_name: str, col_type: str, row_count: int
    ) -> ColumnProfile: ...
    def _add_percentiles(
        self, adapter: Any, fqn: str, quoted_col: str, profile: ColumnProfile
    ) -> None: ...
    def _add_top_values(
        self, adapter: Any, fqn: str, quoted_col: str, profile: ColumnProfile
    ) -> None: ...
    def _generate_alerts(self, profile: ColumnProfile) -> List[Dict]: ...
    def _store_profile(self, profile: TableProfile) -> None: ...
    def _print_summary(self, result: ProfileExecutionResult) -> None: ...
    def interpret_results(self, result: ProfileExecutionResult) -> bool: ...
