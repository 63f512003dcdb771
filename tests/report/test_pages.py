"""Every page keeps stored text as text, in element content and in attribute values alike."""

from __future__ import annotations

import json
from html.parser import HTMLParser

import pytest

from kor.compute.metadata import ProjectMetadataStore
from kor.report import html, site
from tests.builders import stored_row
from tests.report.conftest import alerts

# Closes an attribute with either quote, opens an element with a handler, looks like an entity.
PAYLOAD = "\"'><img src=x onerror=alert(1)>&amp; ü/"

REPORT_ELEMENTS = {
    "html", "head", "meta", "title", "style", "body", "section", "hr", "h1", "h2", "p", "a",
    "span", "b", "ul", "li", "table", "thead", "tbody", "tr", "th", "td", "figure",
    "figcaption", "svg", "g", "text", "rect",
}
REPORT_ATTRIBUTES = {
    "lang", "charset", "id", "class", "href", "xmlns", "width", "height", "role", "transform",
    "x", "y", "dx", "text-anchor", "fill",
}


class Parsed(HTMLParser):
    """The elements, attribute names and texts (entities decoded) a browser would build."""

    def __init__(self, page: str) -> None:
        super().__init__(convert_charrefs=True)
        self.elements: set[str] = set()
        self.attributes: set[str] = set()
        self.texts: list[str] = []
        self.feed(page)
        self.close()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.elements.add(tag)
        self.attributes.update(name for name, _ in attrs)
        self.texts.extend(value for _, value in attrs if value)

    def handle_data(self, data: str) -> None:
        self.texts.append(data)


PAGES = {
    "overview": lambda store: site.overview_page(store),
    "table": lambda store: site.table_page(store, PAYLOAD, PAYLOAD),
    "report file": lambda store: site.report_document(store),
    "empty store": lambda store: site.overview_page(ProjectMetadataStore(store.path / PAYLOAD)),
    "not found": lambda store: html.not_found_page(PAYLOAD),
    "message": lambda store: html.message_page(PAYLOAD, PAYLOAD),
}


@pytest.mark.parametrize("page", PAGES)
def test_stored_text_never_becomes_markup(fill_store, page):
    store = fill_store(
        stored_row(PAYLOAD, PAYLOAD, PAYLOAD, profile_mode=PAYLOAD, min_length=0, max_length=3,
                   top_values=json.dumps([{"value": PAYLOAD, "count": 3},
                                          {"value": "", "count": 1}]),
                   alerts=alerts((PAYLOAD, PAYLOAD, PAYLOAD), (PAYLOAD, "error", ""))),
        stored_row("", "", "", alerts=json.dumps([{}])))
    parsed = Parsed(PAGES[page](store))
    assert parsed.elements <= REPORT_ELEMENTS and parsed.attributes <= REPORT_ATTRIBUTES
    assert any(PAYLOAD in text for text in parsed.texts)  # shown, not dropped
