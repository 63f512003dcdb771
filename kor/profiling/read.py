"""The read side: what the store holds for a project, for the CLI, the report and users."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import duckdb

from kor.compute.metadata import (
    ColumnProfileResult,
    MetadataReader,
    ProfiledTable,
    TableRun,
    is_lock_conflict,
    store_path,
)
from kor.compute.metadata.migrations import StoreLayoutError
from kor.config.files import PROJECT_FILE, ProjectError


class StoreReadError(Exception):
    """The metadata store exists but cannot be read."""


RUN_IN_PROGRESS = ("a run is in progress (it holds the store until it ends); "
                   "try again when it has finished")


def open_reader(project_dir: Path | str) -> MetadataReader:
    """The store reader of the project in `project_dir`; the folder must be a project, so a
    typo reads as one."""
    project = Path(project_dir)
    if not (project / PROJECT_FILE).is_file():
        raise ProjectError(f"{project / PROJECT_FILE}: file not found")
    return MetadataReader(store_path(project.resolve()))


@contextmanager
def reading(project_dir: Path | str) -> Iterator[MetadataReader]:
    """The project's reader; a store that cannot be read raises StoreReadError."""
    reader = open_reader(project_dir)
    with read_errors(reader.path):
        yield reader


@contextmanager
def read_errors(path: Path) -> Iterator[None]:
    """Reads of the store at `path` inside the block raise StoreReadError when it cannot be
    read, saying so in words when a run holds it."""
    try:
        yield
    except (duckdb.Error, StoreLayoutError) as exc:
        reason = RUN_IN_PROGRESS if is_lock_conflict(exc) else str(exc)
        raise StoreReadError(f"cannot read the metadata store {path}: {reason}") from exc


def latest_profiles(project_dir: Path | str, table: str | None = None
                    ) -> list[ColumnProfileResult]:
    """The columns of each table's latest stored profile (`table`: NAME or SOURCE.NAME)."""
    with reading(project_dir) as reader:
        return reader.latest_profiles(table)


def profiled_tables(project_dir: Path | str) -> list[ProfiledTable]:
    """Every stored table's latest run, summed up."""
    with reading(project_dir) as reader:
        return reader.profiled_tables()


def table_history(project_dir: Path | str, table: str | None = None) -> list[TableRun]:
    """Every stored run of `table` (all tables when None), oldest first."""
    with reading(project_dir) as reader:
        return reader.table_history(table)
