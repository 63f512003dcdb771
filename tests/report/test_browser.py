"""The column and overview tables in headless Chromium at 1,400 px: they fit, sort, filter and
are linked to, with the sorting script and without it."""

from __future__ import annotations

import json
import re
from datetime import datetime
from html import unescape

import pytest

from kor.report import site
from kor.report.site import ReportSource
from tests.browser import rendered
from tests.builders import stored_row
from tests.report.conftest import alerts

# Names an id and a link's fragment must both survive.
ODD_NAMES = ["a b", "quote\"'", "<b>x</b>", "ünï ✓", "%20", "col-x", "a%20b", ""]
WINDOW = "--window-size=1400,1000"

# Run after the page's own script: measures the layout, then sorts by clicks, filters by
# typing and follows each alert link, leaving what it saw as JSON in a <pre>.
PROBE = """<pre id="probe"></pre><script>
const seen = {}, cell = (row, n) => row.cells[n].textContent;
const rows = table => [...table.tBodies[0].rows];
const body = document.scrollingElement, box = document.querySelector("table.columns").parentNode;
seen.page = [body.scrollWidth, innerWidth];
seen.box = [box.scrollWidth, box.clientWidth];
const table = box.querySelector("table"), heads = [...table.tHead.rows[0].cells];
seen.sorted = {};
// Each header holds a button, which Tab reaches and Enter presses.
seen.controls = heads.map(h => h.children.length === 1 && h.children[0].type);
for (const name of ["nulls", "null %", "column"]) {
  const at = heads.findIndex(h => h.textContent === name), button = heads[at].children[0];
  button.click(); const up = rows(table).map(r => cell(r, at));
  button.click(); seen.sorted[name] = [up, rows(table).map(r => cell(r, at)),
                                       heads[at].getAttribute("aria-sort")];
}
const filter = box.previousElementSibling;
filter.value = "Ü"; filter.dispatchEvent(new Event("input", {bubbles: true}));
seen.filtered = rows(table).filter(r => !r.hidden).map(r => cell(r, 0));
seen.links = [...document.querySelectorAll("ul.alerts a, table.alerts td a[href*='-col-']")]
  .map(a => { location.hash = a.hash; const hit = document.querySelector(":target");
              return [a.textContent, hit && hit.tagName, hit && cell(hit, 0)]; });
document.getElementById("probe").textContent = JSON.stringify(seen);
</script></body>"""


def number(text: str) -> float:
    return float(text.replace(",", "").removesuffix("%"))


@pytest.fixture
def wide_store(fill_store):
    # Every figure long, so the 15 columns of the table are far wider than 1,400 px.
    when = datetime(2026, 1, 1)
    wide = dict(min_value=-1234567890.123456, max_value=9876543210.654321,
                mean_value=1234567.8912345678, stddev_value=7654321.123456789,
                p25=-123456789.98765, p50=123456.123456789, p75=98765432.123456,
                min_length=0, max_length=123456, avg_length=4567.891234)
    nulls = [(5, 0.0005), (1234567, 12.5), (80, 60.0), (None, None), (99, 9.0)]
    return fill_store(*(
        stored_row("raw", "wide", name, when, row_count=9876543, null_count=nulls[i % 5][0],
                   null_percent=nulls[i % 5][1], **wide,
                   alerts=alerts(("HIGH_MISSING", "warning", f"{name} is missing " * 6),
                                 ("SKEWED", "info", "Column is skewed"))
                   if i % 2 else None)
        for i, name in enumerate([*ODD_NAMES, *(f"c{n}" for n in range(20))])))


@pytest.mark.parametrize("page", ["table page", "report file"])
def test_the_column_table_fits_sorts_filters_and_is_linked_to(wide_store, tmp_path, page):
    source = ReportSource.for_store(wide_store.path)
    made = (site.table_page(source, "raw", "wide") if page == "table page"
            else site.report_document(source))
    assert made is not None
    # The page as a browser that runs no scripts shows it: its policy refuses them.
    plain = tmp_path / "plain.html"
    plain.write_text(made.replace("<head>", '<head><meta http-equiv="Content-Security-Policy" '
                                  "content=\"script-src 'none'\">"), encoding="utf-8")
    probed = tmp_path / "probed.html"
    probed.write_text(made.replace("</body>", PROBE), encoding="utf-8")
    names = [*ODD_NAMES, *(f"c{n}" for n in range(20))]

    dom = rendered(probed.as_uri(), tmp_path / "chromium", WINDOW)
    seen = json.loads(unescape(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S)[1]))
    # The page itself is no wider than the window; the table scrolls inside its box.
    assert seen["page"][0] <= seen["page"][1] == 1400 and seen["box"][0] > seen["box"][1]
    # Numbers as numbers, names as text; "–" (and the empty name) last either way.
    assert seen["controls"] == ["button"] * 15
    for column, (up, down, state) in seen["sorted"].items():
        assert state == "descending"
        shown = [value for value in up if value not in ("–", "")]
        key = str.lower if column == "column" else number
        assert up == [*sorted(shown, key=key), *up[len(shown):]]
        assert down == [*sorted(shown, key=key, reverse=True), *up[len(shown):]]
        assert set(up[len(shown):]) == ({""} if column == "column" else {"–"})
    assert seen["filtered"] == ["ünï ✓"]
    # Every alert's link lands on its own column's row: two alerts a column, listed under
    # the table, and in the file on its alerts section too.
    alerted = [name for i, name in enumerate(names) if i % 2]
    times = 2 if page == "table page" else 4
    assert sorted(link[0] for link in seen["links"]) == sorted(alerted * times)
    assert all(link == [link[0], "TR", link[0]] for link in seen["links"])

    # Without scripts every row is there, in table order, none hidden, no dead filter box.
    bare = rendered(plain.as_uri(), tmp_path / "chromium", WINDOW)
    columns = bare[bare.index('<table class="columns">'):bare.index("<h2>Alerts")]
    assert [unescape(name) for name in re.findall(r'<tr class="\w*" id="[^"]+"><td class="name">'
                                                   r"(.*?)</td>", columns)] == names
    assert " hidden" not in bare and "<input" not in bare.replace('<input type="search" '
                                                                 'name="q"', "")
