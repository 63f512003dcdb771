"""What a user would run instead: DuckDB's SUMMARIZE, and pandas on the loaded table."""

from __future__ import annotations

import time
from pathlib import Path

import duckdb

INSTALL_HINT = "`make bench` installs the bench extras (or: .venv/bin/pip install pandas psutil)"


def summarize_seconds(path: Path, tables: list[str]) -> float:
    """SUMMARIZE of every table, one after another, on a connection of its own."""
    with duckdb.connect(str(path), read_only=True) as connection:
        start = time.perf_counter()
        for table in tables:
            connection.execute(f'SUMMARIZE "{table}"').fetchall()
        return time.perf_counter() - start


def pandas_available() -> bool:
    try:
        import pandas  # noqa: F401
    except ImportError:
        return False
    return True


def pandas_seconds(path: Path, tables: list[str]) -> tuple[float, float]:
    """(load, metrics) seconds: each table loaded whole, then the profiler's metrics per column.

    Metrics: describe, null counts, distinct counts, quartiles of the numeric columns, text
    lengths of the text columns, and the ten most frequent values of every column.
    """
    import pandas as pd

    load = metrics = 0.0
    with duckdb.connect(str(path), read_only=True) as connection:
        for table in tables:
            start = time.perf_counter()
            frame = connection.execute(f'SELECT * FROM "{table}"').df()
            loaded = time.perf_counter()
            frame.describe(include="all")
            frame.isna().sum()
            frame.nunique()
            numeric = frame.select_dtypes("number")
            numeric.quantile([0.25, 0.5, 0.75])
            numeric.agg(["min", "max", "mean", "std"])
            for name in frame.columns:
                column = frame[name]
                if pd.api.types.is_string_dtype(column) or column.dtype == object:
                    lengths = column.dropna().astype(str).str.len()
                    lengths.agg(["min", "max", "mean"])
                column.value_counts().head(10)
            load += loaded - start
            metrics += time.perf_counter() - loaded
    return load, metrics
