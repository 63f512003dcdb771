"""The project graph: every source and node, in declaration order."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict

from kor.contracts.graph.nodes import SourceDefinition


@dataclass
class Manifest:
    sources: Dict[str, SourceDefinition] = field(default_factory=dict)
    nodes: Dict[str, Any] = field(default_factory=dict)
