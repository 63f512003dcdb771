"""Store layouts: a store of the first layout upgraded in place, others refused unharmed."""

from __future__ import annotations

from datetime import datetime, timedelta

import duckdb
import pytest

from kor.compute.metadata import MetadataReader, ProjectMetadataStore, store_path
from kor.compute.metadata.migrations import StoreLayoutError
from kor.compute.metadata.schema import PROFILE_FIELDS, profiles_table_ddl
from tests.builders import stored_row

T0 = datetime(2026, 1, 1, 8, 0)


def first_layout_store(root, profiles):
    """A store as the first layout wrote it: column_profiles alone."""
    path = store_path(root)
    path.parent.mkdir(parents=True)
    with duckdb.connect(str(path)) as connection:
        connection.execute(profiles_table_ddl())
        for row in profiles:
            connection.execute(
                f"INSERT INTO column_profiles VALUES ({', '.join('?' for _ in PROFILE_FIELDS)})",
                [getattr(row, name) for name in PROFILE_FIELDS])
    return path


def legacy_profiles():
    """Three runs: a, b (explorative); a, b again; then b alone in minimal mode."""
    at = iter(T0 + timedelta(seconds=i) for i in range(100))
    rows = []
    for tables, mode in ((("a", "b"), "explorative"), (("a", "b"), "explorative"),
                         (("b",), "minimal")):
        for table in tables:
            when = next(at)
            rows += [stored_row("raw", table, column, when, profile_mode=mode,
                                row_count=len(rows)) for column in ("id", 'x"\\é')]
    return rows


def test_a_first_layout_store_is_upgraded_in_place_without_losing_a_row(tmp_path, capsys):
    path = first_layout_store(tmp_path, legacy_profiles())
    reader = MetadataReader(path)
    runs = reader.runs()
    assert capsys.readouterr().err == "Upgrading the metadata store to layout 3 (from 1)...\n"
    assert [(r.run_id, r.status, r.tables, r.profile_mode) for r in runs] == [
        (3, "imported", 1, "minimal"), (2, "imported", 2, "explorative"),
        (1, "imported", 2, "explorative")]
    assert [(t.run_id, t.table_name, t.columns) for t in reader.table_runs("b")] == [
        (run, "b", [("id", None), ('x"\\é', None)]) for run in (3, 2, 1)]
    with duckdb.connect(str(path), read_only=True) as connection:
        assert connection.execute(
            "SELECT count(*), count(run_id) FROM column_profiles").fetchone() == (10, 10)
    # A run after the upgrade continues the numbering and keeps the old rows.
    store = ProjectMetadataStore(tmp_path)
    store.initialize()
    store.save_profile_result(stored_row("raw", "c", "id", T0 + timedelta(days=1)))
    store.close()
    assert len(reader.latest_profiles()) == 2 + 2 + 1


@pytest.mark.parametrize("damage, message", [
    ("UPDATE store_meta SET value = '99'", "layout version 99, newer than"),
    *[(f"UPDATE store_meta SET value = {value}", f"layout version {shown}, which no version")
      for value, shown in (("'0'", "'0'"), ("'1'", "'1'"), ("'２'", "'２'"), ("'2.0'", "'2.0'"),
                           ("NULL", "None"))],
    ("INSERT INTO store_meta VALUES ('layout_version', '2')", "records 2 layout versions"),
    ("DELETE FROM store_meta", "records no layout versions"),
    ("ALTER TABLE column_profiles ALTER row_count TYPE VARCHAR", "row_count is VARCHAR"),
    ("INSERT INTO column_profiles (source_name) VALUES ('x')", "1 rows of column_profiles lack"),
])
def test_a_store_this_version_cannot_read_is_refused_and_left_as_it_was(tmp_path, damage,
                                                                        message):
    store = ProjectMetadataStore(tmp_path)
    store.initialize()
    store.save_profile_result(stored_row())
    store.close()
    with duckdb.connect(str(store.path)) as connection:
        connection.execute(damage)
        before = connection.execute("SELECT count(*) FROM column_profiles").fetchone()
    for attempt in (MetadataReader(store.path).latest_profiles, store.initialize):
        with pytest.raises(StoreLayoutError, match=message):
            attempt()
    with duckdb.connect(str(store.path), read_only=True) as connection:
        assert connection.execute("SELECT count(*) FROM column_profiles").fetchone() == before


def test_an_empty_store_file_is_no_store_and_is_replaced(tmp_path):
    path = store_path(tmp_path)
    path.parent.mkdir()
    path.touch()  # what a store creation cut short by a full disk left
    assert MetadataReader(path).latest_profiles() == []
    store = ProjectMetadataStore(tmp_path)
    store.initialize()
    store.save_profile_result(stored_row())
    store.close()
    assert len(MetadataReader(path).latest_profiles()) == 1


def test_a_store_creation_that_fails_leaves_no_file(tmp_path, monkeypatch):
    from kor.compute.metadata import session

    def refuse(connection):
        raise duckdb.IOException("No space left on device")

    monkeypatch.setattr(session, "upgrade", refuse)
    with pytest.raises(duckdb.IOException):
        ProjectMetadataStore(tmp_path).initialize()
    assert list(store_path(tmp_path).parent.iterdir()) == []


def test_a_second_layout_store_gains_the_new_fields_and_keeps_its_rows(tmp_path):
    from kor.compute.metadata.schema import LAYOUT_3_FIELDS

    store = ProjectMetadataStore(tmp_path)
    store.initialize()
    store.save_profile_result(stored_row(min_exact="1"))
    store.close()
    with duckdb.connect(str(store.path)) as connection:  # back to what layout 2 wrote
        for name in LAYOUT_3_FIELDS:
            connection.execute(f"ALTER TABLE column_profiles DROP COLUMN {name}")
        for name in ("freshness_column", "freshness_seconds"):
            connection.execute(f"ALTER TABLE table_runs DROP COLUMN {name}")
        connection.execute("UPDATE store_meta SET value = '2'")
    reader = MetadataReader(store.path)
    (row,) = reader.latest_profiles()
    assert row == stored_row()  # the new fields read as None
    assert reader.latest_table_runs() == []  # rows saved outside a run have no table run
    with duckdb.connect(str(store.path), read_only=True) as connection:
        assert connection.execute("SELECT value FROM store_meta").fetchall() == [("3",)]
