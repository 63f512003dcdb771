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


def _connect(runtime_config: RuntimeConfig) -> Adapter:
    target = runtime_config.target
    kind = target.get("type")
    if kind == "duckdb":
        from kor.adapters.duckdb import DuckDBAdapter

        path = Path(runtime_config.project_root) / str(target.get("path", ""))
        try:
            return DuckDBAdapter(path)
        except Exception as exc:
            raise AdapterError(f"target '{runtime_config.target_name}': {exc}") from exc
    raise AdapterError(
        f"target '{runtime_config.target_name}': unknown warehouse type {kind!r}")
