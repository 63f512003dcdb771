"""Turns a runtime configuration into its (cached) warehouse adapter."""

from __future__ import annotations

import threading
from collections.abc import Callable
from pathlib import Path

from kor.adapters.base import Adapter, AdapterType
from kor.config.runtime import RuntimeConfig
from kor.text import joined_lines


class AdapterError(Exception):
    """The warehouse of a target cannot be reached or is of an unknown type."""


def _duckdb() -> AdapterType:
    from kor.adapters.duckdb import DuckDBAdapter

    return DuckDBAdapter


def _postgres() -> AdapterType:
    from kor.adapters.postgres import PostgresAdapter

    return PostgresAdapter


def _spark() -> AdapterType:
    from kor.adapters.spark import SparkAdapter

    return SparkAdapter


# `type:` of a target -> its adapter class, imported when first needed (a driver that is not
# installed fails only the targets that use it). Typed, so mypy checks each class against the
# Adapter protocol.
ADAPTER_TYPES: dict[str, Callable[[], AdapterType]] = {
    "duckdb": _duckdb,
    "postgres": _postgres,
    "spark": _spark,
}
# Worker threads (and so warehouse sessions) of a run unless it or its adapter says otherwise.
DEFAULT_THREADS = 4

_adapters: dict[tuple[str, str, str], Adapter] = {}
_lock = threading.Lock()


def get_adapter(runtime_config: RuntimeConfig, *, threads: int | None = None) -> Adapter:
    """The adapter for `runtime_config.target`, the same object on every call.

    `threads` is how many threads will use it at once (a pooled warehouse opens that many
    sessions); it counts only on the call that creates the adapter. The library makes that
    call before the run starts: the task's own call, made through the fixed host contract,
    has no way to pass it.
    """
    key = (str(runtime_config.project_root), runtime_config.target_name,
           repr(sorted(runtime_config.target.items())))
    with _lock:
        if key not in _adapters:
            _adapters[key] = _connect(runtime_config, threads or DEFAULT_THREADS)
        return _adapters[key]


def suggested_threads(adapter: Adapter) -> int:
    """The threads for a run that does not choose: what the adapter suggests for its engine
    (an optional method, `suggested_threads() -> int | None`), else DEFAULT_THREADS."""
    suggest = getattr(adapter, "suggested_threads", None)
    suggestion = suggest() if suggest is not None else None
    return int(suggestion) if suggestion else DEFAULT_THREADS


def close_adapters() -> None:
    """Close every cached adapter (their pools and files) and forget them."""
    with _lock:
        adapters = list(_adapters.values())
        _adapters.clear()
    for adapter in adapters:
        adapter.close()


def interrupt_adapters() -> None:
    """Cancels what every cached adapter is running; safe in a signal handler."""
    for adapter in list(_adapters.values()):
        adapter.interrupt()


def _connect(runtime_config: RuntimeConfig, threads: int) -> Adapter:
    target = runtime_config.target
    kind = target.get("type")
    where = f"target '{runtime_config.target_name}'"
    if not isinstance(kind, str) or kind not in ADAPTER_TYPES:
        raise AdapterError(f"{where}: unknown warehouse type {kind!r}")
    try:
        adapter_type = ADAPTER_TYPES[kind]()
        return adapter_type.from_target(target, Path(runtime_config.project_root), threads)
    except Exception as exc:
        raise AdapterError(f"{where}: {joined_lines(str(exc))}") from exc
