"""The profiler as a library: what `zel profile` runs, for the CLI, benchmarks and users.

    from kor.profiling import profile_project, latest_profiles
    run = profile_project("path/to/project", select=["source:raw.*"], threads=8)
    rows = latest_profiles("path/to/project", "raw.orders")
"""

from __future__ import annotations

from kor.profiling.read import (
    StoreReadError,
    latest_profiles,
    open_reader,
    profiled_tables,
    read_errors,
    table_history,
)
from kor.profiling.run import (
    DEFAULT_MODE,
    MODES,
    ProfileFlags,
    ProfileRun,
    StoreWriteError,
    profile_project,
    split_selectors,
)

__all__ = [
    "DEFAULT_MODE",
    "MODES",
    "ProfileFlags",
    "ProfileRun",
    "StoreReadError",
    "StoreWriteError",
    "latest_profiles",
    "open_reader",
    "profile_project",
    "profiled_tables",
    "read_errors",
    "split_selectors",
    "table_history",
]
