"""The report's pages, read fresh from the metadata store for every request or file."""

from __future__ import annotations

from kor.compute.metadata import ProfiledTable, ProjectMetadataStore
from kor.report import html


def overview_page(store: ProjectMetadataStore) -> str:
    tables = store.profiled_tables()
    if not tables:
        return html.empty_store_page(store.path)
    body = html.overview(tables, lambda t: html.table_url(t.source_name, t.table_name))
    return html.document("Profile report", body)


def table_page(store: ProjectMetadataStore, source_name: str, table_name: str) -> str | None:
    """The page of one table, or None when the store holds no profile of it."""
    columns = store.latest_profiles(table_name, source_name=source_name)
    if not columns:
        return None
    runs = store.table_history(table_name, source_name=source_name)
    return html.document(f"{source_name}.{table_name}",
                         html.table_section(columns, runs, back="/"))


def _section(store: ProjectMetadataStore, table: ProfiledTable):
    return (store.latest_profiles(table.table_name, source_name=table.source_name),
            store.table_history(table.table_name, source_name=table.source_name))


def report_document(store: ProjectMetadataStore) -> str | None:
    """The whole report as one file, or None when the store holds no profiles."""
    tables = store.profiled_tables()
    if not tables:
        return None
    return html.report_file(tables, [_section(store, table) for table in tables])
