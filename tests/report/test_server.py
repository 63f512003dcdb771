"""The served report: every route over real HTTP, 404s, empty stores, hostile stored text."""

from __future__ import annotations

import urllib.error
import urllib.request
from html import escape

import duckdb
import pytest

from kor.compute.metadata import ProjectMetadataStore
from kor.report.html import table_url
from tests.report.conftest import HOSTILE


def get(url: str, method: str = "GET") -> tuple[int, str, str]:
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return (response.status, response.headers["Content-Type"],
                    response.read().decode("utf-8"))
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.headers["Content-Type"], error.read().decode("utf-8")


HOSTILE_TABLE = f"t/{HOSTILE}?#"


def test_overview_lists_the_latest_run_of_every_table(hostile_store, serve):
    status, kind, page = get(serve(hostile_store))
    assert status == 200 and kind == "text/html; charset=utf-8"
    assert f'href="{escape(table_url(HOSTILE, HOSTILE_TABLE))}"' in page
    assert "raw.orders" in page and "1,234,567" in page
    assert "2026-01-02 09:00:00" in page  # the latest run, not the first
    assert "2 tables, 3 columns; alerts: 1 error, 1 warning, 0 info" in page


def test_table_page_shows_figures_alerts_chart_and_history(hostile_store, serve):
    status, _, page = get(serve(hostile_store).rstrip("/") + table_url(HOSTILE, HOSTILE_TABLE))
    assert status == 200
    assert '<tr class="error"><td class="name">' + escape(HOSTILE) in page  # highlighted
    assert '<tr class="warning"><td class="name">n</td>' in page
    assert "<td>60.0%</td>" in page and "<td>1.5</td>" in page
    assert page.count("<svg") == 1 and "<rect" in page and ">4</text>" in page
    history = page[page.index('<table class="history">'):]
    assert history.index("2026-01-01 09:00:00") < history.index("2026-01-02 09:00:00")
    assert "<td>5</td><td>1</td><td>0</td>" in history  # first run: 5 rows, 1 column, 0 alerts


def test_every_stored_text_is_escaped(hostile_store, serve):
    base = serve(hostile_store).rstrip("/")
    pages = [get(base + "/")[2], get(base + table_url(HOSTILE, HOSTILE_TABLE))[2]]
    for page in pages:
        assert "<script" not in page and escape(HOSTILE) in page
    assert f"{escape(HOSTILE)} &amp; more" in pages[1]


@pytest.mark.parametrize("path", [
    "/table/raw/nope", "/table/nope/orders", "/table/raw", "/table/raw/orders/more",
    "/elsewhere", "/table/raw/" + "%3Cscript%3E",
])
def test_unknown_addresses_are_404_pages(hostile_store, serve, path):
    status, kind, page = get(serve(hostile_store).rstrip("/") + path)
    assert status == 404 and kind.startswith("text/html") and "Not found" in page
    assert "<script" not in page


def test_head_answers_without_a_body(hostile_store, serve):
    status, _, body = get(serve(hostile_store), method="HEAD")
    assert status == 200 and body == ""


@pytest.mark.parametrize("make", ["missing", "empty"])
def test_an_empty_store_serves_a_clear_message(tmp_path, serve, make):
    store = ProjectMetadataStore(tmp_path)
    if make == "empty":
        store.initialize()
        store.close()
    base = serve(store)
    status, _, page = get(base)
    assert status == 200 and "run `zel profile run` first" in page
    assert get(base + "table/raw/orders")[0] == 404


def test_an_unreadable_store_is_a_503_page(tmp_path, serve):
    store = ProjectMetadataStore(tmp_path)
    store.path.parent.mkdir()
    store.path.write_text("not a database")
    status, _, page = get(serve(store))
    assert status == 503 and "not a valid DuckDB database" in page


def test_a_run_after_start_shows_on_reload(fill_store, serve):
    store = fill_store()
    base = serve(store)
    assert "No profiles yet" in get(base)[2]
    with duckdb.connect(str(store.path)) as connection:
        connection.execute("INSERT INTO column_profiles (source_name, table_name, column_name, "
                           "profile_mode, row_count, null_count, null_percent, distinct_count, "
                           "distinct_percent, profiled_at, duration_ms) VALUES ('raw', 'late', "
                           "'c', 'minimal', 1, 0, 0, 1, 100, TIMESTAMP '2026-01-01', 1)")
    assert "raw.late" in get(base)[2]
