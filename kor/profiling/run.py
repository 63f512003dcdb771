"""One profile run of a project: load it, reach its warehouse, run the task, record the run."""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType
from typing import TYPE_CHECKING, Any

import duckdb

from kor import __version__
from kor.adapters.factory import (
    close_adapters,
    get_adapter,
    interrupt_adapters,
    suggested_threads,
)
from kor.artifacts.schemas.run import RunStatus
from kor.compute.metadata import MetadataReader, StoreSession, store_session
from kor.compute.metadata.migrations import StoreLayoutError
from kor.compute.metadata.runs import (
    RunStart,
    RunState,
    finish_run,
    record_anomalies,
    set_exit_status,
    start_run,
)
from kor.config.runtime import RuntimeConfig
from kor.profiling.anomalies import ANOMALY, AnomalySettings, Judgement, judge_run
from kor.profiling.rules import SEVERITY_NAMES, Severity
from kor.project.loader import load_manifest

if TYPE_CHECKING:
    from kor.task.profile import ProfileExecutionResult

MODES = ("explorative", "minimal", "sensitive", "time-series")
DEFAULT_MODE = "explorative"


class StoreWriteError(Exception):
    """The metadata store cannot be opened for the run: nothing would be kept."""

    @classmethod
    def of(cls, path: Path, exc: BaseException) -> StoreWriteError:
        return cls(f"cannot write the metadata store {path}: {exc}")


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
    # Tables that failed, as "source.table"; with `fail_on` set they fail the run.
    failed_tables: list[str] = field(default_factory=list)
    # The run's figures judged against the tables' earlier runs (None: not judged, and
    # `anomaly_error` says why when the store failed under it).
    judgement: Judgement | None = None
    anomaly_error: str | None = None
    # Tables whose earlier profile was reused (`skip_unchanged`), as ("source.table", the run
    # that measured it).
    reused: list[tuple[str, int]] = field(default_factory=list)
    # Selectors that picked nothing, each as a line saying so (see `unmatched_selectors`).
    unmatched: list[str] = field(default_factory=list)

    def record_exit_status(self, exit_status: int) -> None:
        """Stores the status the command ends with when it is not the run's own (its output
        failed after the run was recorded)."""
        session = StoreSession(self.store_path)
        try:
            set_exit_status(session, self.run_id, exit_status)
        finally:
            session.close()


def unmatched_selectors(task: Any, select: tuple[tuple[str, ...], ...],
                        exclude: tuple[tuple[str, ...], ...],
                        select_option: str = "--select") -> list[str]:
    """A line for each selector that picks no node, with the form that would, where one does:
    an exact name is a source's or a table's, so 'raw.orders' matches nothing while
    'source:raw.orders' does. `select_option` is the option the selection came from."""
    lines = []
    for option, values in ((select_option, select), ("--exclude", exclude)):
        for selector in (token for value in values for token in value):
            if task._parse_selector(selector):
                continue
            would = next((f"{prefix}:{selector}" for prefix in ("source", "model")
                          if ":" not in selector and task._parse_selector(f"{prefix}:{selector}")),
                         None)
            lines.append(f"{option} {selector!r} matches no source or model"
                         + (f"; {would!r} does" if would else ""))
    return lines


def split_selectors(values: Iterable[str]) -> tuple[tuple[str, ...], ...]:
    """Each value may hold several selectors separated by spaces: one tuple per value."""
    return tuple(tuple(value.split()) for value in values if value.split())


def profile_project(project_dir: Path | str, *, target: str | None = None,
                    select: Iterable[str] = (), exclude: Iterable[str] = (),
                    mode: str = DEFAULT_MODE, threads: int | None = None,
                    fail_on: str | None = None, skip_unchanged: bool = False) -> ProfileRun:
    """Profile the selected sources and models of the project in `project_dir`.

    `select` and `exclude` take the command line's selectors (several per value, separated
    by spaces); nothing selected means every source. `fail_on` ("info", "warning" or
    "error") makes an alert of that severity or worse, and any failed table, fail the run.
    `threads` None takes the warehouse adapter's suggestion for its engine, else 4.
    `skip_unchanged` reuses a table's latest measured profile when the warehouse proves its
    data unchanged since (see `ProvesUnchanged`); every other table is measured.
    Raises ProjectError for a malformed project, AdapterError for a warehouse that cannot be
    reached and StoreWriteError for a store that cannot be opened, before anything is
    profiled; failures of single tables and columns are part of the result. An interrupt
    (SIGINT or SIGTERM) cancels the running queries and propagates as KeyboardInterrupt;
    the run is recorded as interrupted.
    """
    if mode not in MODES:
        raise ValueError(f"unknown profiling mode {mode!r}; expected one of {', '.join(MODES)}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    if fail_on is not None and fail_on not in SEVERITY_NAMES:
        raise ValueError(f"fail_on must be one of {', '.join(SEVERITY_NAMES)}, "
                         f"not {fail_on!r}")
    from kor.profiling.task import RecordedProfileTask

    config = RuntimeConfig.load(project_dir, target)
    manifest = load_manifest(config)
    anomaly_settings = AnomalySettings.of_project(config.project_root)
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
                raise StoreWriteError.of(session.path, exc) from exc
            task = RecordedProfileTask(flags, config, manifest, adapter=adapter,
                                       session=session, skip_unchanged=skip_unchanged)
            unmatched = unmatched_selectors(task, selected, excluded)
            # Anything that escapes the task stops the profiling; click ends the command
            # with status 1 ("Aborted!" for an interrupt).
            state, exit_status = RunState.INTERRUPTED, 1
            try:
                with _cancel_on_signals():
                    result = task.run()
                failed = [f"{profile.source_name}.{profile.table_name}"
                          for profile in result.profiles if profile.status != RunStatus.SUCCESS]
                judgement, anomaly_error = _judged(session, run_id, anomaly_settings,
                                                   bool(result.profiles))
                gating = (_gating_alerts(result, fail_on, task.reused_alerts)
                          + _gating_anomalies(judgement, fail_on))
                # A reused table is a table run that succeeded, as a measured one is.
                profiled = (task.interpret_results(result)
                            or bool(task.reused and not result.errors))
                succeeded = (profiled and not gating
                             and not task.unrecorded and not (fail_on is not None and failed))
                state = (RunState.NOTHING_SELECTED if not result.profiles and not task.reused
                         else RunState.TABLES_FAILED
                         if failed or result.errors or task.unrecorded
                         else RunState.COMPLETED)
                exit_status = 0 if succeeded else 1
                return ProfileRun(result, succeeded, session.path, run_id, gating,
                                  task.unrecorded, failed, judgement=judgement,
                                  anomaly_error=anomaly_error, reused=task.reused,
                                  unmatched=unmatched)
            finally:
                # A store that broke under the run leaves the record "running".
                with suppress(duckdb.Error):
                    finish_run(session, state, exit_status)
    finally:
        close_adapters()


def _gating_alerts(result: ProfileExecutionResult, fail_on: str | None,
                   reused: list[tuple[str, str, dict[str, Any]]]) -> list[str]:
    """The alerts at or above `fail_on`, of the tables measured and of those reused."""
    if fail_on is None:
        return []
    threshold = Severity.named(fail_on)
    alerts = [(table.table_name, column.column_name, alert)
              for table in result.profiles for column in table.columns
              for alert in column.alerts] + reused
    return [f"{table}.{column}: {alert.get('type')}" for table, column, alert in alerts
            if alert.get("severity") in SEVERITY_NAMES
            and Severity.named(alert["severity"]) >= threshold]


def _judged(session: StoreSession, run_id: int, settings: AnomalySettings, profiled: bool
            ) -> tuple[Judgement | None, str | None]:
    """The run's anomalies, judged and stored; a store that fails under it leaves the run's
    profiles as they are, unjudged."""
    if not profiled:
        return None, None
    try:
        judgement = judge_run(MetadataReader(session.path), run_id, settings)
        record_anomalies(session, [anomaly.row() for anomaly in judgement.anomalies])
    except duckdb.Error as exc:
        return None, str(exc)
    return judgement, None


def _gating_anomalies(judgement: Judgement | None, fail_on: str | None) -> list[str]:
    if fail_on is None or judgement is None:
        return []
    threshold = Severity.named(fail_on)
    return [f"{anomaly.where}: {ANOMALY} {anomaly.metric.value}"
            for anomaly in judgement.alerts if anomaly.severity >= threshold]


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
