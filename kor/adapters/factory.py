"""Turns a runtime configuration into its (cached) warehouse adapter."""

from __future__ import annotations

import threading
from pathlib import Path

from kor.adapters.base import Adapter
from kor.config.runtime import RuntimeConfig


class AdapterError(Exception):
    """The warehouse of a target cannot be reached or is of an unknown type."""


_adapters: dict[tuple[str, str, str], Adapter] = {}
_lock = threading.Lock()


def get_adapter(runtime_config: RuntimeConfig) -> Adapter:
    """The adapter for `runtime_config.target`, the same object on every call."""
    key = (str(runtime_config.project_root), runtime_config.target_name,
           repr(sorted(runtime_config.target.items())))
    with _lock:
        if key not in _adapters:
            _adapters[key] = _connect(runtime_config)
        return _adapters[key]


def close_adapters() -> None:
    """Close every cached adapter (their pools and files) and forget them."""
    with _lock:
        adapters = list(_adapters.values())
        _adapters.clear()
    for adapter in adapters:
        adapter.close()


def _connect(runtime_config: RuntimeConfig) -> Adapter:
    target = runtime_config.target
    kind = target.get("type")
    where = f"target '{runtime_config.target_name}'"
    try:
        if kind == "duckdb":
            from kor.adapters.duckdb import DuckDBAdapter

            return DuckDBAdapter(Path(runtime_config.project_root) / str(target.get("path", "")))
        if kind == "postgres":
            from kor.adapters.postgres import PostgresAdapter

            return PostgresAdapter.from_target(target)
        if kind == "spark":
            from kor.adapters.spark import SparkAdapter

            return SparkAdapter.from_target(target, Path(runtime_config.project_root),
                                            int(target.get("threads", 4)))
    except Exception as exc:
        # libpq's messages run over several lines; the command prints one.
        message = "; ".join(line.strip() for line in str(exc).splitlines() if line.strip())
        raise AdapterError(f"{where}: {message}") from exc
    raise AdapterError(f"{where}: unknown warehouse type {kind!r}")
