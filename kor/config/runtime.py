"""The runtime configuration: which project, which target, how to reach it."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any


@dataclass
class RuntimeConfig:
    project_root: Path
    project_name: str
    target_name: str
    target: dict[str, Any]

    @classmethod
    def load(cls, project_dir: Path | str, target: str | None = None) -> RuntimeConfig:
        """Read `zel_project.yml` in `project_dir` and pick `target` (or the default)."""
        from kor.project.loader import load_runtime_config

        return load_runtime_config(Path(project_dir), target)
