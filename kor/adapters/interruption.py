"""Cancelling an adapter's running statements from a signal handler, and telling the caller."""

from __future__ import annotations

import itertools
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Generic, TypeVar

Handle = TypeVar("Handle")

# After an interrupt, statements still running are cancelled again at these offsets (seconds),
# then every half second while any runs, for at most CANCEL_FOR_SECONDS: a statement that
# started just as a cancel went out would not see it, and Spark cancels jobs, not a query
# still being planned.
CANCEL_ROUNDS = (0.0, 0.1, 0.3, 0.7, 1.5)
CANCEL_FOR_SECONDS = 30.0


class Interruption(Generic[Handle]):
    """The statements running on an adapter's sessions, one per thread, and the interrupt.

    `cancel(handle)` cancels what runs on one session; `is_driver_interrupt(exc)` tells a
    driver's own exception for a cancelled statement (DuckDB raises one on Ctrl-C, not
    KeyboardInterrupt).
    """

    def __init__(self, cancel: Callable[[Handle], None],
                 is_driver_interrupt: Callable[[Exception], bool] = lambda exc: False) -> None:
        self._cancel = cancel
        self._is_driver_interrupt = is_driver_interrupt
        # A plain attribute and a dict, not an Event or a lock: `interrupt` runs in a signal
        # handler on the main thread, which may be interrupted while holding any lock.
        self.requested = False
        self._running: dict[int, Handle] = {}

    @contextmanager
    def statement(self, handle: Handle) -> Iterator[None]:
        """Runs one statement on `handle`; a cancellation we asked for (or the driver's own,
        for Ctrl-C on this thread) leaves as KeyboardInterrupt instead of a driver error."""
        if self.requested:
            raise KeyboardInterrupt
        thread = threading.get_ident()
        self._running[thread] = handle
        try:
            yield
        except Exception as exc:
            # Once interrupted, any failure is the cancellation's doing; before, only the
            # driver's interrupt is one (a statement timeout is the column's own failure).
            if self.requested or self._is_driver_interrupt(exc):
                raise KeyboardInterrupt from exc
            raise
        finally:
            self._running.pop(thread, None)

    def interrupt(self) -> None:
        self.requested = True
        # Cancelling a PostgreSQL statement opens a connection to the server; that happens on a
        # thread of its own so that the handler returns at once. Not a daemon: the cancels go
        # out even when the interpreter is leaving.
        threading.Thread(target=self._cancel_running, name="kor-interrupt").start()

    def _cancel_running(self) -> None:
        started = time.monotonic()
        later = itertools.count(CANCEL_ROUNDS[-1] + 0.5, 0.5)
        for offset in itertools.chain(CANCEL_ROUNDS, later):
            if offset > CANCEL_FOR_SECONDS:
                return
            time.sleep(max(0.0, started + offset - time.monotonic()))
            running = list(self._running.values())
            # Nothing running at two looks in a row: no statement slipped past the flag.
            if not running and offset > 0:
                return
            for handle in running:
                try:
                    self._cancel(handle)
                except Exception:
                    pass  # a session that closed meanwhile has nothing left to cancel
