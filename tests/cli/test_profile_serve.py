"""`zel profile serve` as a user runs it, read by plain HTTP and by a headless browser."""

from __future__ import annotations

import select
import signal
import socket
import subprocess
import urllib.request
from collections.abc import Iterator
from contextlib import contextmanager
from html import escape
from pathlib import Path
from urllib.parse import quote

from tests.browser import rendered
from tests.cli.conftest import HOSTILE, ODD_TABLE
from tests.cli.projects import ZEL, run_zel


def _interruptible() -> None:
    # A shell may start background jobs with SIGINT ignored; Ctrl-C is what is tested here.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@contextmanager
def serving(project: Path, outcome: dict | None = None) -> Iterator[str]:
    """`zel profile serve` on a free port; stopped with Ctrl-C (SIGINT) on leaving."""
    with subprocess.Popen([*ZEL, "profile", "serve", "--project-dir", str(project),
                           "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, preexec_fn=_interruptible) as process:
        try:
            ready, _, _ = select.select([process.stdout], [], [], 60)
            line = process.stdout.readline() if ready else ""
            assert "Serving the profile report at http://127.0.0.1:" in line, line
            yield line.split(" at ")[1].split()[0]
        finally:
            process.send_signal(signal.SIGINT)
            try:
                out, err = process.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                raise
            if outcome is not None:
                outcome.update(returncode=process.returncode, stdout=out, stderr=err)


def test_serve_answers_until_ctrl_c_then_stops_cleanly(profiled_project):
    outcome: dict = {}
    with serving(profiled_project, outcome) as url:
        with urllib.request.urlopen(url + "table/raw/orders", timeout=10) as response:
            assert response.status == 200 and "raw.orders" in response.read().decode()
    assert outcome["returncode"] == 0 and outcome["stdout"] == "Stopped.\n"
    assert outcome["stderr"] == ""


def test_a_browser_renders_every_page(history_project, tmp_path):
    paths = {"overview": "", "table": "table/raw/measures", "first run": "table/raw/measures?run=1",
             "failed": "table/raw/shrinking", "alerts": "alerts?severity=warning",
             "missing": "table/raw/nope"}
    with serving(history_project) as url:
        pages = {name: rendered(url + path, tmp_path) for name, path in paths.items()}
    report = tmp_path / "report.html"
    assert run_zel("profile", "report", "--project-dir", str(history_project),
                   "--output", str(report)).returncode == 0
    pages["file"] = rendered(report.as_uri(), tmp_path)
    overview, table, first, failed, alerts, missing, file = pages.values()
    assert "<title>Overview — shop profile report</title>" in overview
    assert '<svg class="trend"' in overview and "<polyline" in overview  # row-count trends
    assert "stale: not in run 3" in overview and '<span class="badge error"' in overview
    assert "<title>raw.measures — shop profile report</title>" in table
    columns = table[table.index('<table class="columns">'):]
    assert [columns.index(f'<td class="name">{c}</td>') for c in ("zeta", "amount", "beta")
            ] == sorted(columns.index(f'<td class="name">{c}</td>') for c in ("zeta", "amount",
                                                                              "beta"))
    assert "<td>1,000,000,000,000,001</td>" in columns and "<details open=" in table
    assert '<td class="name">beta</td>' not in first.split("<h2>History")[0]
    assert 'class="notice"' in failed and "The figures below are from run 2." in failed
    assert "<b>warning (2)</b>" in alerts and "HIGH_MISSING" not in alerts
    assert "Not found" in missing
    assert all(f'id="t{n}"' in file for n in (1, 2, 3)) and 'id="alerts-1"' in file


def test_stored_markup_stays_text_in_the_browser(profiled_project, tmp_path):
    with serving(profiled_project) as url:
        orders = rendered(url + "table/raw/orders", tmp_path)
        odd = rendered(url + f"table/raw/{quote(ODD_TABLE, safe='')}", tmp_path)
    # maybe: 5 nulls, 50 % null, 5 distinct, min 1, max 9, mean 5, its MISSING alert highlighted.
    assert ('<tr class="warning" id="col-maybe"><td class="name">maybe</td>'
            '<td class="name type">BIGINT</td>'
            "<td>5</td><td>50.0%</td><td>5</td><td>50.0%</td><td>1</td><td>9</td><td>5</td>"
            ) in orders
    assert '<span class="badge warning">MISSING</span>' in orders and "<svg" in orders
    # Stored markup stays text in the browser: no script element was made of it.
    assert odd.count("<script") == odd.count("<script>\n// Sorting") == 1
    assert escape(HOSTILE) in odd


def test_a_port_in_use_is_one_clear_line(profiled_project):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        done = run_zel("profile", "serve", "--project-dir", str(profiled_project),
                       "--port", str(taken.getsockname()[1]), timeout=60)
    assert done.returncode == 2 and "Error: cannot listen on 127.0.0.1 port" in done.stderr
    assert "Traceback" not in done.stderr
