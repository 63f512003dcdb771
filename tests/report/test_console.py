"""`zel profile show`'s tables: stored text reaches the terminal as text, never as controls."""

from __future__ import annotations

import io

from rich.console import Console

from kor.report.console import print_profiles
from tests.builders import stored_row
from tests.report.conftest import alerts

CONTROLS = {chr(code) for code in (*range(0x20), *range(0x7F, 0xA0))}


def test_control_characters_in_stored_text_are_shown_escaped():
    # A window title, a screen clear, NUL, DEL, a C1 CSI, and the layout's own controls.
    hostile = "café\x1b]0;owned\x07名\x1b[2J\x00\x7f\x9b\r\n\t"
    shown = r"café\x1b]0;owned\x07名\x1b[2J\x00\x7f\x9b\x0d\x0a\x09"
    row = stored_row(hostile, hostile, hostile, profile_mode=hostile,
                     alerts=alerts((hostile, hostile, hostile)))
    output = io.StringIO()
    print_profiles(Console(file=output, width=1000, color_system=None), [row])
    printed = output.getvalue()
    assert not (CONTROLS - {"\n"}) & set(printed)
    # source and table in the title, the mode, the column in its table and in the alert line,
    # the alert's severity, type and message
    assert printed.count(shown) == 8, printed
