"""Column lists from one catalog read per schema: the first listing in a schema reads it all."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable

from kor.adapters.base import TableNotFound, WarehouseColumn, WarehouseRelation

# (schema, table) as the catalog spells them.
TableKey = tuple[str, str]
# Reads every column of one schema: (database, schema) -> rows of (schema, table, column,
# type), each table's columns in table order.
SchemaReader = Callable[[str | None, str], Iterable[tuple[str, str, str, str]]]


class ColumnCatalog:
    """The column lists of the schemas listed so far, kept for the adapter's life (one run).

    Listing a table per catalog query costs a lookup whose price grows with the catalog, and a
    run lists every table; one read per schema keeps the time per table flat. A table created
    after its schema was read is not seen by the run. With `fold`, names resolve the way a
    case-insensitive warehouse resolves them: the exact spelling first, else the one table
    whose folded schema and name match.
    """

    def __init__(self, read_schema: SchemaReader,
                 fold: Callable[[str], str] | None = None) -> None:
        self._read_schema = read_schema
        self._fold = fold
        self._schemas: dict[tuple[str | None, str], dict[TableKey, list[WarehouseColumn]]] = {}
        self._folded: dict[tuple[str | None, str], dict[TableKey, list[TableKey]]] = {}
        self._lock = threading.Lock()

    def columns(self, relation: WarehouseRelation) -> list[WarehouseColumn]:
        fold = self._fold or (lambda name: name)
        schema_key = (relation.database, fold(relation.schema))
        with self._lock:
            if schema_key not in self._schemas:
                self._read(schema_key, relation)
            tables, folded = self._schemas[schema_key], self._folded[schema_key]
        found = tables.get((relation.schema, relation.identifier))
        if found is None and self._fold is not None:
            candidates = folded.get((fold(relation.schema), fold(relation.identifier)), [])
            if len(candidates) == 1:
                found = tables[candidates[0]]
        if found is None:
            raise TableNotFound(relation)
        return list(found)

    def _read(self, schema_key: tuple[str | None, str], relation: WarehouseRelation) -> None:
        tables: dict[TableKey, list[WarehouseColumn]] = {}
        for schema, table, name, dtype in self._read_schema(relation.database, relation.schema):
            tables.setdefault((schema, table), []).append(WarehouseColumn(name, dtype))
        folded: dict[TableKey, list[TableKey]] = {}
        if self._fold is not None:
            for schema, table in tables:
                folded.setdefault((self._fold(schema), self._fold(table)), []).append(
                    (schema, table))
        self._schemas[schema_key] = tables
        self._folded[schema_key] = folded
