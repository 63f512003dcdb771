"""The base class of every task the `zel` command runs."""

from __future__ import annotations

from typing import Any


class BaseTask:
    """A unit of work built from the command's parsed flags."""

    def __init__(self, args: Any) -> None:
        self.args = args

    def run(self) -> Any:
        raise NotImplementedError(f"{type(self).__name__} does not implement run()")

    def interpret_results(self, result: Any) -> bool:
        """Whether the command that ran this task succeeded."""
        return bool(result)
