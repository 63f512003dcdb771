"""A table's columns on the live display's line: the column last started, and how many of the
table's columns are done."""

from __future__ import annotations

import threading
from typing import Any

from kor.text import printable


class ColumnProgress:
    """Updates the display's task (see `ProfileTask._live_progress`) as a table's columns
    start and finish, from any worker thread (Rich's Progress takes updates from any), and
    puts the task's own description back when the table is done. Without a display, it does
    nothing."""

    def __init__(self, live: tuple[Any, Any] | None, total: int) -> None:
        self._progress: Any = None
        self._task: Any = None
        if live is not None:
            self._progress, self._task = live
        self.total = total  # set again once the warehouse has listed the columns
        self._done = 0
        self._lock = threading.Lock()
        self._base = ""
        if self._progress is not None:
            self._base = next((task.description for task in self._progress.tasks
                               if task.id == self._task), "")

    def started(self, column: str) -> None:
        with self._lock:
            self._show(column)

    def finished(self, column: str) -> None:
        with self._lock:
            self._done += 1
            self._show(column)

    def close(self) -> None:
        # The line printed when the display ends is the module's own.
        if self._progress is not None:
            self._progress.update(self._task, description=self._base)

    def _show(self, column: str) -> None:
        if self._progress is None or self.total < 2:
            return
        # Only with a display, so only with Rich: the library runs without it too.
        from rich.markup import escape

        self._progress.update(
            self._task, description=f"{self._base} [dim]{escape(printable(column))} "
                                    f"({self._done:,}/{self.total:,} columns)[/dim]")
