"""Builders for flags, nodes and manifests made of the real host classes."""

from __future__ import annotations

from collections.abc import Iterable
from datetime import datetime
from types import SimpleNamespace
from typing import Any

from kor.compute.metadata import ColumnProfileResult
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import (
    ColumnInfo,
    GraphNode,
    ModelNode,
    NodeConfig,
    NodeType,
    SourceDefinition,
)


def flags(**values: Any) -> SimpleNamespace:
    """The command's parsed flags: only the attributes given exist."""
    return SimpleNamespace(**values)


def source(source_name: str, name: str, identifier: str | None = None, *, project: str = "shop",
           schema: str = "main", columns: Iterable[tuple[str, str | None]] = (),
           **extra: Any) -> SourceDefinition:
    return SourceDefinition(
        unique_id=f"source.{project}.{source_name}.{name}",
        name=name,
        source_name=source_name,
        identifier=identifier or name,
        schema=schema,
        columns={n: ColumnInfo(n, t) for n, t in columns},
        **extra,
    )


def model(name: str, *, alias: str | None = None, project: str = "shop", schema: str = "main",
          target: str | None = None, columns: Iterable[tuple[str, str | None]] = (),
          **extra: Any) -> ModelNode:
    return ModelNode(
        unique_id=f"model.{project}.{name}",
        name=name,
        schema=schema,
        alias=alias,
        columns={n: ColumnInfo(n, t) for n, t in columns},
        config=NodeConfig(target=target),
        **extra,
    )


def graph_node(name: str, kind: NodeType, *, project: str = "shop") -> GraphNode:
    return GraphNode(unique_id=f"{kind.value}.{project}.{name}", name=name, resource_type=kind)


def manifest(*nodes: Any) -> Manifest:
    """A manifest holding `nodes` in the order given: sources in `sources`, the rest in `nodes`."""
    result = Manifest()
    for node in nodes:
        target = result.sources if isinstance(node, SourceDefinition) else result.nodes
        target[node.unique_id] = node
    return result


def stored_row(source_name: str = "raw", table_name: str = "orders", column_name: str = "id",
               profiled_at: datetime = datetime(2026, 1, 1, 12, 0), **fields: Any
               ) -> ColumnProfileResult:
    """A metadata-store row; the metrics default to a plain, alert-free column of 10 rows."""
    values: dict[str, Any] = dict(profile_mode="explorative", row_count=10, null_count=0,
                                  null_percent=0.0, distinct_count=10, distinct_percent=100.0,
                                  duration_ms=1)
    values.update(fields)
    return ColumnProfileResult(source_name=source_name, table_name=table_name,
                               column_name=column_name, profiled_at=profiled_at, **values)
