"""The profiler's column kinds, and how each warehouse's type names map to them.

A kind decides which figures a column gets: numeric columns their minimum, maximum, mean,
deviation and quartiles, text columns their lengths, every other kind its counts. Each adapter
names the kind of the type texts its catalog reports; a text it does not know (a user-defined
type, say) gets None, and the profiler falls back to its keyword rule.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from enum import Enum


class ColumnKind(str, Enum):
    NUMERIC = "numeric"
    TEXT = "text"
    TEMPORAL = "temporal"
    BOOLEAN = "boolean"
    # Lists, arrays, structs, maps, unions and JSON documents.
    NESTED = "nested"
    # Known to the warehouse and none of the above: UUIDs, binary, intervals, geometry...
    OTHER = "other"


class KindRules:
    """Patterns tried in order against a type text (case ignored, outer spaces stripped), each
    matching the whole text; the first that matches names the kind."""

    def __init__(self, rules: Sequence[tuple[str, ColumnKind]]) -> None:
        self._rules = [(re.compile(pattern, re.IGNORECASE | re.DOTALL), kind)
                       for pattern, kind in rules]

    def kind(self, data_type: str) -> ColumnKind | None:
        text = data_type.strip()
        return next((kind for pattern, kind in self._rules if pattern.fullmatch(text)), None)


NUMERIC, TEXT, TEMPORAL = ColumnKind.NUMERIC, ColumnKind.TEXT, ColumnKind.TEMPORAL
BOOLEAN, NESTED, OTHER = ColumnKind.BOOLEAN, ColumnKind.NESTED, ColumnKind.OTHER

# DuckDB's information_schema names, and the aliases a models file may use.
DUCKDB_KINDS = KindRules([
    # Nested first: INTEGER[] is a list, STRUCT(a INTEGER) a struct, whatever they hold.
    (r".*\[\d*\]", NESTED),
    (r"(struct|map|union)\s*\(.*\)", NESTED),
    (r"json", NESTED),
    (r"(u?(tinyint|smallint|integer|bigint|hugeint)|int[1248]?|long|short|signed|float[48]?"
     r"|real|double|double precision|(decimal|numeric)(\s*\(\s*\d+\s*(,\s*\d+\s*)?\))?"
     r"|varint|bignum)", NUMERIC),
    (r"(varchar|char|bpchar|text|string|nvarchar)(\s*\(\s*\d+\s*\))?", TEXT),
    (r"date|time|timetz|time with time zone|timestamp(_s|_ms|_ns|_us)?|datetime|timestamptz"
     r"|timestamp with time zone", TEMPORAL),
    (r"bool(ean)?|logical", BOOLEAN),
    (r"uuid|blob|bytea|binary|varbinary|bit|bitstring|interval|enum\s*\(.*\)|geometry", OTHER),
])

# PostgreSQL's format_type names. money is numeric to PostgreSQL but casts to no double.
POSTGRES_KINDS = KindRules([
    (r".*\[\]", NESTED),
    (r"jsonb?", NESTED),
    (r"smallint|integer|bigint|real|double precision|numeric(\(\d+(,\d+)?\))?", NUMERIC),
    (r"text|name|citext|\"char\"|(character varying|character|varchar|char|bpchar)(\(\d+\))?",
     TEXT),
    (r"date|(timestamp|time)(\(\d\))?( with(out)? time zone)?", TEMPORAL),
    (r"boolean", BOOLEAN),
    (r"uuid|bytea|money|xml|oid|tsvector|tsquery|interval.*|bit( varying)?(\(\d+\))?"
     r"|point|line|lseg|box|path|polygon|circle|inet|cidr|macaddr8?", OTHER),
])

# Spark's DESCRIBE names.
SPARK_KINDS = KindRules([
    (r"(array|map|struct)<.*>|variant", NESTED),
    (r"tinyint|smallint|int|integer|bigint|long|short|byte|float|real|double"
     r"|(decimal|dec|numeric)(\(\d+,\s*\d+\))?", NUMERIC),
    (r"string|(varchar|char)\(\d+\)", TEXT),
    (r"date|timestamp|timestamp_ntz|timestamp_ltz", TEMPORAL),
    (r"boolean", BOOLEAN),
    (r"binary|interval.*|void", OTHER),
])
