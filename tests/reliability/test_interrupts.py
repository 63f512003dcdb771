"""An interrupt on a wide table stops the table's column work without waiting for all of it."""

from __future__ import annotations

import pytest

from tests.builders import flags, manifest, source
from tests.faults import Fault, FaultyAdapter, InstantAdapter, install

COLUMNS = [f"c{i:02d}" for i in range(50)]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_cancels_queued_columns(make_task, monkeypatch, plain_output, capsys,
                                          interrupt):
    faulty = install(monkeypatch, FaultyAdapter(InstantAdapter(delay=0.05)))
    faulty.arm(Fault("execute", error=interrupt, match=lambda args: '"c02"' in args[0]))
    wide = manifest(source("raw", "wide", columns=[(name, "DATE") for name in COLUMNS]))
    with pytest.raises(interrupt):
        make_task(flags(THREADS=2), wide).run()
    queried = {name for name in COLUMNS
               for operation, args in faulty.calls
               if operation == "execute" and f'"{name}"' in args[0]}
    # c02 raised; at most the column running beside it, and the one it took up, finish.
    assert len(queried) <= 5, sorted(queried)
