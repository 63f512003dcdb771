"""The project's metadata store: one row per profiled column.

- `schema`: the row record and its table;
- `session`: one run's hold on the store file (`store_session`);
- `writer`: `ProjectMetadataStore`, which the profiling task writes through;
- `reader`: `MetadataReader`, the latest profiles and each table's history;
- `records`: what the readers return, and the decoded JSON fields.
"""

from __future__ import annotations

from kor.compute.metadata.connection import LOCK_WAIT_SECONDS, is_lock_conflict, open_store
from kor.compute.metadata.reader import MetadataReader
from kor.compute.metadata.records import (
    ProfiledTable,
    StoredRun,
    TableRun,
    decode_alerts,
    decode_histogram,
    decode_list,
    decode_top_values,
    summarise,
)
from kor.compute.metadata.schema import PROFILE_FIELDS, ColumnProfileResult, store_path
from kor.compute.metadata.session import StoreSession, store_session
from kor.compute.metadata.writer import ProjectMetadataStore

__all__ = [
    "LOCK_WAIT_SECONDS",
    "PROFILE_FIELDS",
    "ColumnProfileResult",
    "MetadataReader",
    "ProfiledTable",
    "ProjectMetadataStore",
    "StoreSession",
    "StoredRun",
    "TableRun",
    "decode_alerts",
    "decode_histogram",
    "decode_list",
    "decode_top_values",
    "is_lock_conflict",
    "open_store",
    "store_path",
    "store_session",
    "summarise",
]
