"""A PostgreSQL server that goes away in the middle of a run."""

from __future__ import annotations

import shutil
import tempfile
from pathlib import Path

import pytest

from kor.adapters import factory
from kor.compute.metadata import ProjectMetadataStore
from kor.config.runtime import RuntimeConfig
from tests import pg_server
from tests.builders import flags, manifest, source

pytestmark = pytest.mark.postgres
TABLES = ["t1", "t2", "t3", "t4"]


@pytest.fixture
def own_server(postgres):
    """A cluster of this test's own, since the test stops it."""
    root = Path(tempfile.mkdtemp(prefix="kor-pg-"))
    server = pg_server.start(root)
    yield server
    try:
        server.stop("immediate")
    except pg_server.ServerUnavailable:
        pass  # already stopped by the test
    shutil.rmtree(root, ignore_errors=True)


class StopsServer:
    """Passes everything to the real adapter; stops the server at the first query on `table`."""

    def __init__(self, adapter, server, table: str) -> None:
        self._adapter, self._server, self._table = adapter, server, table
        self.stopped = False

    def __getattr__(self, name: str):
        return getattr(self._adapter, name)

    def execute(self, sql: str, fetch: bool = False):
        if not self.stopped and f'"{self._table}"' in sql:
            self._server.stop("immediate")
            self.stopped = True
        return self._adapter.execute(sql, fetch=fetch)


@pytest.mark.parametrize("stop_at, succeeded", [("t1", False), ("t3", True)])
def test_tables_after_the_stop_fail_and_the_earlier_ones_are_stored(
        own_server, tmp_path, monkeypatch, plain_output, capsys, profile_module, stop_at,
        succeeded):
    with pg_server.connect(own_server) as connection:
        for table in TABLES:
            connection.execute(f"CREATE TABLE {table} AS SELECT i AS id, 'v' || i AS label "
                               "FROM generate_series(1, 50) g(i)")
    config = RuntimeConfig(project_root=tmp_path, project_name="shop", target_name="pg",
                           target=own_server.settings(threads=2, connect_timeout=1))
    adapter = StopsServer(factory.get_adapter(config), own_server, stop_at)
    monkeypatch.setattr(factory, "get_adapter", lambda runtime_config: adapter)
    graph = manifest(*(source("raw", table, schema="public") for table in TABLES))
    task = profile_module.ProfileTask(flags(THREADS=2), config, graph)
    try:
        result = task.run()
    finally:
        factory.close_adapters()
    statuses = {p.table_name: p.status for p in result.profiles}
    failed_from = TABLES.index(stop_at)
    assert statuses == {t: "success" if i < failed_from else "error"
                        for i, t in enumerate(TABLES)}
    assert task.interpret_results(result) is succeeded
    assert "Duration:" in capsys.readouterr().out  # the summary
    stored = {row.table_name for row in ProjectMetadataStore(tmp_path).latest_profiles()}
    assert stored == set(TABLES[:failed_from])
