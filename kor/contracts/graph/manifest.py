"""The project graph: every source and node, in declaration order."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from kor.contracts.graph.nodes import SourceDefinition


@dataclass
class Manifest:
    sources: dict[str, SourceDefinition] = field(default_factory=dict)
    nodes: dict[str, Any] = field(default_factory=dict)
