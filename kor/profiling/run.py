"""One profile run of a project: load it, reach its warehouse, run the task, store the rows."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from kor.adapters.factory import DEFAULT_THREADS, close_adapters, get_adapter
from kor.compute.metadata import store_path, store_session
from kor.config.runtime import RuntimeConfig
from kor.project.loader import load_manifest

if TYPE_CHECKING:
    from kor.task.profile import ProfileExecutionResult

MODES = ("explorative", "minimal", "sensitive", "time-series")
DEFAULT_MODE = "explorative"


@dataclass
class ProfileFlags:
    """What the profiling task reads of the command line."""

    MODE: str
    THREADS: int
    SELECT: tuple[tuple[str, ...], ...]
    EXCLUDE: tuple[tuple[str, ...], ...]


@dataclass
class ProfileRun:
    """What one run produced: the task's result, its verdict, and where the rows went."""

    result: ProfileExecutionResult
    succeeded: bool
    store_path: Path


def split_selectors(values: Iterable[str]) -> tuple[tuple[str, ...], ...]:
    """Each value may hold several selectors separated by spaces: one tuple per value."""
    return tuple(tuple(value.split()) for value in values if value.split())


def profile_project(project_dir: Path | str, *, target: str | None = None,
                    select: Iterable[str] = (), exclude: Iterable[str] = (),
                    mode: str = DEFAULT_MODE, threads: int = DEFAULT_THREADS) -> ProfileRun:
    """Profile the selected sources and models of the project in `project_dir`.

    `select` and `exclude` take the command line's selectors (several per value, separated
    by spaces); nothing selected means every source. Raises ProjectError for a malformed
    project and AdapterError for a warehouse that cannot be reached, before anything is
    profiled; failures of single tables and columns are part of the result.
    """
    if mode not in MODES:
        raise ValueError(f"unknown profiling mode {mode!r}; expected one of {', '.join(MODES)}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    from kor.task.profile import ProfileTask

    config = RuntimeConfig.load(project_dir, target)
    manifest = load_manifest(config)
    flags = ProfileFlags(MODE=mode, THREADS=threads, SELECT=split_selectors(select),
                         EXCLUDE=split_selectors(exclude))
    try:
        # An unreachable warehouse stops the run here, with one line; the task then gets the
        # same, cached adapter from the factory.
        get_adapter(config, threads=threads)
        task = ProfileTask(flags, config, manifest)
        with store_session(config.project_root):
            result = task.run()
        return ProfileRun(result, task.interpret_results(result), store_path(config.project_root))
    finally:
        close_adapters()
