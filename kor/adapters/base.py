"""What the profiler and the rest of kor need of a warehouse adapter."""

from __future__ import annotations

from collections.abc import Mapping
from contextlib import AbstractContextManager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol, runtime_checkable


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

    def __str__(self) -> str:
        return ".".join(part for part in (self.database, self.schema, self.identifier) if part)


class TableNotFound(LookupError):
    """The warehouse's catalog has no table or view at a relation's coordinates."""

    def __init__(self, relation: WarehouseRelation) -> None:
        super().__init__(f"table not found: {relation}")
        self.relation = relation


# A result table: rows of cells, as the warehouse's driver returns them.
Rows = list[tuple[Any, ...]]


class Adapter(Protocol):
    """A warehouse connection profile, safe to use from many threads at once."""

    Relation: type[WarehouseRelation]

    def quote(self, name: str) -> str: ...

    def connection_named(self, name: str) -> AbstractContextManager[object]: ...

    def get_columns_in_relation(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        """The relation's columns in table order; TableNotFound when the catalog lacks it."""
        ...

    def execute(self, sql: str, fetch: bool = False) -> tuple[object, Rows]: ...

    def column_kind(self, data_type: str) -> str | None:
        """The profiler's kind (a ColumnKind's value) of a type text of this warehouse; None
        for one it does not know, which the profiler classifies by its keywords."""
        ...

    def snapshot(self) -> AbstractContextManager[None]:
        """While the block is open, every statement on every thread sees one state of the data.

        Blocks follow one another (one table at a time); they do not nest.
        """
        ...

    def interrupt(self) -> None:
        """Cancels every running statement on every thread and returns at once; safe to call
        from a signal handler. That statement and every later one raise KeyboardInterrupt."""
        ...

    def close(self) -> None: ...


@runtime_checkable
class ProvesUnchanged(Protocol):
    """An adapter that can prove a relation's data unchanged between two runs."""

    def change_evidence(self, relation: WarehouseRelation) -> dict[str, Any] | None:
        """A record that, while it stays equal, proves no committed write has reached the
        relation's data; None when the warehouse cannot prove that (anything uncertain is
        measured again)."""
        ...


class AdapterType(Protocol):
    """How the factory makes an adapter of one `type:` from a target's settings."""

    def from_target(self, target: Mapping[str, Any], project_root: Path,
                    threads: int) -> Adapter: ...
