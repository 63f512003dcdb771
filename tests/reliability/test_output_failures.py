"""`zel` writing to a full disk or into a pipe closed early: one line or none, no traceback."""

from __future__ import annotations

import fcntl
import os
import subprocess
import sys
from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import ZEL, run_zel, stored_rows, write_project

# The task's plain path: Rich cannot be imported. `show` has no plain path.
PLAIN = [sys.executable, "-c",
         "import sys; sys.modules['rich'] = None; from kor.cli import main; main()"]
COMMANDS = [pytest.param(ZEL, "run", id="run-rich"), pytest.param(PLAIN, "run", id="run-plain"),
            pytest.param(ZEL, "show", id="show")]
# Long names make every table's line long: the output outgrows the pipe set up below.
TABLES = [f"t{i:02d}_{'x' * 90}" for i in range(60)]


def command_line(tmp_path: Path, zel: list[str], command: str) -> list[str]:
    project = write_project(tmp_path, "sources:\n  - name: raw\n    schema: main\n    tables:\n"
                            + "".join(f"      - {{name: {name}}}\n" for name in TABLES),
                            [f"CREATE TABLE {name} AS SELECT 1 AS id" for name in TABLES])
    if command == "show":
        assert run_zel("profile", "run", "--project-dir", str(project)).returncode == 0
    return [*zel, "profile", command, "--project-dir", str(project),
            *(["--threads", "1"] if command == "run" else [])]


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
@pytest.mark.parametrize("zel, command", COMMANDS)
def test_a_full_disk_is_one_line_and_status_1(tmp_path, zel, command):
    with open("/dev/full", "w") as full:
        done = subprocess.run(command_line(tmp_path, zel, command), stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (
        1, "Error: cannot write to standard output: No space left on device\n")


@pytest.mark.skipif(not hasattr(fcntl, "F_SETPIPE_SZ"), reason="needs Linux pipes")
@pytest.mark.parametrize("zel, command", COMMANDS)
def test_a_pipe_closed_early_ends_quietly_keeping_what_was_stored(tmp_path, zel, command):
    read_end, write_end = os.pipe()
    # One page of pipe: the command blocks on it, so it is still writing when the pipe closes.
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    with subprocess.Popen(command_line(tmp_path, zel, command), stdout=write_end,
                          stderr=subprocess.PIPE, text=True) as process:
        os.close(write_end)
        with open(read_end, "rb", buffering=0) as pipe:  # unbuffered: reads one line, no more
            line = pipe.readline()
            while command == "run" and line and b"OK" not in line:  # the first table's line
                line = pipe.readline()
        _, stderr = process.communicate(timeout=120)
    assert (process.returncode, stderr) == (1, "")
    if command == "run":
        # Only the output was lost: the profiling went on to its end, and says how it ended.
        assert {table for table, _ in stored_rows(tmp_path)} == set(TABLES)
        with duckdb.connect(str(tmp_path / ".zel" / "metadata_store.duckdb"),
                            read_only=True) as connection:
            assert connection.execute("SELECT status, exit_status FROM runs").fetchall() == [
                ("completed", 1)]
