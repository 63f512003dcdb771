"""Turns a runtime configuration into its (cached) warehouse adapter."""

from __future__ import annotations

from kor.adapters.base import Adapter
from kor.config.runtime import RuntimeConfig


def get_adapter(runtime_config: RuntimeConfig) -> Adapter:
    """The adapter for `runtime_config.target`, the same object on every call."""
    raise NotImplementedError("warehouse adapters are not available yet")
