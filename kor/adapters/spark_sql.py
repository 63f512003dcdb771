"""The task's statements in Spark's dialect: backtick quoting, one type rewrite, the quartiles as
one aggregate, queries only."""

from __future__ import annotations

import itertools
import re
from collections.abc import Iterator

# Statements that can stand inside `SELECT * FROM (...)`; anything else is refused here already.
_QUERY_STARTS = frozenset({"SELECT", "WITH", "VALUES", "FROM", "TABLE"})
_DOUBLE_PRECISION = re.compile(r"\b(AS\s+DOUBLE)\s+PRECISION\b", re.IGNORECASE)
_FIRST_WORD = re.compile(r"[(\s]*([A-Za-z]+)")
_NAME = r"`(?:[^`]|``)*`"
# The task's quartile statement: three PERCENTILE_CONT aggregates of one column.
_QUARTILES = re.compile(
    r"\s*SELECT\s+"
    + r",\s*".join(rf"PERCENTILE_CONT\({fraction}\)\s+WITHIN\s+GROUP\s+\(ORDER\s+BY\s+CAST\("
                   + (rf"(?P<column>{_NAME})" if name == "p25" else r"(?P=column)")
                   + rf"\s+AS\s+DOUBLE\s+PRECISION\)\)\s+as\s+{name}"
                   for fraction, name in ((r"0\.25", "p25"), (r"0\.50", "p50"), (r"0\.75", "p75")))
    + rf"\s+FROM\s+(?P<table>{_NAME}(?:\.{_NAME})*)\s+WHERE\s+(?P=column)\s+IS\s+NOT\s+NULL\s*")


_PART = rf"(?:{_NAME}|[A-Za-z_][A-Za-z0-9_]*)"
_DOTTED = re.compile(rf"{_PART}(?:\s*\.\s*{_PART})+")


class StatementRefused(ValueError):
    """A statement that is not one query: the Spark target only reads."""


def quote(name: str) -> str:
    # Double quotes would make a string literal under Spark's default settings, so that
    # COUNT(DISTINCT "c") counts one value instead of failing.
    return "`" + name.replace("`", "``") + "`"


def dotted_pairs(sql: str) -> set[tuple[str, str]]:
    """Every two neighbouring parts of a dotted name in the statement, unquoted and in lower
    case, as Spark matches names: the `schema.table` it may read. A literal or a comment may
    add pairs that name nothing."""
    pairs: set[tuple[str, str]] = set()
    for dotted in _DOTTED.finditer(sql):
        parts = [part[1:-1].replace("``", "`") if part.startswith("`") else part
                 for part in re.findall(_PART, dotted.group())]
        pairs.update(itertools.pairwise(part.lower() for part in parts))
    return pairs


def _pieces(sql: str) -> Iterator[tuple[bool, str]]:
    """The statement cut into (is_code, text): code, and literals, quoted names and comments."""
    start = position = 0
    end = len(sql)
    while position < end:
        char = sql[position]
        if char in "'\"`":
            closing = _closing_quote(sql, position, raw=_raw_prefix(sql, position))
        elif sql.startswith("--", position):
            newline = sql.find("\n", position)
            closing = end if newline < 0 else newline + 1
        elif sql.startswith("/*", position):
            closing = _closing_comment(sql, position)
        else:
            position += 1
            continue
        if position > start:
            yield True, sql[start:position]
        yield False, sql[position:closing]
        start = position = closing
    if position > start:
        yield True, sql[start:position]


def _raw_prefix(sql: str, quote_at: int) -> bool:
    """Whether the literal at `quote_at` is raw, r'...', where a backslash is plain text."""
    return (quote_at >= 1 and sql[quote_at - 1] in "rR"
            and (quote_at < 2 or not (sql[quote_at - 2].isalnum() or sql[quote_at - 2] == "_")))


def _closing_quote(sql: str, opening: int, raw: bool) -> int:
    quote_char = sql[opening]
    position = opening + 1
    while position < len(sql):
        char = sql[position]
        if char == "\\" and quote_char != "`" and not raw:
            position += 2
            continue
        if char == quote_char:
            if quote_char == "`" and sql.startswith("``", position):
                position += 2
                continue
            return position + 1
        position += 1
    raise StatementRefused(f"unterminated {quote_char} in statement: {_excerpt(sql)}")


def _closing_comment(sql: str, opening: int) -> int:
    # Spark's bracketed comments nest.
    depth, position = 0, opening
    while position < len(sql):
        if sql.startswith("/*", position):
            depth, position = depth + 1, position + 2
        elif sql.startswith("*/", position):
            depth, position = depth - 1, position + 2
            if depth == 0:
                return position
        else:
            position += 1
    raise StatementRefused(f"unterminated comment in statement: {_excerpt(sql)}")


def _excerpt(sql: str) -> str:
    text = " ".join(sql.split())
    return text if len(text) <= 60 else text[:57] + "..."


def quartiles(sql: str) -> str | None:
    """The task's quartile statement as one array-valued percentile, else None.

    Spark keeps a separate exact state (every value and its count) for each PERCENTILE_CONT;
    one `percentile` over an array of fractions builds that state once. Both interpolate the
    same sorted values the same way.
    """
    match = _QUARTILES.fullmatch(sql)
    if match is None:
        return None
    column, table = match["column"], match["table"]
    return (f"SELECT quartiles[0] AS p25, quartiles[1] AS p50, quartiles[2] AS p75 FROM ("
            f"SELECT percentile(CAST({column} AS DOUBLE), array(0.25, 0.5, 0.75)) AS quartiles "
            f"FROM {table} WHERE {column} IS NOT NULL) AS q")


def prepare(sql: str) -> str:
    """`sql` as Spark runs it: DOUBLE PRECISION spelled DOUBLE, the quartiles as one aggregate,
    wrapped so only a query parses.

    Raises StatementRefused for anything but a single query.
    """
    sql = quartiles(sql) or sql
    pieces = list(_pieces(sql))
    if not _one_query(" ".join(text for is_code, text in pieces if is_code)):
        raise StatementRefused("the Spark target is read-only: only a single query is run, "
                               f"not: {_excerpt(sql)}")
    body = "".join(_DOUBLE_PRECISION.sub(r"\1", text) if is_code else text
                   for is_code, text in pieces)
    # The line break keeps a trailing `--` comment from swallowing the closing parenthesis.
    return f"SELECT * FROM ({body}\n) AS q"


def _one_query(code: str) -> bool:
    first = _FIRST_WORD.match(code)
    if first is None or first.group(1).upper() not in _QUERY_STARTS or ";" in code:
        return False
    depth = 0
    for char in code:
        depth += 1 if char == "(" else -1 if char == ")" else 0
        if depth < 0:  # a parenthesis closed early would end the wrapping query
            return False
    return True
