"""A throw-away PostgreSQL cluster on a loopback port, for the tests and for CI.

`python3 tests/pg_server.py start DIR` prints `export KOR_TEST_PG=...` lines for a shell;
`python3 tests/pg_server.py stop DIR` stops it. The tests start one themselves when the
variable is not set. `initdb` refuses to run as root, so as root the cluster belongs to the
`postgres` system user.
"""

from __future__ import annotations

import glob
import os
import shutil
import socket
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

USER = "kor"
PASSWORD = "kor-test-password"
DATABASE = "kor_test"


class ServerUnavailable(Exception):
    """No PostgreSQL server binaries, or the cluster would not start."""


def find_bindir() -> Path:
    candidates = [os.environ.get("KOR_PG_BINDIR", "")]
    pg_config = shutil.which("pg_config")
    if pg_config:
        candidates.append(subprocess.run([pg_config, "--bindir"], capture_output=True,
                                         text=True).stdout.strip())
    candidates += sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True)
    for candidate in candidates:
        if candidate and (Path(candidate) / "initdb").is_file():
            return Path(candidate)
    raise ServerUnavailable("no PostgreSQL server binaries (initdb) found; "
                            "install Debian's postgresql package or set KOR_PG_BINDIR")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _as_owner(command: list[str]) -> list[str]:
    if os.geteuid() != 0:
        return command
    return ["runuser", "-u", "postgres", "--", *command]


def _environment(**extra: str) -> dict[str, str]:
    # A sanitized test run preloads its runtime into every child; the server must not get it.
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    return {**environment, **extra}


def _run(command: list[str], what: str) -> None:
    result = subprocess.run(_as_owner(command), capture_output=True, text=True, timeout=120,
                            env=_environment())
    if result.returncode != 0:
        raise ServerUnavailable(f"{what} failed: {(result.stderr or result.stdout).strip()}")


@dataclass
class Server:
    bindir: Path
    root: Path
    port: int

    @property
    def data(self) -> Path:
        return self.root / "data"

    def settings(self, **overrides: object) -> dict[str, object]:
        """A target of zel_project.yml for this server's test database."""
        return {"type": "postgres", "host": "127.0.0.1", "port": self.port, "dbname": DATABASE,
                "user": USER, "password": PASSWORD, **overrides}

    @property
    def dsn(self) -> str:
        return (f"host=127.0.0.1 port={self.port} dbname={DATABASE} user={USER} "
                f"password={PASSWORD}")

    def pg_ctl(self, *arguments: str) -> None:
        _run([str(self.bindir / "pg_ctl"), "-D", str(self.data), *arguments], "pg_ctl")

    def start(self) -> None:
        self.pg_ctl("start", "-w", "-t", "60", "-l", str(self.root / "server.log"),
                    "-o", f"-p {self.port} -k {self.root} -c listen_addresses=127.0.0.1 "
                          "-c fsync=off -c synchronous_commit=off -c full_page_writes=off "
                          "-c max_connections=100")

    def stop(self, mode: str = "fast") -> None:
        self.pg_ctl("stop", "-w", "-m", mode)


def connect(server: Server):
    """A superuser session on the test database, with write access."""
    import psycopg

    return psycopg.connect(server.dsn, autocommit=True)


def start(root: Path) -> Server:
    """initdb a cluster under `root`, start it and create the test database."""
    bindir = find_bindir()
    root.mkdir(parents=True, exist_ok=True)
    if os.geteuid() == 0:
        shutil.chown(root, "postgres", "postgres")
    password_file = root / "password"
    password_file.write_text(PASSWORD + "\n")
    if os.geteuid() == 0:
        shutil.chown(password_file, "postgres", "postgres")
    server = Server(bindir, root, _free_port())
    _run([str(bindir / "initdb"), "-D", str(server.data), "-U", USER, "--auth=scram-sha-256",
          f"--pwfile={password_file}", "-E", "UTF8", "--locale=C"], "initdb")
    server.start()
    result = subprocess.run([str(bindir / "createdb"), "-h", "127.0.0.1", "-p", str(server.port),
                             "-U", USER, DATABASE], capture_output=True, text=True,
                            env=_environment(PGPASSWORD=PASSWORD), timeout=60)
    if result.returncode != 0:
        server.stop("immediate")
        raise ServerUnavailable(f"createdb failed: {result.stderr.strip()}")
    return server


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[0] not in ("start", "stop"):
        print("usage: pg_server.py start|stop DIR", file=sys.stderr)
        return 2
    root = Path(argv[1]).resolve()
    if argv[0] == "stop":
        port = int((root / "port").read_text())
        Server(find_bindir(), root, port).stop()
        return 0
    try:
        server = start(root)
    except ServerUnavailable as exc:
        print(f"pg_server: {exc}", file=sys.stderr)
        return 1
    (root / "port").write_text(str(server.port))
    print(f"export KOR_TEST_PG='{server.dsn}'")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
