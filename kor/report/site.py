"""The report's pages, read fresh from the metadata store for every request or file."""

from __future__ import annotations

from collections import defaultdict
from typing import TypeVar

from kor.compute.metadata import ColumnProfileResult, ProjectMetadataStore, TableRun, summarise
from kor.report import html

T = TypeVar("T", ColumnProfileResult, TableRun)


def overview_page(store: ProjectMetadataStore) -> str:
    tables = store.profiled_tables()
    if not tables:
        return html.empty_store_page(store.path)
    return html.overview(tables, lambda t: html.table_url(t.source_name, t.table_name))


def table_page(store: ProjectMetadataStore, source_name: str, table_name: str) -> str | None:
    """The page of one table, or None when the store holds no profile of it."""
    columns = store.latest_profiles(table_name, source_name=source_name)
    if not columns:
        return None
    runs = store.table_history(table_name, source_name=source_name)
    return html.table_page(columns, runs, back="/")


def report_document(store: ProjectMetadataStore) -> str | None:
    """The whole report as one file, or None when the store holds no profiles."""
    latest = store.latest_profiles()
    if not latest:
        return None
    # Two reads for the whole store: a query per table would dominate on a large project.
    columns = _by_table(latest)
    runs = _by_table(store.table_history(None))
    tables = summarise(latest)
    return html.report_file(tables, [(columns[t.source_name, t.table_name],
                                      runs[t.source_name, t.table_name]) for t in tables])


def _by_table(entries: list[T]) -> dict[tuple[str, str], list[T]]:
    grouped: dict[tuple[str, str], list[T]] = defaultdict(list)
    for entry in entries:
        grouped[entry.source_name, entry.table_name].append(entry)
    return grouped
