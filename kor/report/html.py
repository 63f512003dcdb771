"""The HTML report's pages, rendered from the Jinja2 templates beside this module.

Autoescaping is on for every template and nothing from the store is marked safe: stored text
always reaches a page as text. Figures are formatted by `kor.report.figures`, registered as
filters.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import cache
from pathlib import Path
from typing import Any
from urllib.parse import quote

from jinja2 import Environment, PackageLoader, StrictUndefined

from kor.compute.metadata import ColumnProfileResult, ProfiledTable, TableRun
from kor.report import content, figures


@cache
def _environment() -> Environment:
    # Built once per process: each template is compiled on first use and kept; the templates
    # ship inside the package, so they are not checked for changes on every page.
    environment = Environment(
        loader=PackageLoader("kor.report", "templates"),
        autoescape=True,
        undefined=StrictUndefined,
        auto_reload=False,
        trim_blocks=True,
        lstrip_blocks=True,
        keep_trailing_newline=True,
    )
    environment.filters.update(number=figures.number, percent=figures.percent,
                               lengths=figures.lengths, timestamp=figures.timestamp)
    environment.globals.update(qualified=figures.qualified, MISSING=figures.MISSING,
                               SEVERITIES=content.SEVERITIES)
    return environment


def _render(template: str, **context: Any) -> str:
    return _environment().get_template(template).render(**context)


def table_url(source_name: str, table_name: str) -> str:
    """The served page of a table; names may hold any character, '/' included."""
    return f"/table/{quote(source_name, safe='')}/{quote(table_name, safe='')}"


def overview(tables: list[ProfiledTable], link: Callable[[ProfiledTable], str]) -> str:
    """The latest run of every stored table; `link` gives each table's address."""
    return _render("overview.html", overview=content.overview(tables, link))


def table_page(columns: list[ColumnProfileResult], runs: list[TableRun], back: str) -> str:
    """One table's latest profile, its alerts, its top values and its history."""
    return _render("table.html", section=content.section(columns, runs), back=back)


def report_file(tables: list[ProfiledTable],
                sections: list[tuple[list[ColumnProfileResult], list[TableRun]]]) -> str:
    """The whole report as one self-contained page: sections and anchors instead of routes.

    `sections` holds the columns and the history of each of `tables`, in the same order.
    """
    anchors = {(t.source_name, t.table_name): f"t{i}" for i, t in enumerate(tables, start=1)}
    return _render(
        "report.html",
        overview=content.overview(tables, lambda t: "#" + anchors[t.source_name, t.table_name]),
        sections=[(anchors[table.source_name, table.table_name], content.section(columns, runs))
                  for table, (columns, runs) in zip(tables, sections, strict=True)])


def message_page(title: str, message: str) -> str:
    return _render("message.html", title=title, message=message)


def empty_store_page(store_path: Path) -> str:
    return message_page("No profiles yet",
                        f"The metadata store {store_path} holds no profiles yet: "
                        "run `zel profile run` first, then reload this page.")


def not_found_page(what: str) -> str:
    return message_page("Not found", f"No stored profile for {what}.")
