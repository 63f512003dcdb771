"""The nodes of a project graph: sources, models and the other kinds."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Dict, Optional


class NodeType(str, Enum):
    SOURCE = "source"
    MODEL = "model"
    SEED = "seed"
    TEST = "test"


@dataclass
class ColumnInfo:
    """A column as the project declares it."""

    name: str
    data_type: Optional[str] = None
    description: str = ""


@dataclass
class SourceDefinition:
    """A warehouse table that the project reads but does not build."""

    unique_id: str
    name: str
    source_name: str
    identifier: str
    schema: str
    database: Optional[str] = None
    columns: Dict[str, ColumnInfo] = field(default_factory=dict)
    config: Dict[str, Any] = field(default_factory=dict)
    resource_type: NodeType = NodeType.SOURCE


@dataclass
class NodeConfig:
    """Settings of a model; `target` names the connection it lives in."""

    target: Optional[str] = None


@dataclass
class ModelNode:
    """A table or view that the project builds."""

    unique_id: str
    name: str
    schema: str
    alias: Optional[str] = None
    database: Optional[str] = None
    columns: Dict[str, ColumnInfo] = field(default_factory=dict)
    config: NodeConfig = field(default_factory=NodeConfig)
    resource_type: NodeType = NodeType.MODEL


@dataclass
class GraphNode:
    """Any other node of the graph: seeds, tests and the like."""

    unique_id: str
    name: str
    resource_type: NodeType
    schema: Optional[str] = None
