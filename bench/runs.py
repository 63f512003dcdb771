"""One profile run as `zel profile run` makes it, plain or measured, with the report silenced."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager, redirect_stdout
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import kor.task.profile as profile_module
from bench.adapters import MeasuringAdapter
from kor.compute.metadata import store_session
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.profiling import ProfileFlags, profile_project
from kor.project.loader import load_manifest
from kor.task.profile import ProfileTask


def flags(threads: int, mode: str = "explorative") -> ProfileFlags:
    return ProfileFlags(MODE=mode, THREADS=threads, SELECT=(), EXCLUDE=())


def _timed_console(sink: Any) -> Any:
    """A Rich console on `sink` that adds up the time spent in its outermost `print` calls."""
    from rich.console import Console

    class TimedConsole(Console):
        def __init__(self) -> None:
            super().__init__(file=sink, width=120)
            self.print_seconds = 0.0
            self._depth = threading.local()

        def print(self, *objects: Any, **options: Any) -> None:
            depth = getattr(self._depth, "value", 0)
            self._depth.value = depth + 1
            start = time.perf_counter()
            try:
                super().print(*objects, **options)
            finally:
                self._depth.value = depth
                if depth == 0:
                    self.print_seconds += time.perf_counter() - start

    return TimedConsole()


@contextmanager
def silenced_report() -> Iterator[Any]:
    """The report is rendered as usual (Rich when installed) but written to the null device.

    Yields the Rich console, whose `print_seconds` is the time spent rendering; None without Rich.
    """
    saved = profile_module.console
    with open(os.devnull, "w", encoding="utf-8") as sink:
        try:
            if profile_module.HAS_RICH:
                profile_module.console = _timed_console(sink)
                yield profile_module.console
            else:
                with redirect_stdout(sink):
                    yield None
        finally:
            profile_module.console = saved


class MeasuredTask(ProfileTask):
    """The task with its adapter chosen by the benchmark and its store writing timed.

    With `store` false the store is never opened: the run's own work without the writing.
    """

    def __init__(self, args: Any, config: RuntimeConfig, manifest: Manifest,
                 adapter: Any, store: bool = True) -> None:
        super().__init__(args, config, manifest)
        self.bench_adapter = adapter
        self.bench_store = store
        self.store_seconds = 0.0

    def _get_adapter(self, target_name: str | None = None) -> Any:
        return self.bench_adapter

    def _store_profile(self, profile: Any) -> Any:
        if not self.bench_store:
            return True  # left out on purpose: nothing is lost, the run still succeeds
        start = time.perf_counter()
        try:
            return super()._store_profile(profile)
        finally:
            self.store_seconds += time.perf_counter() - start


@dataclass
class Measured:
    """What a measured run saw: wall time, warehouse time, store time, statements."""

    wall: float
    store: float
    columns: int
    report: float = 0.0
    execute: float = 0.0
    listing: float = 0.0
    warehouse_wall: float = 0.0
    statements: list[str] = field(default_factory=list)

    @property
    def outside_execute(self) -> float:
        """Share of the wall time during which no warehouse call was running."""
        return (self.wall - self.warehouse_wall) / self.wall


def plain_run(project_dir: Path, threads: int) -> float:
    """The seconds of one run exactly as the command makes it (project loading included)."""
    with silenced_report():
        start = time.perf_counter()
        run = profile_project(project_dir, threads=threads)
        elapsed = time.perf_counter() - start
    if not run.succeeded:
        raise RuntimeError(f"the profile run of {project_dir} failed")
    return elapsed


def measured_run(config: RuntimeConfig, manifest: Manifest, adapter: Any, threads: int,
                 store: bool = True, mode: str = "explorative") -> tuple[Measured, Any]:
    """One run of `MeasuredTask` through `adapter`; returns the figures and the run's result."""
    task = MeasuredTask(flags(threads, mode), config, manifest, adapter, store)
    # As `zel profile run` does, the store file stays open for the whole run.
    with silenced_report() as console, store_session(config.project_root):
        start = time.perf_counter()
        result = task.run()
        wall = time.perf_counter() - start
    report = console.print_seconds if console is not None else 0.0
    if not task.interpret_results(result):
        raise RuntimeError("the measured profile run failed")
    figures = Measured(wall=wall, store=task.store_seconds, columns=result.total_columns,
                       report=report)
    if isinstance(adapter, MeasuringAdapter):
        figures.execute = adapter.execute_seconds
        figures.listing = adapter.columns_seconds
        figures.warehouse_wall = adapter.warehouse_wall
        figures.statements = list(adapter.statements)
    return figures, result


def real_measured_run(project_dir: Path, threads: int) -> Measured:
    """A run through the project's real adapter wrapped in a `MeasuringAdapter`."""
    from kor.adapters.factory import get_adapter

    config = RuntimeConfig.load(project_dir)
    manifest = load_manifest(config)
    figures, _ = measured_run(config, manifest, MeasuringAdapter(get_adapter(config)), threads)
    return figures

