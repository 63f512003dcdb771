"""Fixtures shared by every test: a runtime configuration, the module, a task factory."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from tests.builders import flags


@pytest.fixture
def runtime_config(tmp_path: Path) -> RuntimeConfig:
    return RuntimeConfig(
        project_root=tmp_path,
        project_name="shop",
        target_name="dev",
        target={"type": "duckdb", "path": str(tmp_path / "warehouse.duckdb")},
    )


@pytest.fixture
def profile_module():
    import kor.task.profile as module

    return module


@pytest.fixture
def make_task(profile_module, runtime_config):
    """Builds a ProfileTask; `cls` may be a subclass that replaces some methods."""

    def build(args: Any = None, graph: Manifest | None = None, cls: type | None = None):
        task_class = cls or profile_module.ProfileTask
        return task_class(args if args is not None else flags(), runtime_config,
                          graph if graph is not None else Manifest())

    return build


@pytest.fixture
def plain_output(monkeypatch, profile_module):
    """Runs the module's printing paths without Rich."""
    monkeypatch.setattr(profile_module, "HAS_RICH", False)
    monkeypatch.setattr(profile_module, "console", None)


@pytest.fixture
def rich_console(monkeypatch, profile_module):
    """A recording Rich console in place of the module's own; `.export_text()` reads it."""
    from rich.console import Console

    console = Console(record=True, width=120, force_terminal=False, color_system=None)
    monkeypatch.setattr(profile_module, "HAS_RICH", True)
    monkeypatch.setattr(profile_module, "console", console)
    return console
