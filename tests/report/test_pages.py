"""Every page keeps stored text as text, in element content and in attribute values alike."""

from __future__ import annotations

import json
from datetime import datetime
from html.parser import HTMLParser

import pytest

from kor.compute.metadata import MetadataReader, ProjectMetadataStore, store_path
from kor.report import html, site
from kor.report.site import ReportSource
from tests.builders import stored_row
from tests.report.conftest import Failure, alerts

# Closes an attribute with either quote, opens an element with a handler, looks like an entity.
PAYLOAD = "\"'><img src=x onerror=alert(1)>&amp; ü/"

REPORT_ELEMENTS = {
    "html", "head", "meta", "title", "style", "body", "nav", "section", "hr", "h1", "h2", "h3",
    "p", "a", "span", "b", "ul", "li", "table", "thead", "tbody", "tr", "th", "td", "details",
    "summary", "figure", "figcaption", "svg", "g", "text", "rect", "polyline", "circle", "line",
    "div", "form", "input", "button", "script",
}
REPORT_ATTRIBUTES = {
    "lang", "charset", "http-equiv", "content", "id", "class", "href", "title", "open", "xmlns",
    "width", "height", "role", "transform", "x", "y", "dx", "text-anchor", "fill", "points",
    "stroke", "stroke-width", "cx", "cy", "r", "x1", "x2", "y1", "y2",
    "method", "action", "type", "name", "value", "placeholder", "aria-label", "aria-sort",
    "data-sort", "data-paged",
}


class Parsed(HTMLParser):
    """The elements, attribute names and texts (entities decoded) a browser would build."""

    def __init__(self, page: str) -> None:
        super().__init__(convert_charrefs=True)
        self.elements: set[str] = set()
        self.attributes: set[str] = set()
        self.texts: list[str] = []
        self.scripts = 0
        self.feed(page)
        self.close()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.elements.add(tag)
        self.scripts += tag == "script"
        self.attributes.update(name for name, _ in attrs)
        self.texts.extend(value for _, value in attrs if value)

    def handle_data(self, data: str) -> None:
        self.texts.append(data)


def source(store: ProjectMetadataStore) -> ReportSource:
    return ReportSource(MetadataReader(store.path), project=PAYLOAD)


PAGES = {
    "overview": lambda store: site.overview_page(source(store)),
    "table": lambda store: site.table_page(source(store), PAYLOAD, PAYLOAD),
    "table in a failed run": lambda store: site.table_page(source(store), PAYLOAD, PAYLOAD, 3),
    "alerts": lambda store: site.alerts_page(source(store)),
    "alerts of a type": lambda store: site.alerts_page(source(store), PAYLOAD, PAYLOAD),
    "report file": lambda store: site.report_document(source(store)),
    "empty store": lambda store: site.overview_page(
        ReportSource.for_store(store_path(store.path / PAYLOAD))),
    "not found": lambda store: html.not_found_page(PAYLOAD, PAYLOAD),
    "busy": lambda store: html.busy_page(PAYLOAD),
}


@pytest.mark.parametrize("page", PAGES)
def test_stored_text_never_becomes_markup(fill_store, page):
    # Three runs of the table: measured, measured with changes, failed.
    first, second, third = (datetime(2026, 1, day) for day in (1, 2, 3))
    store = fill_store(
        stored_row(PAYLOAD, PAYLOAD, PAYLOAD, first, profile_mode=PAYLOAD, row_count=3),
        stored_row(PAYLOAD, PAYLOAD, PAYLOAD, second, profile_mode=PAYLOAD, min_length=0,
                   max_length=3, top_values=json.dumps([{"value": PAYLOAD, "count": 3},
                                                        {"value": "", "count": 1}]),
                   min_exact=PAYLOAD, max_exact=PAYLOAD, column_kind=PAYLOAD,
                   histogram=json.dumps([{"period": PAYLOAD, "start": PAYLOAD, "count": 2},
                                         {"low": PAYLOAD, "high": PAYLOAD, "count": 0}]),
                   alerts=alerts((PAYLOAD, PAYLOAD, PAYLOAD), (PAYLOAD, "error", ""))),
        stored_row(PAYLOAD, PAYLOAD, "", second, alerts=json.dumps([{}])),
        stored_row("", "", "", second, alerts=json.dumps([{}])),
        Failure(PAYLOAD, PAYLOAD, third, error=PAYLOAD))
    parsed = Parsed(PAGES[page](store))
    assert parsed.elements <= REPORT_ELEMENTS and parsed.attributes <= REPORT_ATTRIBUTES
    assert parsed.scripts <= 1  # the sorting script, and none made of stored text
    assert any(PAYLOAD in text for text in parsed.texts)  # shown, not dropped
