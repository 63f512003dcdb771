"""One profile run of a project: load it, reach its warehouse, run the task, record the run."""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType
from typing import TYPE_CHECKING

import duckdb

from kor import __version__
from kor.adapters.factory import (
    close_adapters,
    get_adapter,
    interrupt_adapters,
    suggested_threads,
)
from kor.compute.metadata import store_session
from kor.compute.metadata.migrations import StoreLayoutError
from kor.compute.metadata.runs import RunStart, RunState, finish_run, start_run
from kor.config.runtime import RuntimeConfig
from kor.profiling.rules import SEVERITY_NAMES, Severity
from kor.project.loader import load_manifest

if TYPE_CHECKING:
    from kor.task.profile import ProfileExecutionResult

MODES = ("explorative", "minimal", "sensitive", "time-series")
DEFAULT_MODE = "explorative"


class StoreWriteError(Exception):
    """The metadata store cannot be opened for the run: nothing would be kept."""


@dataclass
class ProfileFlags:
    """What the profiling task reads of the command line."""

    MODE: str
    THREADS: int
    SELECT: tuple[tuple[str, ...], ...]
    EXCLUDE: tuple[tuple[str, ...], ...]


@dataclass
class ProfileRun:
    """What one run produced: the task's result, its verdict, and where it was recorded."""

    result: ProfileExecutionResult
    succeeded: bool
    store_path: Path
    run_id: int
    # Alerts at or above the run's `fail_on` severity, as "table.column: TYPE".
    gating_alerts: list[str] = field(default_factory=list)
    # Tables whose run could not be recorded in the store.
    unrecorded: list[str] = field(default_factory=list)


def split_selectors(values: Iterable[str]) -> tuple[tuple[str, ...], ...]:
    """Each value may hold several selectors separated by spaces: one tuple per value."""
    return tuple(tuple(value.split()) for value in values if value.split())


def profile_project(project_dir: Path | str, *, target: str | None = None,
                    select: Iterable[str] = (), exclude: Iterable[str] = (),
                    mode: str = DEFAULT_MODE, threads: int | None = None,
                    fail_on: str | None = None) -> ProfileRun:
    """Profile the selected sources and models of the project in `project_dir`.

    `select` and `exclude` take the command line's selectors (several per value, separated
    by spaces); nothing selected means every source. `fail_on` ("warning" or "error") makes
    an alert of that severity or worse fail the run. `threads` None takes the warehouse
    adapter's suggestion for its engine, else 4. Raises ProjectError for a malformed
    project, AdapterError for a warehouse that cannot be reached and StoreWriteError for a
    store that cannot be opened, before anything is profiled; failures of single tables and
    columns are part of the result. An interrupt (SIGINT or SIGTERM) cancels the running
    queries and propagates as KeyboardInterrupt; the run is recorded as interrupted.
    """
    if mode not in MODES:
        raise ValueError(f"unknown profiling mode {mode!r}; expected one of {', '.join(MODES)}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    if fail_on is not None and fail_on not in ("warning", "error"):
        raise ValueError(f"fail_on must be 'warning' or 'error', not {fail_on!r}")
    from kor.profiling.task import RecordedProfileTask

    config = RuntimeConfig.load(project_dir, target)
    manifest = load_manifest(config)
    selected, excluded = split_selectors(select), split_selectors(exclude)
    try:
        # An unreachable warehouse stops the run here, with one line; the task then gets the
        # same, cached adapter from the factory.
        adapter = get_adapter(config, threads=threads)
        threads = threads or suggested_threads(adapter)
        flags = ProfileFlags(MODE=mode, THREADS=threads, SELECT=selected, EXCLUDE=excluded)
        start = RunStart(project=config.project_name, target=config.target_name,
                         select=[" ".join(value) for value in selected],
                         exclude=[" ".join(value) for value in excluded],
                         profile_mode=mode, threads=threads, tool_version=__version__)
        with store_session(config.project_root) as session:
            try:
                run_id = start_run(session, start)
            except (duckdb.Error, OSError, StoreLayoutError) as exc:
                raise StoreWriteError(
                    f"cannot write the metadata store {session.path}: {exc}") from exc
            task = RecordedProfileTask(flags, config, manifest, adapter=adapter,
                                       session=session)
            state, exit_status = RunState.INTERRUPTED, 130
            try:
                with _cancel_on_signals():
                    result = task.run()
                gating = _gating_alerts(result, fail_on)
                succeeded = (task.interpret_results(result) and not gating
                             and not task.unrecorded)
                state, exit_status = ((RunState.SUCCESS, 0) if succeeded
                                      else (RunState.FAILED, 1))
                return ProfileRun(result, succeeded, session.path, run_id, gating,
                                  task.unrecorded)
            finally:
                # A store that broke under the run leaves the record "running".
                with suppress(duckdb.Error):
                    finish_run(session, state, exit_status)
    finally:
        close_adapters()


def _gating_alerts(result: ProfileExecutionResult, fail_on: str | None) -> list[str]:
    if fail_on is None:
        return []
    threshold = Severity.named(fail_on)
    return [f"{table.table_name}.{column.column_name}: {alert['type']}"
            for table in result.profiles for column in table.columns
            for alert in column.alerts
            if alert.get("severity") in SEVERITY_NAMES
            and Severity.named(alert["severity"]) >= threshold]


@contextmanager
def _cancel_on_signals() -> Iterator[None]:
    """SIGINT and SIGTERM cancel the warehouse's running statements at once and stop the run
    as Ctrl-C does. Raising alone is not enough: the worker threads' queries would run to
    their end first, and DuckDB may drop an exception raised while it runs a query on this
    thread; a cancelled adapter raises KeyboardInterrupt from every statement instead."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: FrameType | None) -> None:
        interrupt_adapters()
        raise KeyboardInterrupt

    previous = {signum: signal.signal(signum, stop) for signum in (signal.SIGINT,
                                                                  signal.SIGTERM)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
