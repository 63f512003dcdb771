"""The served report: every route over real HTTP, 404s, empty stores, hostile stored text."""

from __future__ import annotations

import urllib.error
import urllib.request
from html import escape

import pytest

from kor.compute.metadata import ProjectMetadataStore
from kor.report.html import table_url
from tests.report.conftest import HOSTILE

HOSTILE_PAGE = table_url(HOSTILE, f"t/{HOSTILE}?#")


def get(url: str, method: str = "GET") -> tuple[int, str]:
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method),
                                    timeout=10) as response:
            assert response.headers["Content-Type"] == "text/html; charset=utf-8"
            return response.status, response.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.read().decode("utf-8")


def test_overview_and_table_page(hostile_store, serve):
    base = serve(hostile_store).rstrip("/")
    (status, overview), (table_status, page) = get(base + "/"), get(base + HOSTILE_PAGE)
    assert status == table_status == 200
    assert f'href="{escape(HOSTILE_PAGE)}"' in overview and "1,234,567" in overview
    assert "2 tables, 3 columns; alerts: 1 error, 1 warning, 0 info" in overview
    assert "2026-01-02 09:00:00" in overview and "2026-01-01" not in overview  # latest run
    assert '<tr class="error"><td class="name">' + escape(HOSTILE) in page  # highlighted
    assert "<td>60.0%</td>" in page and "<td>1.5</td>" in page
    assert page.count("<svg") == 1 and ">4</text>" in page  # the top value's count
    history = page[page.index('<table class="history">'):]
    assert history.index("2026-01-01 09:00:00") < history.index("2026-01-02 09:00:00")
    assert "<td>5</td><td>1</td><td>0</td>" in history  # first run: 5 rows, 1 column, 0 alerts
    for text in (overview, page):  # stored markup is text, never an element
        assert "<script" not in text and escape(HOSTILE) in text
    assert f"{escape(HOSTILE)} &amp; more" in page
    assert get(base + "/", method="HEAD") == (200, "")


@pytest.mark.parametrize("path", [
    "/table/raw/nope", "/table/nope/orders", "/table/raw", "/table/raw/orders/more",
    "/elsewhere", "/table/raw/%3Cscript%3E",
])
def test_unknown_addresses_are_404_pages(hostile_store, serve, path):
    status, page = get(serve(hostile_store).rstrip("/") + path)
    assert status == 404 and "Not found" in page and "<script" not in page


@pytest.mark.parametrize("make", ["missing", "empty", "unreadable"])
def test_an_empty_or_broken_store_serves_a_clear_message(tmp_path, serve, make):
    store = ProjectMetadataStore(tmp_path)
    if make == "empty":
        store.initialize()
        store.close()
    elif make == "unreadable":
        store.path.parent.mkdir()
        store.path.write_text("not a database")
    status, page = get(serve(store))
    if make == "unreadable":
        assert status == 503 and "not a valid DuckDB database" in page
    else:
        assert status == 200 and "run `zel profile run` first" in page
