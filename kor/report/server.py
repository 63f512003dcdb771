"""`zel profile serve`: the HTML report over HTTP, read-only, one store read per request."""

from __future__ import annotations

import ipaddress
import queue
import socket
import sys
import threading
import traceback
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, HTTPServer
from typing import Any
from urllib.parse import parse_qs, unquote, urlsplit

import duckdb

from kor.compute.metadata import is_lock_conflict
from kor.compute.metadata.migrations import StoreLayoutError
from kor.report import html, site
from kor.report.site import ReportSource
from kor.report.waiting_room import WaitingRoom

# A client that sends nothing (or stops reading) for this long is dropped.
IDLE_TIMEOUT = 30.0
# Requests handled at once, each on a thread of a fixed pool; more wait for a free one.
MAX_HANDLERS = 16
# Connections that have not sent their request yet; beyond it the longest waiting is dropped,
# well before the process runs out of file descriptors.
MAX_WAITING = 512
# Run ids are DuckDB BIGINTs: a longer number names no run.
MAX_RUN_ID = 2**63 - 1


def _run_id(asked: str) -> int | None:
    """The run id a `?run=` value names, or None when it is not one: plain ASCII digits
    only (`str.isdigit` also takes '²', which `int` refuses), within BIGINT."""
    if not (asked.isascii() and asked.isdigit()) or len(asked) > len(str(MAX_RUN_ID)):
        return None
    number = int(asked)
    return number if number <= MAX_RUN_ID else None


class ReportHandler(BaseHTTPRequestHandler):
    """GET and HEAD of `/[?q=NAME&sort=COLUMN&order=asc|desc&page=N]`,
    `/alerts[?severity=S&type=T]` and `/table/<source>/<table>[?run=N]`; any other method is
    refused."""

    server: ReportServer

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(self.server.idle_timeout)

    def _refused_host(self) -> HTTPStatus | None:
        """On loopback, only requests addressed to it are answered: a page elsewhere whose
        name has been rebound to 127.0.0.1 must not read the report."""
        if not self.server.is_loopback:
            return None
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1:
            return HTTPStatus.BAD_REQUEST
        if hosts[0].strip().lower() not in self.server.loopback_hosts:
            return HTTPStatus.MISDIRECTED_REQUEST
        return None

    def _page(self) -> tuple[HTTPStatus, str]:
        source = self.server.source
        try:
            address = urlsplit(self.path)
        except ValueError:  # an unclosed "[" read as an IPv6 address, "//[/"
            return HTTPStatus.NOT_FOUND, html.not_found_page(f"the address {self.path}",
                                                             source.project)
        parts = [unquote(part) for part in address.path.split("/")[1:]]
        query = parse_qs(address.query)

        def asked(name: str) -> str | None:
            return query.get(name, [None])[-1]

        if parts in ([""], []):
            listed = asked("page") or ""
            # A page number that is none reads as the first; one past the last, as the last.
            shown = int(listed) if listed.isascii() and listed.isdigit() and len(listed) < 10 else 1
            return HTTPStatus.OK, site.overview_page(source, shown, asked("q") or "",
                                                     asked("sort"), asked("order"))
        if parts == ["alerts"]:
            return HTTPStatus.OK, site.alerts_page(source, asked("severity"), asked("type"))
        if len(parts) == 3 and parts[0] == "table":
            run = asked("run")
            number = None if run is None else _run_id(run)
            page = None
            if run is None or number is not None:
                page = site.table_page(source, parts[1], parts[2], number)
            if page is not None:
                return HTTPStatus.OK, page
            what = f"table {parts[1]}.{parts[2]}" + (f" in run {run}" if run else "")
            return HTTPStatus.NOT_FOUND, html.not_found_page(what, source.project)
        return HTTPStatus.NOT_FOUND, html.not_found_page(f"the address {address.path}",
                                                         source.project)

    def _respond(self, with_body: bool) -> None:
        refused = self._refused_host()
        if refused is not None:
            self.send_error(refused, explain="The Host header does not name this server.")
            return
        headers = {}
        try:
            status, page = self._page()
        except (duckdb.Error, StoreLayoutError) as exc:
            status = HTTPStatus.SERVICE_UNAVAILABLE
            project = self.server.source.project
            if is_lock_conflict(exc):
                # The open has waited its while; the browser asks again by itself.
                page = html.busy_page(project)
                headers["Retry-After"] = str(html.RETRY_SECONDS)
            else:
                page = html.message_page("Metadata store unavailable", str(exc), project)
        except Exception:
            # A fault of ours: the client still gets an answer, the terminal the traceback.
            traceback.print_exc()
            status = HTTPStatus.INTERNAL_SERVER_ERROR
            page = html.message_page("Internal error", "This page could not be made; the "
                                     "terminal running the server shows why.",
                                     self.server.source.project)
        body = page.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        if with_body:
            self.wfile.write(body)

    def do_GET(self) -> None:  # noqa: N802 (the stdlib's naming)
        self._respond(with_body=True)

    def do_HEAD(self) -> None:  # noqa: N802
        self._respond(with_body=False)

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002
        # Requests are not logged: the terminal stays free for the serve command's own lines.
        pass


class ReportServer(HTTPServer):
    """Serves the report on a fixed pool of handler threads. A connection waits, holding no
    thread, until its request begins to arrive, so idle clients cannot starve the others."""

    # The listen backlog: the stdlib's 5 makes a burst of clients wait seconds on SYN retries.
    request_queue_size = 128

    def __init__(self, source: ReportSource, host: str, port: int, *,
                 idle_timeout: float = IDLE_TIMEOUT, max_handlers: int = MAX_HANDLERS) -> None:
        self.source = source
        self.idle_timeout = idle_timeout
        self._requests: queue.SimpleQueue[tuple[socket.socket, Any] | None] = queue.SimpleQueue()
        self._handlers = [threading.Thread(target=self._handle_requests, name="report-handler",
                                           daemon=True) for _ in range(max_handlers)]
        for handler in self._handlers:
            handler.start()
        self._waiting_room = WaitingRoom(lambda *request: self._requests.put(request),
                                         self.shutdown_request, idle_timeout, MAX_WAITING)
        if ":" in host:
            self.address_family = socket.AF_INET6
        # A failed bind calls server_close, which stops the threads above.
        super().__init__((host, port), ReportHandler)
        bound, port = self.bound_to
        names = {"localhost", "127.0.0.1", "[::1]", f"[{bound}]" if ":" in bound else bound}
        self.loopback_hosts = {f"{name}:{port}" for name in names}
        if port == 80:
            self.loopback_hosts |= names

    def process_request(self, request: socket.socket | tuple[bytes, socket.socket],
                        client_address: Any) -> None:
        assert isinstance(request, socket.socket)
        self._waiting_room.enter(request, client_address)

    def _handle_requests(self) -> None:
        while (item := self._requests.get()) is not None:
            request, client_address = item
            try:
                self.finish_request(request, client_address)
            except Exception:
                self.handle_error(request, client_address)
            finally:
                self.shutdown_request(request)

    def handle_error(self, request: socket.socket | tuple[bytes, socket.socket],
                     client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return  # the client left or went quiet: nothing went wrong here
        super().handle_error(request, client_address)

    def server_close(self) -> None:
        self._waiting_room.close()
        for _ in self._handlers:
            self._requests.put(None)
        super().server_close()

    @property
    def bound_to(self) -> tuple[str, int]:
        """The address and port listened on (the port chosen when 0 was asked for)."""
        host, port = self.server_address[:2]
        return str(host), int(port)

    @property
    def is_loopback(self) -> bool:
        return ipaddress.ip_address(self.bound_to[0]).is_loopback

    @property
    def url(self) -> str:
        host, port = self.bound_to
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"
