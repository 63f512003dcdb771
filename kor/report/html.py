"""The HTML report's pages, rendered from the Jinja2 templates beside this module, and where
their links lead when served and inside the single file.

Autoescaping is on for every template and nothing from the store is marked safe: stored text
always reaches a page as text. Figures are formatted by `kor.report.figures`, registered as
filters.
"""

from __future__ import annotations

from functools import cache
from pathlib import Path
from typing import Any
from urllib.parse import quote, urlencode

from jinja2 import Environment, PackageLoader, StrictUndefined

from kor import text
from kor.compute.metadata.records import TableKey
from kor.report import content, figures
from kor.report.content import AlertsView, Overview, TableView

# Seconds a browser waits before asking again while a run holds the store.
RETRY_SECONDS = 10


def report_title(project: str | None) -> str:
    return f"{project} profile report" if project else "Profile report"


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
    environment.filters.update(number=text.number, percent=figures.percent,
                               lengths=figures.lengths, timestamp=figures.timestamp,
                               minimum=lambda c: figures.extremes(c.row, c.data_type)[0],
                               maximum=lambda c: figures.extremes(c.row, c.data_type)[1],
                               duration=figures.duration,
                               share=lambda row, field: figures.share(row, getattr(row, field)),
                               freshness=lambda line: figures.freshness(line.shown, line.rows))
    environment.globals.update(qualified=text.qualified, signed=figures.signed,
                               MISSING=text.MISSING, SEVERITIES=content.SEVERITIES,
                               status=content.status, report_title=report_title,
                               column_id=column_id)
    return environment


def _render(template: str, **context: Any) -> str:
    return _environment().get_template(template).render(**context)


def column_id(name: str) -> str:
    """The id of a column's row on its table's page: the name percent-encoded, so any name
    makes an id that a link's fragment names unchanged (no space, quote or markup in it)."""
    return "col-" + quote(name, safe="")


def table_url(source_name: str, table_name: str, run_id: int | None = None) -> str:
    """The served page of a table (in one run); names may hold any character, '/' included."""
    url = f"/table/{quote(source_name, safe='')}/{quote(table_name, safe='')}"
    return url if run_id is None else f"{url}?run={run_id}"


class ServedLinks:
    """Addresses of the served pages; filters and runs go in the query."""

    home = "/"

    def overview(self, page: int, query: str, sort: str = content.DEFAULT_SORT,
                 order: content.Order = content.Order.ASC) -> str:
        # The default sort, by name upwards, goes without saying; any other names both.
        sorting = [] if (sort, order) == (content.DEFAULT_SORT, content.Order.ASC) else [
            ("sort", sort), ("order", str(order))]
        asked = urlencode([(name, value) for name, value in (("q", query), *sorting,
                                                               ("page", page))
                           if value not in ("", 1)])
        return "/" + (f"?{asked}" if asked else "")

    def table(self, key: TableKey, run_id: int | None = None) -> str:
        return table_url(*key, run_id)

    def column(self, key: TableKey, name: str) -> str:
        return f"{table_url(*key)}#{column_id(name)}"

    def alerts(self, severity: str | None = None, alert_type: str | None = None) -> str:
        query = urlencode([(name, value) for name, value in
                           (("severity", severity), ("type", alert_type)) if value is not None])
        return "/alerts" + (f"?{query}" if query else "")


SERVED = ServedLinks()


class FileLinks:
    """Anchors inside the single file: one section per table, holding its latest profile
    (other runs' profiles are the served report's)."""

    home = "#overview"

    def __init__(self, keys: list[TableKey]) -> None:
        self.anchors = {key: f"t{index}" for index, key in enumerate(keys, start=1)}

    def table(self, key: TableKey, run_id: int | None = None) -> str | None:
        return None if run_id is not None else "#" + self.anchors[key]

    def column(self, key: TableKey, name: str) -> str:
        # Every table's rows are in the one file: their ids start with their section's.
        return f"#{self.anchors[key]}-{column_id(name)}"

    def alerts(self, severity: str | None = None, alert_type: str | None = None) -> str:
        return "#alerts"


def _served(template: str, project: str | None, **context: Any) -> str:
    return _render(template, project=project, home=SERVED.home, alerts_home=SERVED.alerts(),
                   **context)


def overview_page(view: Overview) -> str:
    return _served("overview.html", view.project, overview=view)


def table_page(view: TableView) -> str:
    return _served("table.html", view.project, view=view)


def alerts_page(view: AlertsView) -> str:
    return _served("alerts.html", view.project, view=view)


def report_file(overview: Overview, alerts: AlertsView, tables: list[TableView]) -> str:
    """The whole report as one self-contained page: sections and anchors instead of routes.
    `tables` are the overview's, in its order."""
    anchors = [str(line.href).removeprefix("#") for line in overview.lines]
    return _render("report.html", project=overview.project, home=FileLinks.home,
                   alerts_home="#alerts", overview=overview, alerts=alerts,
                   sections=list(zip(anchors, tables, strict=True)))


def message_page(title: str, message: str, project: str | None = None,
                 retry_seconds: int | None = None) -> str:
    return _render("message.html", title=title, message=message, project=project,
                   retry_seconds=retry_seconds)


def empty_store_page(store_path: Path, project: str | None = None) -> str:
    return message_page("No profiles yet",
                        f"The metadata store {store_path} holds no profiles yet: "
                        "run `zel profile run` first, then reload this page.", project)


def not_found_page(what: str, project: str | None = None) -> str:
    return message_page("Not found", f"No stored profile for {what}.", project)


def busy_page(project: str | None = None) -> str:
    return message_page("A run is in progress",
                        "A profile run holds the metadata store until it ends. This page "
                        f"asks again every {RETRY_SECONDS} seconds.", project, RETRY_SECONDS)
