"""What the profiler and the rest of kor need of a warehouse adapter."""

from __future__ import annotations

from collections.abc import Iterable
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Any, Protocol


class Column(Protocol):
    name: str
    dtype: str


class RelationFactory(Protocol):
    def create(
        self, *, database: str | None, schema: str, identifier: str
    ) -> Any: ...


class Adapter(Protocol):
    """A warehouse connection profile, safe to use from many threads at once."""

    Relation: RelationFactory

    def quote(self, name: str) -> str: ...

    def connection_named(self, name: str) -> AbstractContextManager[Any]: ...

    def get_columns_in_relation(self, relation: Any) -> Iterable[Column]: ...

    def execute(self, sql: str, fetch: bool = False) -> tuple[Any, list[tuple]]: ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class WarehouseColumn:
    """A column as the warehouse's catalog lists it."""

    name: str
    dtype: str


@dataclass(frozen=True)
class WarehouseRelation:
    """The coordinates of a table or view; `database` None means the connection's own."""

    database: str | None
    schema: str
    identifier: str

    @classmethod
    def create(cls, *, database: str | None, schema: str, identifier: str) -> WarehouseRelation:
        return cls(database, schema, identifier)
