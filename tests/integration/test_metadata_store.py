"""The metadata store: rows written in order, kept on failure, one file held per run."""

from __future__ import annotations

from datetime import datetime

import duckdb
import pytest

from kor.compute.metadata import ColumnProfileResult, ProjectMetadataStore, session, store_session


def row(column: str, **values) -> ColumnProfileResult:
    fields = dict(source_name="raw", table_name="orders", column_name=column,
                  profile_mode="explorative", row_count=10, null_count=1, null_percent=10.0,
                  distinct_count=5, distinct_percent=50.0, top_values='[{"value": "a"}]',
                  profiled_at=datetime(2026, 1, 2, 3, 4, 5), duration_ms=7)
    return ColumnProfileResult(**{**fields, **values})


def stored(store: ProjectMetadataStore) -> list[tuple]:
    with duckdb.connect(str(store.path), read_only=True) as connection:
        return connection.execute(
            "SELECT column_name, row_count, top_values, min_value FROM column_profiles "
            "ORDER BY rowid").fetchall()


@pytest.mark.parametrize("in_session", [False, True])
@pytest.mark.parametrize("count", [0, 1, 3, 7])
def test_rows_saved_before_close_are_all_stored_in_order(tmp_path, monkeypatch, count,
                                                         in_session):
    monkeypatch.setattr(session, "ROWS_PER_STATEMENT", 3)
    with store_session(tmp_path) if in_session else _no_session():
        store = ProjectMetadataStore(tmp_path)
        store.initialize()
        for i in range(count):
            store.save_profile_result(row(f"c{i}", min_value=float(i) if i % 2 else None))
        store.close()
    assert stored(store) == [(f"c{i}", 10, '[{"value": "a"}]', float(i) if i % 2 else None)
                             for i in range(count)]


@pytest.mark.parametrize("in_session", [False, True])
def test_a_refused_row_keeps_the_rows_before_it_and_still_releases_the_file(tmp_path,
                                                                            in_session):
    with store_session(tmp_path) if in_session else _no_session():
        store = ProjectMetadataStore(tmp_path)
        store.initialize()
        with pytest.raises(duckdb.Error):
            # Outside a session the refusal comes at the save, inside it at the close.
            for name, count in [("good", 10), ("also good", 10), ("bad", "not a number"),
                                ("after", 10)]:
                store.save_profile_result(row(name, row_count=count))
            store.close()
    assert [name for name, *_ in stored(store)] == ["good", "also good"]
    again = ProjectMetadataStore(tmp_path)
    again.initialize()
    again.save_profile_result(row("later"))
    again.close()
    assert [name for name, *_ in stored(again)][-1] == "later"


@pytest.mark.parametrize("in_session", [False, True])
def test_rows_of_a_store_dropped_without_close_are_written(tmp_path, in_session):
    with store_session(tmp_path) if in_session else _no_session():
        store = ProjectMetadataStore(tmp_path)
        store.initialize()
        store.save_profile_result(row("kept"))
        path = store.path
        del store  # what the writer does when a later column fails
    with duckdb.connect(str(path), read_only=True) as connection:
        assert connection.execute("SELECT column_name FROM column_profiles").fetchall() == [
            ("kept",)]


def test_saving_needs_an_initialized_store(tmp_path):
    with pytest.raises(RuntimeError, match="not initialized"):
        ProjectMetadataStore(tmp_path).save_profile_result(row("c"))


def test_a_session_serves_every_store_of_the_run_and_is_released(tmp_path):
    untouched = ProjectMetadataStore(tmp_path / "other")
    with store_session(tmp_path / "other"):
        pass
    assert not untouched.path.exists()  # nothing stored, nothing created
    with store_session(tmp_path) as run_session:
        for table in ("a", "b"):
            store = ProjectMetadataStore(tmp_path)
            store.initialize()
            store.save_profile_result(row("id", table_name=table))
            store.close()
        # Reads inside the run go through the run's own connection.
        assert [r.table_name for r in ProjectMetadataStore(tmp_path).latest_profiles()] == [
            "a", "b"]
        assert run_session.is_open
    # Released: a plain read-only connection (another configuration) may open it now.
    assert not run_session.is_open
    assert [name for name, *_ in stored(store)] == ["id", "id"]


def _no_session():
    from contextlib import nullcontext

    return nullcontext()
