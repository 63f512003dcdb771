"""Bringing a store file to the current layout, and refusing one this version cannot read.

An older store is upgraded in place, in one transaction, layout by layout. The profiles of a
store of layout 1 (column_profiles alone) are grouped into the runs that made them
(consecutive tables of one mode, a new run whenever a table comes again), so history and diffs
reach back to before the upgrade; layout 3 adds profile fields, which older rows lack (NULL).
"""

from __future__ import annotations

import sys

import duckdb

from kor.compute.metadata.schema import (
    LAYOUT_2_DDL,
    LAYOUT_3_DDL,
    LAYOUT_3_FIELDS,
    LAYOUT_VERSION,
    PROFILE_COLUMNS,
    PROFILES_TABLE,
    profiles_table_ddl,
)


class StoreLayoutError(Exception):
    """The store file is not one this version of kor can read or write."""


def _tables(connection: duckdb.DuckDBPyConnection) -> dict[str, dict[str, str]]:
    """Each table of the store with its columns' types."""
    tables: dict[str, dict[str, str]] = {}
    for table, column, data_type in connection.execute(
            # The catalog function itself: half the time of information_schema's view over it.
            "SELECT table_name, column_name, data_type FROM duckdb_columns() "
            "WHERE database_name = current_database() AND schema_name = 'main' "
            "ORDER BY table_name, column_index").fetchall():
        tables.setdefault(table, {})[column] = data_type
    return tables


def layout_version(connection: duckdb.DuckDBPyConnection,
                   tables: dict[str, dict[str, str]] | None = None) -> int | None:
    """The layout of the store on `connection` (whose `tables`, when read already); None
    when it holds nothing yet."""
    tables = _tables(connection) if tables is None else tables
    if "store_meta" in tables:
        rows = connection.execute(
            "SELECT value FROM store_meta WHERE key = 'layout_version'").fetchall()
        if len(rows) != 1:
            raise StoreLayoutError(f"the store records {len(rows) or 'no'} layout versions")
        value = rows[0][0]
        # Layout 1 had no store_meta: a version below 2 recorded there was not written by kor.
        if not (isinstance(value, str) and value.isascii() and value.isdigit()
                and int(value) >= 2):
            raise StoreLayoutError(f"the store records layout version {value!r}, which no "
                                   "version of kor writes")
        return int(value)
    return 1 if PROFILES_TABLE in tables else None


def check_layout(connection: duckdb.DuckDBPyConnection) -> int | None:
    """The store's layout version (see `layout_version`), once its profile columns are known
    to be the ones this version writes: a store written by hand or by another program would
    otherwise fail half-way through a read."""
    tables = _tables(connection)
    version = layout_version(connection, tables)
    if version is not None and version > LAYOUT_VERSION:
        raise StoreLayoutError(
            f"the store has layout version {version}, newer than this version of kor "
            f"understands ({LAYOUT_VERSION}); upgrade kor to read it")
    columns = tables.get(PROFILES_TABLE, {})
    for name, sql_type in PROFILE_COLUMNS:
        if name in columns and columns[name] != sql_type:
            raise StoreLayoutError(f"column {PROFILES_TABLE}.{name} is {columns[name]}, "
                                   f"expected {sql_type}")
        # An older layout lacks the fields added since; the upgrade adds them.
        added_later = version is not None and version < 3 and name in LAYOUT_3_FIELDS
        if columns and name not in columns and not added_later:
            raise StoreLayoutError(f"column {PROFILES_TABLE}.{name} is missing")
    if columns:
        _check_identities(connection)
    return version


# Fields every stored row has: without them a row belongs to no table, column or time.
REQUIRED_FIELDS = ("source_name", "table_name", "column_name", "profile_mode", "row_count",
                   "profiled_at")


def _check_identities(connection: duckdb.DuckDBPyConnection) -> None:
    missing = " OR ".join(f"{name} IS NULL" for name in REQUIRED_FIELDS)
    row = connection.execute(
        f"SELECT count(*) FROM {PROFILES_TABLE} WHERE {missing}").fetchone()
    if row is not None and row[0]:
        raise StoreLayoutError(f"{row[0]} rows of {PROFILES_TABLE} lack one of "
                               f"{', '.join(REQUIRED_FIELDS)}")


def upgrade(connection: duckdb.DuckDBPyConnection) -> None:
    """Creates the tables of a new store, or brings an older one to the current layout."""
    version = check_layout(connection)
    if version == LAYOUT_VERSION:
        return
    if version is not None:
        # Seconds on a large store: say why the command has not started yet.
        print(f"Upgrading the metadata store to layout {LAYOUT_VERSION} "
              f"(from {version})...", file=sys.stderr, flush=True)
    connection.execute("BEGIN TRANSACTION")
    try:
        if version is None:
            connection.execute(profiles_table_ddl())
        if version is None or version < 2:
            for statement in LAYOUT_2_DDL:
                connection.execute(statement)
            if version == 1:
                _group_legacy_profiles(connection)
            connection.execute("INSERT INTO store_meta VALUES ('layout_version', '2')")
        if version is not None:
            # A new store has them already: its table is made from the record.
            types = dict(PROFILE_COLUMNS)
            for name in LAYOUT_3_FIELDS:
                connection.execute(f"ALTER TABLE {PROFILES_TABLE} ADD COLUMN IF NOT EXISTS "
                                   f"{name} {types[name]}")
        for statement in LAYOUT_3_DDL:
            connection.execute(statement)
        connection.execute("UPDATE store_meta SET value = ? WHERE key = 'layout_version'",
                           [str(LAYOUT_VERSION)])
        connection.execute("COMMIT")
    except BaseException:
        connection.execute("ROLLBACK")
        raise


def _group_legacy_profiles(connection: duckdb.DuckDBPyConnection) -> None:
    # One row per table profile, numbered in the order the profiles were written.
    connection.execute(f"""
        CREATE TEMP TABLE legacy_tables AS
        SELECT source_name, table_name, profiled_at, any_value(profile_mode) AS mode,
               max(row_count) AS row_count, count(*) AS column_count,
               '[' || string_agg(to_json([column_name, NULL]), ', ' ORDER BY rowid) || ']'
                   AS columns,
               row_number() OVER (ORDER BY profiled_at, min(rowid)) AS position,
               NULL::BIGINT AS run_id
        FROM {PROFILES_TABLE} GROUP BY source_name, table_name, profiled_at""")
    # Where a run ends is a sequential rule (a table coming again, or another mode), so it
    # is one pass over the narrow rows; every write below is one statement.
    run_ids: list[int] = []
    seen: set[tuple[str, str]] = set()
    mode: str | None = None
    for source, table, table_mode in connection.execute(
            "SELECT source_name, table_name, mode FROM legacy_tables ORDER BY position"
            ).fetchall():
        if not run_ids or (source, table) in seen or table_mode != mode:
            seen, mode = set(), table_mode
            run_ids.append((run_ids[-1] if run_ids else 0) + 1)
        else:
            run_ids.append(run_ids[-1])
        seen.add((source, table))
    if not run_ids:
        connection.execute("DROP TABLE legacy_tables")
        return
    connection.execute("UPDATE legacy_tables SET run_id = $ids[position]", {"ids": run_ids})
    connection.execute("""
        INSERT INTO runs (run_id, started_at, ended_at, profile_mode, status)
        SELECT run_id, min(profiled_at), max(profiled_at), any_value(mode), 'imported'
        FROM legacy_tables GROUP BY run_id""")
    connection.execute("""
        INSERT INTO table_runs (run_id, source_name, table_name, status, row_count,
                                column_count, profiled_at, columns, stored)
        SELECT run_id, source_name, table_name, 'success', row_count, column_count,
               profiled_at, columns, true
        FROM legacy_tables""")
    connection.execute(f"""
        UPDATE {PROFILES_TABLE} SET run_id = t.run_id FROM legacy_tables t
        WHERE {PROFILES_TABLE}.source_name = t.source_name
          AND {PROFILES_TABLE}.table_name = t.table_name
          AND {PROFILES_TABLE}.profiled_at = t.profiled_at""")
    connection.execute("DROP TABLE legacy_tables")
