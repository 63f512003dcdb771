"""Test doubles for the warehouse side: a scripted adapter that records every call."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

from kor.adapters.base import WarehouseColumn, WarehouseRelation

Answer = list | BaseException | Callable[[str], Any]


# The host's own column and relation types stand in for a warehouse's.
Column = WarehouseColumn
Relation = WarehouseRelation


class _RelationFactory:
    def __init__(self, adapter: ScriptedAdapter) -> None:
        self._adapter = adapter

    def create(self, *, database: str | None, schema: str, identifier: str) -> Relation:
        self._adapter.record("Relation.create", database, schema, identifier)
        if self._adapter.relation_error is not None:
            raise self._adapter.relation_error
        return Relation(database, schema, identifier)


@dataclass
class ScriptedAdapter:
    """Answers `execute` from `answers`, the first rule whose key occurs in the SQL winning.

    An answer is a list of row tuples (returned as `(None, rows)`), an exception to raise, or
    a callable given the SQL that returns the whole `execute` result. Unmatched SQL returns
    `default`. `exit_returns` is what the connection block's `__exit__` answers.
    """

    answers: dict = field(default_factory=dict)
    default: Answer = field(default_factory=list)
    columns: list[Column] = field(default_factory=list)
    columns_error: BaseException | None = None
    relation_error: BaseException | None = None
    enter_error: BaseException | None = None
    exit_returns: bool = False
    quote_format: str = '"{}"'
    calls: list = field(default_factory=list)
    exits: list = field(default_factory=list)

    def __post_init__(self) -> None:
        self._lock = threading.Lock()
        self.Relation = _RelationFactory(self)

    def record(self, *call: Any) -> None:
        with self._lock:
            self.calls.append(call)

    @property
    def statements(self) -> list[str]:
        return [call[1] for call in self.calls if call[0] == "execute"]

    def quote(self, name: str) -> str:
        self.record("quote", name)
        return self.quote_format.format(name)

    @contextmanager
    def _block(self, name: str) -> Iterator[None]:
        if self.enter_error is not None:
            raise self.enter_error
        try:
            yield None
        except BaseException as exc:
            self.exits.append((name, type(exc)))
            if self.exit_returns:
                return
            raise
        else:
            self.exits.append((name, None))

    def connection_named(self, name: str):
        self.record("connection_named", name)
        return self._block(name)

    def get_columns_in_relation(self, relation: Relation) -> list[Column]:
        self.record("get_columns_in_relation", relation)
        if self.columns_error is not None:
            raise self.columns_error
        return list(self.columns)

    def execute(self, sql: str, fetch: bool = False) -> Any:
        self.record("execute", sql, fetch)
        answer = self.default
        for key, candidate in self.answers.items():
            if key in sql:
                answer = candidate
                break
        if isinstance(answer, BaseException):
            raise answer
        if callable(answer):
            return answer(sql)
        return (SimpleNamespace(rows_affected=len(answer)), list(answer))

    def close(self) -> None:
        self.record("close")
