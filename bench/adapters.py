"""Adapters of the benchmark: an instant one with canned answers, and a measuring wrapper."""

from __future__ import annotations

import threading
import time
from contextlib import AbstractContextManager, nullcontext
from dataclasses import dataclass, field
from typing import Any

from kor.adapters.base import WarehouseColumn, WarehouseRelation


class _NoBlock:
    """A connection block that does nothing, shared by every call."""

    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc_info: Any) -> bool:
        return False


_TOP_VALUES = [(f"value_{k}", 100 - k) for k in range(10)]
# Canned answers by the shape of the query, the most specific marker first. The counts are
# chosen so that text and other columns get their top values and numeric ones do not, and
# each text column one alert (a quarter of its values missing), as a real report has some.
_ANSWERS = [
    ("PERCENTILE_CONT", [(25.0, 50.0, 75.0)]),
    ("as val, COUNT(*) as cnt", _TOP_VALUES),
    ("as min_len", [(500, 12, 3, 20, 9.5, "a", "z")]),
    ("as true_count", [(5, 2, 300, 200)]),
    ("as min_val", [(5, 500, 1, 999, 500.5, 288.7)]),
    ("as distinct_count", [(10, 2)]),
    ("SELECT COUNT(*) as cnt FROM ", [(2000,)]),
]


class InstantAdapter:
    """Answers every query at once from `_ANSWERS`: what is left is the profiler's own time."""

    Relation = WarehouseRelation

    def __init__(self, columns: list[tuple[str, str]] | None = None) -> None:
        self._columns = [WarehouseColumn(name, dtype) for name, dtype in columns or []]
        self._block = _NoBlock()

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    def connection_named(self, name: str) -> _NoBlock:
        return self._block

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        return list(self._columns)

    def execute(self, sql: str, fetch: bool = False) -> tuple[str, list[tuple]]:
        for marker, rows in _ANSWERS:
            if marker in sql:
                return "OK", rows
        raise ValueError(f"no canned answer for {sql!r}")

    def snapshot(self) -> AbstractContextManager[None]:
        return nullcontext()

    def interrupt(self) -> None:
        pass

    def close(self) -> None:
        pass


@dataclass
class MeasuringAdapter:
    """Wraps a real adapter: records every statement in order and the time spent in the warehouse.

    Warehouse time is the wall time inside `execute` and `get_columns_in_relation`, summed over
    threads; `warehouse_wall` is the time during which at least one such call was running, the
    figure to set against the run's wall time when several threads query at once.
    """

    inner: Any
    statements: list[str] = field(default_factory=list)
    execute_seconds: float = 0.0
    columns_seconds: float = 0.0
    warehouse_wall: float = 0.0
    _lock: threading.Lock = field(default_factory=threading.Lock)
    _running: int = 0
    _busy_since: float = 0.0

    def __post_init__(self) -> None:
        self.Relation = self.inner.Relation

    def _begin(self) -> float:
        now = time.perf_counter()
        with self._lock:
            if self._running == 0:
                self._busy_since = now
            self._running += 1
        return now

    def _end(self, start: float, sql: str | None) -> float:
        now = time.perf_counter()
        with self._lock:
            self._running -= 1
            if self._running == 0:
                self.warehouse_wall += now - self._busy_since
            if sql is not None:
                self.statements.append(sql)
        return now - start

    def quote(self, name: str) -> str:
        return self.inner.quote(name)

    def connection_named(self, name: str) -> Any:
        return self.inner.connection_named(name)

    def get_columns_in_relation(self, relation: Any) -> Any:
        start = self._begin()
        try:
            return self.inner.get_columns_in_relation(relation)
        finally:
            elapsed = self._end(start, None)
            with self._lock:
                self.columns_seconds += elapsed

    def execute(self, sql: str, fetch: bool = False) -> Any:
        start = self._begin()
        try:
            return self.inner.execute(sql, fetch=fetch)
        finally:
            elapsed = self._end(start, sql)
            with self._lock:
                self.execute_seconds += elapsed

    def snapshot(self) -> Any:
        return self.inner.snapshot()

    def interrupt(self) -> None:
        self.inner.interrupt()

    def close(self) -> None:
        self.inner.close()


class CachingAdapter:
    """Wraps a real adapter and answers each query and column listing it has seen before from
    memory: the profiler then runs on the warehouse's real values without querying it again."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.Relation = inner.Relation
        self._answers: dict[str, Any] = {}
        self._columns: dict[Any, Any] = {}
        self._lock = threading.Lock()

    def quote(self, name: str) -> str:
        return self.inner.quote(name)

    def connection_named(self, name: str) -> Any:
        return self.inner.connection_named(name)

    def get_columns_in_relation(self, relation: Any) -> Any:
        with self._lock:
            known = self._columns.get(relation)
        if known is None:
            known = list(self.inner.get_columns_in_relation(relation))
            with self._lock:
                self._columns[relation] = known
        return known

    def execute(self, sql: str, fetch: bool = False) -> Any:
        with self._lock:
            known = self._answers.get(sql)
        if known is None:
            known = self.inner.execute(sql, fetch=fetch)
            with self._lock:
                self._answers[sql] = known
        return known

    def snapshot(self) -> Any:
        return self.inner.snapshot()

    def interrupt(self) -> None:
        self.inner.interrupt()

    def close(self) -> None:
        self.inner.close()
