"""The `zel` command."""

from __future__ import annotations

import click

from kor import __version__


@click.group()
@click.version_option(__version__, prog_name="zel")
def main() -> None:
    """zel: build, test and profile a kor SQL project."""


@main.group()
def profile() -> None:
    """Profile the project's sources and models."""
