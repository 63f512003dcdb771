"""The Spark tier's fixtures: one local Spark session for the whole test session, a Spark Connect
server started on demand, and warehouses of Parquet tables on either."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from kor.adapters.spark import SparkAdapter
from tests.spark.tables import AS_INSTANTS


def spark_missing() -> str | None:
    """Why the Spark tier cannot run here, or None."""
    try:
        import pyspark  # noqa: F401
    except ImportError:
        return "PySpark is not installed (pip install 'kor[spark]')"
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return "no Java: none on PATH and no JAVA_HOME"
    return None


@pytest.fixture(scope="session")
def spark_session(tmp_path_factory) -> Iterator[SparkAdapter]:
    """The adapter that owns this process's local Spark session; every other local adapter
    shares its context through a session of its own."""
    reason = spark_missing()
    if reason:
        if os.environ.get("CI"):
            pytest.fail(f"the Spark tier runs in CI: {reason}")
        pytest.skip(reason)
    with pytest.MonkeyPatch.context() as patch:
        # Spark's driver would otherwise bind the machine's outward address; the servers and
        # commands started from here inherit the setting.
        patch.setenv("SPARK_LOCAL_IP", "127.0.0.1")
        owner = SparkAdapter.from_target({"type": "spark", "master": "local[2]"},
                                         tmp_path_factory.mktemp("spark"), threads=4)
        yield owner
        owner.close()


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@pytest.fixture(scope="session")
def connect_url(spark_session, tmp_path_factory) -> Iterator[str]:
    """A Spark Connect server on a loopback port, stopped by its process id at the end."""
    import pyspark

    root = tmp_path_factory.mktemp("connect")
    port = _free_port()
    submit = Path(pyspark.__file__).parent / "bin" / "spark-submit"
    log = (root / "server.log").open("w")
    # spark-submit ends in `exec java`, so this process id is the server's own.
    server = subprocess.Popen(
        [str(submit), "--class", "org.apache.spark.sql.connect.service.SparkConnectServer",
         "--master", "local[2]", "--conf", "spark.connect.grpc.binding.address=127.0.0.1",
         "--conf", f"spark.connect.grpc.binding.port={port}", "--conf", "spark.ui.enabled=false",
         "--conf", f"spark.sql.warehouse.dir={root / 'warehouse'}"],
        stdout=log, stderr=subprocess.STDOUT, cwd=root)
    try:
        deadline = time.monotonic() + 120
        while server.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.25)
        else:
            log.flush()
            pytest.fail("the Spark Connect server did not start: "
                        + (root / "server.log").read_text()[-2000:])
        yield f"sc://127.0.0.1:{port}"
    finally:
        server.terminate()
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        log.close()


class Warehouse:
    """Parquet files made tables of a local session or of a Spark Connect server (with write
    access, beside the adapter under test), and adapters that read them."""

    def __init__(self, kind: str, target: dict[str, Any], writer: Any, root: Path) -> None:
        self.kind, self.target, self.root = kind, target, root
        self._writer = writer
        for key, value in AS_INSTANTS.items():
            writer.conf.set(key, value)
        self._tables: list[str] = []
        self._adapters: list[SparkAdapter] = []

    def sql(self, statement: str) -> list[Any]:
        return list(self._writer.sql(statement).collect())

    def register(self, name: str, path: Path) -> None:
        """`path` as table `main.<name>`."""
        self.sql("CREATE DATABASE IF NOT EXISTS main")
        self._writer.catalog.createTable(f"main.{name}", path=str(path), source="parquet")
        self._tables.append(f"main.{name}")

    def open(self, **settings: Any) -> SparkAdapter:
        adapter = SparkAdapter.from_target({**self.target, **settings}, self.root, threads=4)
        self._adapters.append(adapter)
        return adapter

    def close(self) -> None:
        for adapter in self._adapters:
            adapter.close()
        for name in self._tables:
            self.sql(f"DROP TABLE IF EXISTS {name}")


def _connect_writer(url: str) -> Any:
    from pyspark.sql.connect.session import SparkSession

    return SparkSession(connection=url)


@pytest.fixture(params=["local", "connect"])
def warehouse(request, spark_session, tmp_path) -> Iterator[Warehouse]:
    if request.param == "local":
        from pyspark.sql import SparkSession

        writer = SparkSession.getActiveSession()
        target = {"type": "spark", "master": "local[2]"}
    else:
        url = request.getfixturevalue("connect_url")
        writer = _connect_writer(url)
        target = {"type": "spark", "remote": url}
    warehouse = Warehouse(request.param, target, writer, tmp_path)
    try:
        yield warehouse
    finally:
        warehouse.close()
        if request.param == "connect":
            writer.stop()
