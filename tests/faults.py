"""Fault injection on the warehouse side: an adapter wrapper that raises at a chosen call.

`FaultyAdapter` wraps any adapter (a real one or `InstantAdapter`) and forwards the operations
the task uses: the factory's `get_adapter` (install `faulty.get_adapter` in its place),
`Relation.create`, `connection_named`, `get_columns_in_relation`, `execute` and `quote`. It
records each call and raises a fresh exception at the N-th call of the armed operation
(counting only the calls that `match` accepts).
"""

from __future__ import annotations

import threading
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from tests.fakes import Column, Relation

OPERATIONS = ("get_adapter", "Relation.create", "connection_named", "get_columns_in_relation",
              "execute", "quote")


@dataclass
class Fault:
    operation: str
    at: int = 1
    error: Callable[[], BaseException] = lambda: RuntimeError("injected fault")
    match: Callable[[tuple], bool] = lambda args: True


class _Relations:
    def __init__(self, owner: FaultyAdapter) -> None:
        self._owner = owner

    def create(self, *, database: str | None, schema: str, identifier: str) -> Any:
        self._owner.enter("Relation.create", database, schema, identifier)
        return self._owner.inner.Relation.create(database=database, schema=schema,
                                                 identifier=identifier)


class FaultyAdapter:
    def __init__(self, inner: Any, fault: Fault | None = None) -> None:
        self.inner = inner
        self.Relation = _Relations(self)
        self._lock = threading.Lock()
        self.arm(fault)

    def arm(self, fault: Fault | None) -> None:
        """Starts afresh: no calls recorded, `fault` (or none) waiting."""
        self.fault = fault
        self.calls: list[tuple[str, tuple]] = []
        self._counts: Counter[str] = Counter()
        self.fired = False

    def enter(self, operation: str, *args: Any) -> None:
        fault = self.fault
        with self._lock:
            self.calls.append((operation, args))
            if fault is None or fault.operation != operation or not fault.match(args):
                return
            self._counts[operation] += 1
            if self._counts[operation] != fault.at:
                return
            self.fired = True
        raise fault.error()

    def count(self, operation: str) -> int:
        return sum(1 for name, _ in self.calls if name == operation)

    def get_adapter(self, runtime_config: Any) -> FaultyAdapter:
        self.enter("get_adapter", runtime_config)
        return self

    def quote(self, name: str) -> str:
        self.enter("quote", name)
        return self.inner.quote(name)

    def connection_named(self, name: str) -> Any:
        self.enter("connection_named", name)
        return self.inner.connection_named(name)

    def get_columns_in_relation(self, relation: Any) -> Any:
        self.enter("get_columns_in_relation", relation)
        return self.inner.get_columns_in_relation(relation)

    def execute(self, sql: str, fetch: bool = False) -> Any:
        self.enter("execute", sql)
        return self.inner.execute(sql, fetch=fetch)


class _Connection:
    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc: Any) -> bool:
        return False


@dataclass
class InstantAdapter:
    """Answers every query of the task at once, by its shape, and keeps nothing.

    Every table has `rows` rows and each column `distinct` distinct values; a table without
    declared columns lists `columns`. `delay` seconds pass in each column query.
    """

    rows: int = 1000
    distinct: int = 3
    columns: list[Column] = field(default_factory=lambda: [Column("n", "BIGINT"),
                                                           Column("day", "DATE")])
    delay: float = 0.0

    def __post_init__(self) -> None:
        self.Relation = Relation

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    def connection_named(self, name: str) -> _Connection:
        return _Connection()

    def get_columns_in_relation(self, relation: Any) -> list[Column]:
        return list(self.columns)

    def execute(self, sql: str, fetch: bool = False) -> tuple[None, list[tuple]]:
        if sql.startswith("SELECT COUNT(*) as cnt FROM "):
            return None, [(self.rows,)]
        if self.delay:
            time.sleep(self.delay)
        if "STDDEV" in sql:
            return None, [(0, self.distinct, 1, 9, 5.0, 2.5)]
        if "PERCENTILE_CONT" in sql:
            return None, [(2.0, 5.0, 7.0)]
        if "LENGTH(" in sql:
            return None, [(0, self.distinct, 1, 5, 2.5)]
        if "as val, COUNT(*)" in sql:
            return None, [("a", 600), ("b", 300), ("c", 100)]
        return None, [(0, self.distinct)]


def install(monkeypatch: Any, adapter: FaultyAdapter) -> FaultyAdapter:
    """Makes the host's adapter factory hand out `adapter`, through its own `get_adapter`."""
    from kor.adapters import factory

    monkeypatch.setattr(factory, "get_adapter", adapter.get_adapter)
    return adapter
