"""The `zel` command."""

from __future__ import annotations

import logging
from dataclasses import dataclass
from pathlib import Path

import click

from kor import __version__

MODES = ("explorative", "minimal", "sensitive", "time-series")

PROJECT_DIR = click.option("--project-dir", type=click.Path(file_okay=False, path_type=Path),
                           default=".", show_default=True, help="The project folder.")


@dataclass
class ProfileFlags:
    """What the profiling task reads of the command line."""

    MODE: str
    THREADS: int
    SELECT: tuple[tuple[str, ...], ...]
    EXCLUDE: tuple[tuple[str, ...], ...]


def _split(values: tuple[str, ...]) -> tuple[tuple[str, ...], ...]:
    # Each option value may hold several selectors separated by spaces: one tuple per value.
    return tuple(tuple(value.split()) for value in values if value.split())


def run_profile(project_dir: Path, target: str | None, flags: ProfileFlags) -> bool:
    from kor.adapters.factory import close_adapters, get_adapter
    from kor.compute.metadata import ProjectMetadataStore
    from kor.config.runtime import RuntimeConfig
    from kor.project.loader import load_manifest
    from kor.task.profile import ProfileTask

    config = RuntimeConfig.load(project_dir, target)
    # A pooled warehouse opens as many sessions as the run has threads.
    config.target["threads"] = flags.THREADS
    manifest = load_manifest(config)
    # An unreachable warehouse stops the command with one line before anything is profiled;
    # the task then gets the same, cached adapter.
    get_adapter(config)
    try:
        task = ProfileTask(flags, config, manifest)
        with ProjectMetadataStore.held(config.project_root):
            return task.interpret_results(task.run())
    finally:
        close_adapters()


@click.group()
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
@click.option("--mode", type=click.Choice(MODES), default="explorative", show_default=True)
@click.option("--threads", type=click.IntRange(min=1), default=4, show_default=True)
def profile_run(project_dir: Path, target: str | None, select: tuple[str, ...],
                exclude: tuple[str, ...], mode: str, threads: int) -> None:
    """Profile every column of the selected sources and models."""
    from kor.adapters.factory import AdapterError
    from kor.project.loader import ProjectError

    flags = ProfileFlags(MODE=mode, THREADS=threads, SELECT=_split(select),
                         EXCLUDE=_split(exclude))
    try:
        succeeded = run_profile(project_dir, target, flags)
    except (ProjectError, AdapterError) as exc:
        click.echo(f"Error: {exc}", err=True)
        raise SystemExit(2) from None
    raise SystemExit(0 if succeeded else 1)


def _store(project_dir: Path):
    """The project's metadata store; the folder must be a project, so a typo reads as one."""
    from kor.compute.metadata import ProjectMetadataStore
    from kor.project.loader import PROJECT_FILE

    project_file = project_dir / PROJECT_FILE
    if not project_file.is_file():
        click.echo(f"Error: {project_file}: file not found", err=True)
        raise SystemExit(2)
    return ProjectMetadataStore(project_dir.resolve())


def _nothing_stored(store) -> None:
    click.echo(f"No profiles stored yet in {store.path}: run `zel profile run` first.", err=True)
    raise SystemExit(1)


def _unreadable(store, exc: Exception) -> None:
    click.echo(f"Error: cannot read the metadata store {store.path}: {exc}", err=True)
    raise SystemExit(1)


@profile.command("show")
@PROJECT_DIR
@click.option("--table", default=None, help="Only this table: NAME or SOURCE.NAME.")
def profile_show(project_dir: Path, table: str | None) -> None:
    """Print the latest stored profile of each table."""
    import duckdb
    from rich.console import Console

    from kor.report.console import print_profiles

    store = _store(project_dir)
    try:
        rows = store.latest_profiles(table)
        if not rows and table is not None and store.profiled_tables():
            click.echo(f"No stored profile for table '{table}'.", err=True)
            raise SystemExit(1)
    except duckdb.Error as exc:
        _unreadable(store, exc)
    if not rows:
        _nothing_stored(store)
    print_profiles(Console(), rows)


@profile.command("serve")
@PROJECT_DIR
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", type=click.IntRange(0, 65535), default=8080, show_default=True,
              help="Port to listen on (0: any free port).")
def profile_serve(project_dir: Path, host: str, port: int) -> None:
    """Serve the stored profiles as an HTML report until Ctrl-C."""
    from kor.report.server import ReportServer

    store = _store(project_dir)
    try:
        server = ReportServer(store, host, port)
    except (OSError, ValueError) as exc:
        click.echo(f"Error: cannot listen on {host} port {port}: {exc}", err=True)
        raise SystemExit(2) from None
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

    from kor.report.site import report_document

    store = _store(project_dir)
    try:
        document = report_document(store)
    except duckdb.Error as exc:
        _unreadable(store, exc)
    if document is None:
        _nothing_stored(store)
    try:
        output.write_text(document, encoding="utf-8")
    except OSError as exc:
        click.echo(f"Error: cannot write {output}: {exc.strerror or exc}", err=True)
        raise SystemExit(2) from None
    click.echo(f"Wrote the profile report to {output}")
