"""Opening the store file: another process holding it is waited for, within a bound."""

from __future__ import annotations

import time
from pathlib import Path

import duckdb

# How long an open waits for another process to let go of the file.
LOCK_WAIT_SECONDS = 5.0


def is_lock_conflict(exc: BaseException) -> bool:
    return isinstance(exc, duckdb.IOException) and "Conflicting lock" in str(exc)


def open_store(path: Path, *, read_only: bool,
               wait_seconds: float | None = None) -> duckdb.DuckDBPyConnection:
    """A connection to the store file; a lock conflict is retried with a short backoff until
    `wait_seconds` (default LOCK_WAIT_SECONDS) have passed, any other error raises at once."""
    deadline = time.monotonic() + (LOCK_WAIT_SECONDS if wait_seconds is None else wait_seconds)
    pause = 0.02
    while True:
        try:
            return duckdb.connect(str(path), read_only=read_only)
        except duckdb.Error as exc:
            if not is_lock_conflict(exc) or time.monotonic() + pause > deadline:
                raise
        time.sleep(pause)
        pause = min(pause * 2, 0.25)
