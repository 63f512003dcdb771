"""Loads `zel profile serve` with concurrent clients over loopback.

The server runs in a process of its own (as `zel profile serve` does) on 127.0.0.1, over the
store of 200 tables of 50 columns in 20 runs; the clients are threads here, each making its
share of a bounded number of requests, a new connection for each. Pages asked in turn: the
table pages (of every table), the overview and the alerts. Every answer other than a 200
is counted; the latencies are of all requests, from connecting to the last byte.

Run: .venv/bin/python bench/serve.py [--tables T] [--columns C] [--runs R] [--requests N]
"""

from __future__ import annotations

import argparse
import http.client
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.stores import fill, timed  # noqa: E402
from kor.compute.metadata import open_store  # noqa: E402

CLIENTS = (1, 16, 200)
# A request that takes longer than this counts as failed: the bench ends whatever happens.
TIMEOUT_SECONDS = 120.0

SERVER = """
import sys
from pathlib import Path
from kor.report.server import ReportServer
from kor.report.site import ReportSource
with ReportServer(ReportSource.for_store(Path(sys.argv[1])), "127.0.0.1", 0) as server:
    print(server.bound_to[1], flush=True)
    server.serve_forever()
"""


def page(index: int, tables: int) -> str:
    """Mostly table pages, of every table in turn, as a reader browsing the report asks."""
    if index % 20 == 0:
        return "/"
    if index % 20 == 10:
        return "/alerts"
    return f"/table/raw/table_{index % tables}"


def request(port: int, path: str) -> tuple[int | str, float]:
    """The status of one GET (or the error's name), and its seconds."""
    begin = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT_SECONDS)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        response.read()
        status: int | str = response.status
    except (OSError, http.client.HTTPException) as exc:
        status = type(exc).__name__
    finally:
        connection.close()
    return status, time.perf_counter() - begin


def load(port: int, clients: int, requests: int, tables: int
         ) -> tuple[float, list[float], Counter[int | str]]:
    """`requests` requests shared by `clients` threads: seconds taken, latencies, statuses."""
    latencies: list[float] = []
    statuses: Counter[int | str] = Counter()
    lock = threading.Lock()
    start = threading.Barrier(clients + 1)

    def client(first: int) -> None:
        start.wait()
        for index in range(first, requests, clients):
            status, seconds = request(port, page(index, tables))
            with lock:
                latencies.append(seconds)
                statuses[status] += 1

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for thread in threads:
        thread.start()
    start.wait()
    begin = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - begin, latencies, statuses


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tables", type=int, default=200)
    parser.add_argument("--columns", type=int, default=50)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--requests", type=int, default=400,
                        help="requests per level of concurrency (at least one per client)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = fill(Path(folder), options.tables, options.columns, options.runs, churn=False)
        best, median = timed(lambda: open_store(path, read_only=True).close(), 20)
        print(f"{options.tables:,} tables x {options.columns:,} columns x {options.runs} runs; "
              f"opening the store read-only: best {best:.1f} ms, median {median:.1f} ms")
        print(f"{'clients':>7}{'requests':>10}{'not 200':>9}{'req/s':>8}{'p50 ms':>9}"
              f"{'p99 ms':>9}  other answers")
        with subprocess.Popen([sys.executable, "-c", SERVER, str(path)],
                              stdout=subprocess.PIPE, text=True) as server:
            try:
                assert server.stdout is not None
                port = int(server.stdout.readline())
                request(port, "/")  # templates compiled, caches warm
                for clients in CLIENTS:
                    count = max(options.requests, clients)
                    seconds, latencies, statuses = load(port, clients, count, options.tables)
                    failed = count - statuses[200]
                    other = ", ".join(f"{status}: {n}" for status, n in statuses.items()
                                      if status != 200)
                    print(f"{clients:>7}{count:>10}{failed:>9}{count / seconds:>8.1f}"
                          f"{statistics.median(latencies) * 1000:>9.0f}"
                          f"{percentile(latencies, 0.99) * 1000:>9.0f}  {other or '-'}")
            finally:
                server.terminate()
                server.wait(timeout=30)


if __name__ == "__main__":
    main()
