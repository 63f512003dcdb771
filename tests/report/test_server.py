"""The served report: every route over real HTTP, 404s, empty stores, hostile stored text."""

from __future__ import annotations

import re
import socket
import struct
import subprocess
import sys
import threading
import urllib.error
import urllib.request
from html import escape, unescape
from urllib.parse import urlsplit

import duckdb
import pytest

from bench.stores import fill
from kor.compute.metadata import ProjectMetadataStore, connection
from kor.report import site
from kor.report.html import table_url
from kor.report.server import ReportServer
from kor.report.site import ReportSource
from tests.builders import stored_row
from tests.report.conftest import HOSTILE

HOSTILE_PAGE = table_url(HOSTILE, f"t/{HOSTILE}?#")
SORTING = "<script>\n// Sorting and filtering"


def get(url: str, method: str = "GET") -> tuple[int, str]:
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method),
                                    timeout=10) as response:
            assert response.headers["Content-Type"] == "text/html; charset=utf-8"
            return response.status, response.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.read().decode("utf-8")


def ask(port: int, client: socket.socket | None = None, host: str | None = "127.0.0.1:{port}",
        path: str = "/") -> bytes:
    """One GET on `client` (a new connection when None), and the whole answer."""
    with client or socket.create_connection(("127.0.0.1", port), timeout=20) as connection:
        connection.sendall(f"GET {path} HTTP/1.0\r\n".encode() + (
            f"Host: {host.format(port=port)}\r\n\r\n" if host else "\r\n").encode())
        return b"".join(iter(lambda: connection.recv(65536), b""))


def test_every_route_of_a_recorded_history(hostile_store, serve):
    base = serve(hostile_store).rstrip("/")
    pages = {path: get(base + path) for path in (
        "/", HOSTILE_PAGE, HOSTILE_PAGE + "?run=1", "/alerts", "/alerts?severity=error",
        "/alerts?type=ZERO_VARIANCE&severity=warning")}
    assert {status for status, _ in pages.values()} == {200}
    orders = get(base + "/table/raw/orders")[1]
    assert '<td class="name">broken</td><td class="name type">–</td>' + "<td>–</td>" * 4 in orders
    overview, page, first, every, errors, narrowed = (page for _, page in pages.values())
    assert f'href="{escape(HOSTILE_PAGE)}"' in overview and "1,234,567" in overview
    assert ("2 tables (0 failed in their latest run, 0 stale), 4 columns; "
            '<a href="/alerts">alerts</a>: 1 error, 1 warning, 0 info') in overview
    # The hostile table lost column c and gained two: the diff's changes, summed up.
    assert '<span class="badge error">3 schema changes</span>' in overview
    # Columns in the recorded order, the latest run's; its history newest first, linked.
    columns = page[page.index('<table class="columns">'):page.index("<h2>Alerts")]
    assert columns.index(f'<td class="name">{escape(HOSTILE)}</td>') < columns.index(
        '<td class="name">n</td>') and '<td class="name">c</td>' not in columns
    assert "<td>60.0%</td>" in page and "<td>1.5</td>" in page and ">4</text>" in page
    history = page[page.index('<table class="history">'):]
    assert history.index(f'{escape(HOSTILE_PAGE)}?run=2">2</a>') < history.index(
        f'{escape(HOSTILE_PAGE)}?run=1">1</a>')
    assert "column_removed" in page and f"{escape(HOSTILE)} &amp; more" in page
    assert '<td class="name">c</td>' in first and '<td class="name">n</td>' not in first
    assert "no earlier measured run to compare with" in first
    assert every.count('<tr><td class="name"><span class="badge') == 2
    assert "ZERO_VARIANCE" not in errors and "ZERO_VARIANCE</td>" in narrowed
    assert "<b>warning (1)</b>" in narrowed and escape(HOSTILE) + "</td>" not in narrowed
    for text in (overview, page, every):  # stored markup is text, never an element
        # the one script element is the sorting one
        assert text.count("<script") == text.count(SORTING) and escape(HOSTILE) in text
    assert get(base + "/", method="HEAD") == (200, "")


def test_concurrent_clients_each_get_their_own_page(hostile_store, serve):
    base = serve(hostile_store).rstrip("/")
    paths = ["/", HOSTILE_PAGE, HOSTILE_PAGE + "?run=1", "/alerts", "/table/raw/orders"]
    alone = {path: get(base + path) for path in paths}
    answers: list[tuple[str, object]] = []
    start = threading.Barrier(16)

    def client(first: int) -> None:
        start.wait()
        for path in (paths * 2)[first % len(paths):][:5]:
            try:
                answers.append((path, get(base + path)))
            except OSError as exc:  # a dropped connection
                answers.append((path, exc))

    clients = [threading.Thread(target=client, args=(n,)) for n in range(16)]
    for thread in clients:
        thread.start()
    for thread in clients:
        thread.join()
    assert {status for status, _ in alone.values()} == {200} and len(answers) == 80
    assert [path for path, answer in answers if answer != alone[path]] == []


@pytest.mark.parametrize("path", [
    "/table/raw/nope", "/table/nope/orders", "/table/raw", "/table/raw/orders/more",
    "/elsewhere", "/table/raw/%3Cscript%3E", "/table/raw/orders?run=1", "/table/raw/orders?run=x",
    # Digits to str.isdigit but not to int; more digits than int reads; beyond BIGINT.
    "/table/raw/orders?run=%C2%B2", "/table/raw/orders?run=" + "2" * 5000,
    "/table/raw/orders?run=9223372036854775808", "/table/raw/orders?run=-2",
    "http://[/", "/table/raw/orders%00", "/table/%ED%A0%80/orders", "/table/raw/%zz",
])
def test_unknown_addresses_are_404_pages(hostile_store, serve, path):
    head, _, page = ask(int(urlsplit(serve(hostile_store)).port or 0), path=path
                        ).partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 404 ") and b"Not found" in page and b"<script" not in page


def test_a_fault_of_ours_is_a_500_page_not_a_closed_connection(hostile_store, serve,
                                                                monkeypatch, capfd):
    def broken(*args: object) -> str:
        raise RuntimeError("a fault of ours")

    monkeypatch.setattr(site, "table_page", broken)
    status, page = get(serve(hostile_store) + "table/raw/orders")
    assert status == 500 and "Internal error" in page and "a fault of ours" not in page
    assert "RuntimeError: a fault of ours" in capfd.readouterr().err


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


def test_a_burst_of_clients_waits_in_the_backlog_and_is_answered(fill_store):
    source = ReportSource.for_store(fill_store(stored_row()).path)
    with ReportServer(source, "127.0.0.1", 0, max_handlers=4) as server:
        # Not accepting yet: every connection has to fit in the listen backlog.
        clients = [socket.create_connection(server.bound_to, timeout=10) for _ in range(64)]
        thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
        thread.start()
        try:
            statuses = {ask(server.bound_to[1], client)[:15] for client in clients}
        finally:
            server.shutdown()
    assert statuses == {b"HTTP/1.0 200 OK"}


def test_idle_clients_hold_no_handler_and_are_dropped(fill_store, serve):
    store, threads = fill_store(stored_row()), threading.active_count()
    port = int(urlsplit(serve(store, max_handlers=4)).port or 0)
    idle = [socket.create_connection(("127.0.0.1", port), timeout=20) for _ in range(40)]
    assert ask(port).startswith(b"HTTP/1.0 200 OK")  # at once, not after the idle ones
    # The handlers, the waiting room and the accept loop, however many clients wait.
    assert threading.active_count() <= threads + 4 + 2
    port = int(urlsplit(serve(store, idle_timeout=0.5)).port or 0)
    idle += [socket.create_connection(("127.0.0.1", port), timeout=20) for _ in range(12)]
    assert [client.recv(1) for client in idle[40:]] == [b""] * 12  # the server hung up
    for client in idle:
        client.close()


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1:{port}", 200), ("localhost:{port}", 200), ("LocalHost:{port}", 200),
    ("[::1]:{port}", 200),
    # A page of another site rebound to 127.0.0.1 sends its own name.
    ("attacker.example:{port}", 421), ("127.0.0.1.attacker.example:{port}", 421),
    ("localhost:1{port}", 421), ("localhost", 421), (None, 400),
])
def test_on_loopback_only_requests_addressed_to_it_are_answered(fill_store, serve, host,
                                                                status):
    port = int(urlsplit(serve(fill_store(stored_row()))).port or 0)
    response = ask(port, host=host)
    assert response.startswith(f"HTTP/1.0 {status} ".encode())
    assert (b"raw.orders" in response) == (status == 200)


def test_a_client_leaving_mid_response_is_quiet(fill_store, serve, capfd):
    # A page far larger than the socket buffers: the server is still writing when it leaves.
    # One handler: the request after them is answered only once they have been handled.
    url = serve(fill_store(stored_row(column_name="c" * 8_000_000)), max_handlers=1)
    port = int(urlsplit(url).port or 0)
    for read in (0, 100):  # leaves before the answer, then during it
        with socket.create_connection(("127.0.0.1", port), timeout=20) as client:
            client.sendall(f"GET /table/raw/orders HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n\r\n"
                           .encode())
            client.recv(read)
            # A reset rather than a polite close, as a closed browser tab leaves.
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    assert get(url)[0] == 200
    assert capfd.readouterr().err == ""


def test_a_run_holding_the_store_is_answered_with_a_busy_page(fill_store, serve, monkeypatch):
    store = fill_store(stored_row())
    monkeypatch.setattr(connection, "LOCK_WAIT_SECONDS", 0.3)  # the wait is tested elsewhere
    port = int(urlsplit(serve(store)).port or 0)
    script = (f"import duckdb, sys\nc = duckdb.connect({str(store.path)!r})\n"
              "print('held', flush=True)\nsys.stdin.read()")
    with subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as holder:
        try:
            assert holder.stdout.readline().strip() == "held"
            busy = ask(port, path="/table/raw/orders")
        finally:
            holder.communicate("", timeout=30)
    head, _, body = busy.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 503 ") and b"\r\nRetry-After: 10" in head
    assert b"A run is in progress" in body and b'http-equiv="refresh"' in body
    assert b"Conflicting lock" not in body and b"IO Error" not in body
    assert ask(port).startswith(b"HTTP/1.0 200 OK")  # and answered again once it has ended


@pytest.fixture(scope="module")
def many_tables(tmp_path_factory) -> ProjectMetadataStore:
    """205 tables of one column, in one run."""
    return ProjectMetadataStore(fill(tmp_path_factory.mktemp("many"), 205, 1, 1, churn=False)
                                .parent.parent)


@pytest.mark.parametrize(("query", "listed", "says", "links"), [
    ("", range(100), "Tables 1–100 of 205, page 1 of 3:", ["/?page=2"]),
    ("?page=2", range(100, 200), "Tables 101–200 of 205, page 2 of 3:", ["/", "/?page=3"]),
    ("?page=99", range(200, 205), "Tables 201–205 of 205, page 3 of 3:", ["/?page=2"]),
    ("?page=x", range(100), "page 1 of 3:", ["/?page=2"]),
    ("?q=TABLE_20", [20, *range(200, 205)], "Tables 1–6 of 6 whose name holds “TABLE_20”.", []),
    ("?q=%3Cb%3E&page=2", [], "No table's name holds “&lt;b&gt;”.", []),
])
def test_the_overview_pages_and_filters_on_the_server(many_tables, serve, query, listed, says,
                                                      links):
    status, page = get(serve(many_tables).rstrip("/") + query)
    # Listed in the order of their names: table_0, table_1, table_10, table_100, ...
    ordered = sorted(f"table_{n}" for n in range(205))
    rows = re.findall(r'<a href="/table/raw/(table_\d+)">', page)
    assert status == 200 and rows == ([f"table_{n}" for n in listed] if "q=" in query
                                      else [ordered[n] for n in listed])
    form = page[page.index('<form class="filter"'):page.index("</form>")]
    assert says in form and [escape(link) for link in links] == re.findall(
        r'<a href="([^"]*)">', form)
    assert "205 tables (0 failed in their latest run" in page  # the sums count every table


@pytest.fixture(scope="module")
def uneven_tables(tmp_path_factory) -> ProjectMetadataStore:
    """150 tables of one column in one run: table_<n> of n % 7 rows; every tenth failed, so
    its counts were not measured."""
    path = fill(tmp_path_factory.mktemp("uneven"), 150, 1, 1, churn=False)
    with duckdb.connect(str(path)) as store:
        store.execute("UPDATE table_runs SET row_count = CAST(table_name[7:] AS INT) % 7, "
                      "status = IF(CAST(table_name[7:] AS INT) % 10 = 0, 'failed', 'success')")
    return ProjectMetadataStore(path.parent.parent)


@pytest.mark.parametrize(("query", "held", "by_rows", "descending"), [
    ("?sort=rows&order=asc", "", True, False),
    ("?sort=rows&order=desc", "", True, True),
    ("?q=table_1&order=desc&sort=rows", "table_1", True, True),
    ("?sort=table&order=desc", "", False, True),
    # What names no column or order reads as the default.
    ("?sort=nope&order=sideways", "", False, False),
    ("?sort=rows&order=%00&page=x", "", True, False),
    ("?sort=__class__&order=desc", "", False, True),
])
def test_the_overview_sorts_every_page_on_the_server(uneven_tables, serve, query, held,
                                                     by_rows, descending):
    base, path, names, pages = serve(uneven_tables).rstrip("/"), query, [], []
    while path:  # page by page, by the next links: they keep the query and the sort
        status, page = get(base + path)
        assert status == 200
        names += re.findall(r'<a href="/table/raw/(table_\d+)">', page)
        pages.append(page)
        following = re.search(r'<a href="([^"]*)">next ›</a>', page)
        path = following and unescape(following[1])
    kept = sorted(n for n in range(150) if held in f"table_{n}")
    if by_rows:  # numbers as numbers, ties by name, the failed (no rows) last either way
        by_name = sorted(kept, key=lambda n: f"table_{n}")
        kept = [*sorted((n for n in by_name if n % 10), key=lambda n: n % 7,
                        reverse=descending), *(n for n in by_name if n % 10 == 0)]
    else:
        kept.sort(key=lambda n: f"table_{n}", reverse=descending)
    assert len(pages) == (2 if not held else 1) and names == [f"table_{n}" for n in kept]
    # The sorted column's header says so and links to its other order, the filter kept, on
    # the first page; without scripts every sortable header is such a link. The form keeps
    # the sort; a single page is sorted by the script alone.
    column = "rows" if by_rows else "table"
    flipped = "/?" + "&amp;".join([*([f"q={held}"] if held else []), f"sort={column}",
                                   "order=" + ("asc" if descending else "desc")])
    head = pages[0][pages[0].index("<thead>"):pages[0].index("</thead>")]
    assert re.findall(r'<th[^>]* aria-sort="(\w+)"><a href="([^"]*)">(\w+)</a>', head) == [(
        "descending" if descending else "ascending",
        "/" if flipped == "/?sort=table&amp;order=asc" else flipped, column)]
    assert ('<input type="hidden" name="order" value="desc">' in pages[0]) == descending
    assert head.count("<a href=") == 9
    assert ('<table class="overview" data-paged>' in pages[0]) == (not held)
