"""What the profiler and the rest of kor need of a warehouse adapter."""

from __future__ import annotations

from collections.abc import Mapping
from contextlib import AbstractContextManager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol


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


# A result table: rows of cells, as the warehouse's driver returns them.
Rows = list[tuple[Any, ...]]


class Adapter(Protocol):
    """A warehouse connection profile, safe to use from many threads at once."""

    Relation: type[WarehouseRelation]

    def quote(self, name: str) -> str: ...

    def connection_named(self, name: str) -> AbstractContextManager[object]: ...

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]: ...

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]: ...

    def interrupt(self) -> None:
        """Cancels every statement running now, on every thread; returns at once."""

    def snapshot(self) -> AbstractContextManager[None]:
        """While open, every statement on every thread sees the same data."""

    def close(self) -> None: ...


class AdapterType(Protocol):
    """How the factory makes an adapter of one `type:` from a target's settings."""

    def from_target(self, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> Adapter: ...
