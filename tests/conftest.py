"""Fixtures shared by every test: a runtime configuration, the module, a task factory."""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
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


@dataclass
class PostgresDatabase:
    """The test database of a running server: its target settings and a superuser DSN."""

    dsn: str
    settings: dict[str, Any]
    server: Any = None  # the Server this session started, None for one given by KOR_TEST_PG

    def connect(self):
        import psycopg

        return psycopg.connect(self.dsn, autocommit=True)


@pytest.fixture(autouse=True)
def _close_cached_adapters() -> Iterator[None]:
    """Adapters a test got from the factory end with it: their pools' threads would otherwise
    run on through later tests (and the leak tests' counts) until the interpreter exits."""
    yield
    from kor.adapters.factory import close_adapters

    close_adapters()


@pytest.fixture(scope="session")
def postgres() -> Iterator[PostgresDatabase]:
    """The server named by KOR_TEST_PG, else a throw-away cluster; in CI its absence fails."""
    from psycopg.conninfo import conninfo_to_dict

    from tests import pg_server

    dsn = os.environ.get("KOR_TEST_PG")
    if dsn:
        settings = {"type": "postgres", **conninfo_to_dict(dsn)}
        yield PostgresDatabase(dsn, settings)
        return
    root = Path(tempfile.mkdtemp(prefix="kor-pg-"))
    try:
        server = pg_server.start(root)
    except pg_server.ServerUnavailable as exc:
        shutil.rmtree(root, ignore_errors=True)
        if os.environ.get("CI"):
            pytest.fail(f"PostgreSQL is required in CI: {exc}")
        pytest.skip(f"no PostgreSQL server could be started: {exc}")
    try:
        yield PostgresDatabase(server.dsn, server.settings(), server)
    finally:
        server.stop("immediate")
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def pg_schema(postgres, request) -> Iterator[str]:
    """A schema of its own for one test, dropped afterwards."""
    name = "t_" + re.sub(r"\W", "_", request.node.name.lower())[:50]
    with postgres.connect() as connection:
        connection.execute(f'DROP SCHEMA IF EXISTS "{name}" CASCADE')
        connection.execute(f'CREATE SCHEMA "{name}"')
    yield name
    with postgres.connect() as connection:
        connection.execute(f'DROP SCHEMA IF EXISTS "{name}" CASCADE')
