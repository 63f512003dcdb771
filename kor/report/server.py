"""`zel profile serve`: the HTML report over HTTP, read-only, one store read per request."""

from __future__ import annotations

import ipaddress
import socket
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

import duckdb

from kor.compute.metadata import ProjectMetadataStore
from kor.report import html, site


class ReportHandler(BaseHTTPRequestHandler):
    """GET and HEAD of `/` and `/table/<source>/<table>`; any other method is refused."""

    server: ReportServer

    def _page(self) -> tuple[HTTPStatus, str]:
        store = self.server.store
        parts = [unquote(part) for part in urlsplit(self.path).path.split("/")[1:]]
        if parts in ([""], []):
            return HTTPStatus.OK, site.overview_page(store)
        if len(parts) == 3 and parts[0] == "table":
            page = site.table_page(store, parts[1], parts[2])
            if page is not None:
                return HTTPStatus.OK, page
            return HTTPStatus.NOT_FOUND, html.not_found_page(f"table {parts[1]}.{parts[2]}")
        return HTTPStatus.NOT_FOUND, html.not_found_page(f"the address {urlsplit(self.path).path}")

    def _respond(self, with_body: bool) -> None:
        try:
            status, page = self._page()
        except duckdb.Error as exc:
            # A run holding the store past the lock wait, or an unreadable file: say so.
            status = HTTPStatus.SERVICE_UNAVAILABLE
            page = html.message_page("Metadata store unavailable", str(exc))
        body = page.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
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


class ReportServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, store: ProjectMetadataStore, host: str, port: int) -> None:
        self.store = store
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), ReportHandler)

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
