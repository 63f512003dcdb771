"""The nodes of a project graph: sources, models and the other kinds."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import Any


class NodeType(str, Enum):
    SOURCE = "source"
    MODEL = "model"
    SEED = "seed"
    TEST = "test"


@dataclass
class ColumnInfo:
    """A column as the project declares it."""

    name: str
    data_type: str | None = None
    description: str = ""


@dataclass
class SourceDefinition:
    """A warehouse table that the project reads but does not build."""

    unique_id: str
    name: str
    source_name: str
    identifier: str
    schema: str
    database: str | None = None
    columns: dict[str, ColumnInfo] = field(default_factory=dict)
    config: dict[str, Any] = field(default_factory=dict)
    resource_type: NodeType = NodeType.SOURCE


@dataclass
class NodeConfig:
    """Settings of a model; `target` names the connection it lives in."""

    target: str | None = None


@dataclass
class ModelNode:
    """A table or view that the project builds."""

    unique_id: str
    name: str
    schema: str
    alias: str | None = None
    database: str | None = None
    columns: dict[str, ColumnInfo] = field(default_factory=dict)
    config: NodeConfig = field(default_factory=NodeConfig)
    resource_type: NodeType = NodeType.MODEL


@dataclass
class GraphNode:
    """Any other node of the graph: seeds, tests and the like."""

    unique_id: str
    name: str
    resource_type: NodeType
    schema: str | None = None
