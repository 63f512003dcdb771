"""The `zel` command."""

from __future__ import annotations

import logging
from dataclasses import dataclass
from pathlib import Path

import click

from kor import __version__

MODES = ("explorative", "minimal", "sensitive", "time-series")


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
@click.option("--project-dir", type=click.Path(file_okay=False, path_type=Path), default=".",
              show_default=True, help="The project folder.")
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
