"""The `zel` command: parses, calls the library, and turns known failures into exit statuses."""

from __future__ import annotations

import errno
import logging
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import IO, Any, TextIO, cast

import click

from kor import __version__
from kor.adapters.factory import AdapterError
from kor.compute.metadata import store_path
from kor.profiling import (
    DEFAULT_MODE,
    MODES,
    StoreReadError,
    latest_profiles,
    open_reader,
    profile_project,
    profiled_tables,
)
from kor.project.loader import ProjectError

PROJECT_DIR = click.option("--project-dir", type=click.Path(file_okay=False, path_type=Path),
                           default=".", show_default=True, help="The project folder.")

class CommandFailure(click.ClickException):
    """A run or a read that failed: "Error: …" on stderr, exit status 1."""

    exit_code = 1
    prefix = "Error: "

    def show(self, file: IO[Any] | None = None) -> None:
        click.echo(f"{self.prefix}{self.format_message()}", file=file, err=True)


class UnusableInput(CommandFailure):
    """A usage, project or warehouse error: exit status 2."""

    exit_code = 2


class NothingStored(CommandFailure):
    """The store holds nothing for what was asked: the line as it stands, exit status 1."""

    prefix = ""


@contextmanager
def known_failures() -> Iterator[None]:
    """The library's known errors as one line and an exit status; anything else is a bug."""
    try:
        yield
    except (ProjectError, AdapterError) as exc:
        raise UnusableInput(str(exc)) from None
    except StoreReadError as exc:
        raise CommandFailure(str(exc)) from None


class _WatchedOutput:
    """sys.stdout that remembers its first failed write.

    The failure cannot be told from the exception alone, and it need not arrive: the task
    takes an exception inside a table as the table's failure, and a failed flush drops the
    buffer.
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.error: OSError | None = None

    def _failed(self, exc: OSError) -> None:
        if self.error is None:
            self.error = exc

    def write(self, text: str) -> int:
        try:
            return self.stream.write(text)
        except OSError as exc:
            self._failed(exc)
            raise

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as exc:
            self._failed(exc)
            raise

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


@contextmanager
def watched_stdout() -> Iterator[None]:
    """A command whose output cannot be written (a full disk) ends with one line on stderr and
    exit status 1; a closed pipe is left to click, which ends quietly."""
    output = _WatchedOutput(sys.stdout)
    sys.stdout = cast(TextIO, output)
    try:
        yield
        output.flush()
    except Exception:
        if output.error is None:
            raise
        # What failed in the command was its output; the line below says so.
    finally:
        sys.stdout = output.stream
    if output.error is None:
        return
    if output.error.errno == errno.EPIPE:
        raise output.error
    # The interpreter flushes stdout again at exit: let that write go nowhere, quietly.
    with suppress(OSError), open(os.devnull, "w") as sink:
        os.dup2(sink.fileno(), output.stream.fileno())
    raise CommandFailure(f"cannot write to standard output: "
                         f"{output.error.strerror or output.error}") from None


class _Zel(click.Group):
    def invoke(self, ctx: click.Context) -> Any:
        with watched_stdout():
            return super().invoke(ctx)


def _nothing_stored(project_dir: Path) -> NothingStored:
    return NothingStored(f"No profiles stored yet in {store_path(project_dir.resolve())}: "
                         "run `zel profile run` first.")


@click.group(cls=_Zel)
@click.version_option(__version__, prog_name="zel")
def main() -> None:
    """zel: build, test and profile a kor SQL project."""
    # The pool reports each failed reconnection on stderr, across the live display; the
    # tables that fail carry the server's message already.
    logging.getLogger("psycopg.pool").setLevel(logging.CRITICAL)


@main.group()
def profile() -> None:
    """Profile the project's sources and models."""


@profile.command("run")
@PROJECT_DIR
@click.option("--target", default=None, help="Target of zel_project.yml (default: its own).")
@click.option("-s", "--select", multiple=True, help="Selectors: source:GLOB, model:GLOB, a glob "
              "or an exact name; several per value, separated by spaces.")
@click.option("--exclude", multiple=True, help="Selectors of nodes to leave out.")
@click.option("--mode", type=click.Choice(MODES), default=DEFAULT_MODE, show_default=True)
@click.option("--threads", type=click.IntRange(min=1), default=4, show_default=True)
def profile_run(project_dir: Path, target: str | None, select: tuple[str, ...],
                exclude: tuple[str, ...], mode: str, threads: int) -> None:
    """Profile every column of the selected sources and models."""
    with known_failures():
        run = profile_project(project_dir, target=target, select=select, exclude=exclude,
                              mode=mode, threads=threads)
    if not run.succeeded:
        raise click.exceptions.Exit(CommandFailure.exit_code)


@profile.command("show")
@PROJECT_DIR
@click.option("--table", default=None, help="Only this table: NAME or SOURCE.NAME.")
def profile_show(project_dir: Path, table: str | None) -> None:
    """Print the latest stored profile of each table."""
    from rich.console import Console

    from kor.report.console import print_profiles

    with known_failures():
        rows = latest_profiles(project_dir, table)
        if not rows and table is not None and profiled_tables(project_dir):
            raise NothingStored(f"No stored profile for table '{table}'.")
    if not rows:
        raise _nothing_stored(project_dir)
    print_profiles(Console(), rows)


@profile.command("serve")
@PROJECT_DIR
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", type=click.IntRange(0, 65535), default=8080, show_default=True,
              help="Port to listen on (0: any free port).")
def profile_serve(project_dir: Path, host: str, port: int) -> None:
    """Serve the stored profiles as an HTML report until Ctrl-C."""
    from kor.compute.metadata import ProjectMetadataStore
    from kor.report.server import ReportServer

    with known_failures():
        open_reader(project_dir)
    store = ProjectMetadataStore(project_dir.resolve())
    try:
        server = ReportServer(store, host, port)
    except (OSError, ValueError) as exc:
        raise UnusableInput(f"cannot listen on {host} port {port}: {exc}") from None
    try:
        with server:
            click.echo(f"Serving the profile report at {server.url} (Ctrl-C to stop)")
            if not server.is_loopback:
                click.echo("Warning: the report is reachable from other machines.", err=True)
            server.serve_forever()
    except KeyboardInterrupt:
        click.echo("Stopped.")


@profile.command("report")
@PROJECT_DIR
@click.option("--output", required=True, type=click.Path(dir_okay=False, path_type=Path),
              help="The HTML file to write.")
def profile_report(project_dir: Path, output: Path) -> None:
    """Write the stored profiles as one self-contained HTML file."""
    import duckdb

    from kor.compute.metadata import ProjectMetadataStore
    from kor.report.site import report_document

    with known_failures():
        reader = open_reader(project_dir)
    store = ProjectMetadataStore(project_dir.resolve())
    try:
        document = report_document(store)
    except duckdb.Error as exc:
        raise CommandFailure(f"cannot read the metadata store {reader.path}: {exc}") from None
    if document is None:
        raise _nothing_stored(project_dir)
    try:
        output.write_text(document, encoding="utf-8")
    except OSError as exc:
        raise UnusableInput(f"cannot write {output}: {exc.strerror or exc}") from None
    click.echo(f"Wrote the profile report to {output}")
