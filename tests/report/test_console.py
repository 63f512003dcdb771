"""`zel profile show`'s tables: stored text reaches the terminal as text, never as controls."""

from __future__ import annotations

import io
import json

import pytest
from rich.console import Console

from kor.report import content, site
from kor.report.console import print_alerts, print_overview, print_table
from tests.builders import stored_row
from tests.report.conftest import alerts

CONTROLS = {chr(code) for code in (*range(0x20), *range(0x7F, 0xA0))}


def test_control_characters_in_stored_text_are_shown_escaped(fill_store):
    # A window title, a screen clear, NUL, DEL, a C1 CSI, and the layout's own controls.
    hostile = "café\x1b]0;owned\x07名\x1b[2J\x00\x7f\x9b\r\n\t"
    shown = r"café\x1b]0;owned\x07名\x1b[2J\x00\x7f\x9b\x0d\x0a\x09"
    store = fill_store(stored_row(hostile, hostile, hostile, profile_mode=hostile,
                                  top_values=json.dumps([{"value": hostile, "count": 2}]),
                                  alerts=alerts((hostile, hostile, hostile))))
    whole = site.document(site.ReportSource.for_store(store.path), lambda _: content.NoLinks())
    output = io.StringIO()
    terminal = Console(file=output, width=1000, color_system=None)
    print_overview(terminal, whole.overview)
    print_table(terminal, whole.tables[0], detail=True)
    print_alerts(terminal, content.alerts_view(None, [(t.key, t.columns) for t in whole.tables],
                                               content.NoLinks()))
    printed = output.getvalue()
    assert not (CONTROLS - {"\n"}) & set(printed)
    # the table in the overview, the run's title, the alerts list; the alert line; the
    # column, the mode, the alert's severity, type and message in their cells
    assert printed.count(f"{shown}.{shown}") == 3, printed
    assert f"{shown}: {shown} {shown}" in printed
    assert printed.count(f"│ {shown} ") >= 5


@pytest.mark.parametrize("width, wide", [(80, False), (120, False), (250, False), (80, True)])
def test_column_tables_keep_what_fits_and_name_what_they_leave_out(fill_store, width, wide):
    from kor.report.console import COLUMN_HEADINGS

    store = fill_store(*(stored_row(column_name=f"customer_{i}", mean_value=2503.559175 + i,
                                    stddev_value=1445.48615666734, min_value=1.0,
                                    max_value=5000.0, p25=1251.0, p50=2501.0, p75=3760.0)
                         for i in range(3)))
    whole = site.document(site.ReportSource.for_store(store.path), lambda _: content.NoLinks())
    output = io.StringIO()
    print_table(Console(file=output, width=width, color_system=None), whole.tables[0],
                wide=wide)
    lines = output.getvalue().splitlines()
    header = next(line for line in lines if line.startswith("┃"))
    shown = [cell.strip() for cell in header.strip("┃").split("┃")]
    left_out = [h for h in COLUMN_HEADINGS if h not in shown]
    if wide:  # folded to fit, but all there
        assert "left out" not in output.getvalue() and len(shown) == len(COLUMN_HEADINGS)
    else:
        # Every line fits, no heading is broken, and what was left out is named once.
        assert max(len(line) for line in lines) <= width and set(shown) <= set(COLUMN_HEADINGS)
        assert {"column", "null %", "distinct %", "min", "max", "alerts"} <= set(shown)
        named = [line for line in lines if "left out at" in line]
        assert (named[0].startswith(", ".join(left_out)) if left_out else not named)
    assert ("2,503.559175" in output.getvalue()) == ("mean" in shown)
