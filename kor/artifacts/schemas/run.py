"""Status of a finished run."""

from __future__ import annotations

from enum import Enum


class RunStatus(str, Enum):
    SUCCESS = "success"
    ERROR = "error"
    SKIPPED = "skipped"
