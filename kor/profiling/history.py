"""The run history put to work: runs listed, two runs compared, old runs pruned."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from pathlib import Path

import duckdb

from kor.compute.metadata import store_session
from kor.compute.metadata.migrations import StoreLayoutError
from kor.compute.metadata.records import RecordedRun, RecordedTableRun, RunPoint, TableKey
from kor.compute.metadata.runs import RunState, prune_runs
from kor.config.runtime import RuntimeConfig, project_settings, setting_refused
from kor.profiling.diff import ProjectDiff, diff_runs
from kor.profiling.read import open_reader, read_errors, reading
from kor.profiling.rules import DiffRules, RuleError
from kor.profiling.run import (
    ProfileFlags,
    StoreWriteError,
    split_selectors,
    unmatched_selectors,
)
from kor.project.loader import load_manifest


def runs(project_dir: Path | str) -> list[RecordedRun]:
    """Every recorded run, newest first."""
    with reading(project_dir) as reader:
        return reader.runs()


def table_runs(project_dir: Path | str, table: str | None = None) -> list[RecordedTableRun]:
    """Every recorded run of `table` (NAME or SOURCE.NAME; None: of every table), newest
    first."""
    with reading(project_dir) as reader:
        return reader.table_runs(table)


def runs_of_tables(project_dir: Path | str, names: str
                   ) -> tuple[list[RecordedTableRun], list[str]]:
    """Every recorded run, newest first, of the tables `names` names (as `matching_tables`
    reads them), and a line for each selector among them that picks nothing."""
    found = table_runs(project_dir)
    stored = dict.fromkeys((run.source_name, run.table_name) for run in found)
    keys, unmatched = matching_tables(project_dir, names, stored)
    wanted = set(keys)
    return [run for run in found if (run.source_name, run.table_name) in wanted], unmatched


def diff(project_dir: Path | str, *, base: str | None = None, head: str | None = None,
         select: Iterable[str] = (), exclude: Iterable[str] = ()) -> ProjectDiff:
    """What changed per table between two runs (see `kor.profiling.diff`), with the
    project's rules; `select`/`exclude` pick tables as `zel profile run` does, nothing
    selected meaning every stored table."""
    project = Path(project_dir)
    rules = project_rules(project)
    selected, excluded = split_selectors(select), split_selectors(exclude)
    tables, unmatched = (_selection(project, selected, excluded) if selected or excluded
                         else (None, []))
    with reading(project) as reader:
        found = diff_runs(reader, rules, base=base, head=head, tables=tables)
    found.unmatched = unmatched
    return found


def project_rules(project_dir: Path | str) -> DiffRules:
    """The severities of changes as the project's `diff:` setting makes them."""
    project = Path(project_dir)
    try:
        return DiffRules.from_settings(project_settings(project).get("diff"))
    except RuleError as exc:
        raise setting_refused(project, ("diff", *exc.keys), str(exc)) from None


def selection(project_dir: Path | str, select: Iterable[str], exclude: Iterable[str] = ()
              ) -> tuple[list[TableKey], list[str]]:
    """(source, table) as stored, of the nodes `select`/`exclude` pick as `zel profile run`
    picks them (several selectors per value, separated by spaces), and a line for each
    selector that picks no source or model of the project, as the run says it."""
    return _selection(Path(project_dir), split_selectors(select), split_selectors(exclude))


def matching_tables(project_dir: Path | str, names: str, stored: Iterable[tuple[str, str]]
                    ) -> tuple[list[tuple[str, str]], list[str]]:
    """Of the `stored` tables, in their order, those `names` names: each name (several
    separated by spaces) a table's stored NAME or SOURCE.NAME, or else a selector as
    `--select` takes it, which the project's own selection resolves; and a line for each
    such selector that picks no source or model (as `--table`)."""
    stored = list(stored)
    wanted: set[tuple[str, str]] = set()
    selectors = []
    for name in names.split():
        named = {key for key in stored if name in (key[1], f"{key[0]}.{key[1]}")}
        if named:
            wanted |= named
        else:
            selectors.append(name)
    unmatched: list[str] = []
    if selectors:
        selected, unmatched = _selection(Path(project_dir), (tuple(selectors),), (), "--table")
        wanted.update(selected)
    return [key for key in stored if key in wanted], unmatched


def _selection(project: Path, select: tuple[tuple[str, ...], ...],
               exclude: tuple[tuple[str, ...], ...], select_option: str = "--select"
               ) -> tuple[list[tuple[str, str]], list[str]]:
    """The tables the selection picks, and a line for each selector that picks nothing."""
    from kor.contracts.graph.nodes import SourceDefinition
    from kor.task.profile import ProfileTask

    config = RuntimeConfig.load(project)
    flags = ProfileFlags(MODE="minimal", THREADS=1, SELECT=select, EXCLUDE=exclude)
    task = ProfileTask(flags, config, load_manifest(config))
    nodes = task._get_selected_nodes()
    return ([(node.source_name, node.identifier) if isinstance(node, SourceDefinition)
             else ("models", node.name) for node in nodes],
            unmatched_selectors(task, select, exclude, select_option))


@dataclass
class Pruned:
    """What a prune did: how many runs went, and which were kept for a table's sake."""

    removed: int
    # Runs that would have gone but hold some table's latest measured and stored profile.
    kept_latest: list[int] = field(default_factory=list)


def prune(project_dir: Path | str, *, keep: int | None = None,
          older_than: timedelta | None = None, including_latest: bool = False) -> Pruned:
    """Removes the runs beyond the newest `keep`, or those started more than `older_than`
    ago, with their table runs and rows, in one transaction.

    Abandoned runs and runs of no table are not among the `keep` kept (they go unless they
    are newer than `older_than`). A run holding a table's latest measured profile stays
    unless `including_latest`. Raises StoreWriteError when the store cannot be written.
    """
    if (keep is None) == (older_than is None):
        raise ValueError("prune takes exactly one of keep and older_than")
    if keep is not None and keep < 0:
        raise ValueError(f"keep must be 0 or more, not {keep}")
    reader = open_reader(project_dir)
    if not reader.path.is_file() or reader.path.stat().st_size == 0:
        return Pruned(0)
    # Read and remove under one write lock, so no run can start or end between the two.
    with store_session(Path(project_dir).resolve()) as session:
        try:
            session.connection()
        except (duckdb.Error, OSError, StoreLayoutError) as exc:
            raise StoreWriteError.of(session.path, exc) from exc
        with read_errors(reader.path):
            recorded = reader.runs()
            history = reader.run_history()
        if keep is not None:
            counted = [run for run in recorded
                       if run.tables and run.status != RunState.ABANDONED.value]
            kept = {run.run_id for run in counted[:keep]}
            doomed = [run.run_id for run in recorded if run.run_id not in kept]
        else:
            assert older_than is not None
            cutoff = datetime.now() - older_than
            doomed = [run.run_id for run in recorded if run.started_at < cutoff]
        latest = _holding_latest(history)
        held = [] if including_latest else [run_id for run_id in doomed if run_id in latest]
        doomed = [run_id for run_id in doomed if run_id not in held]
        if doomed:
            try:
                prune_runs(session, doomed)
            except duckdb.Error as exc:
                raise StoreWriteError.of(session.path, exc) from exc
    return Pruned(len(doomed), sorted(held))


def _holding_latest(history: dict[TableKey, list[RunPoint]]) -> set[int]:
    """The runs that hold some table's latest measured and stored profile."""
    runs = set()
    for points in history.values():  # each newest first
        measured = [point.run_id for point in points if point.succeeded and point.stored]
        if measured:
            runs.add(measured[0])
    return runs
