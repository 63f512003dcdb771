"""The store the profiling task writes through: one row per profiled column."""

from __future__ import annotations

from pathlib import Path

from kor.compute.metadata.reader import MetadataReader
from kor.compute.metadata.records import ProfiledTable, TableRun
from kor.compute.metadata.schema import ColumnProfileResult, store_path
from kor.compute.metadata.session import StoreSession


class ProjectMetadataStore:
    """`<project_root>/.zel/metadata_store.duckdb`, table `column_profiles`.

    Inside a run's store session (see `store_session`) saved rows are written together when the
    store is closed: DuckDB takes about as long for one single-row INSERT as for a statement of
    a hundred rows. A store made outside a session opens the file itself and writes each row
    as it is saved, so nothing depends on it being closed.
    """

    def __init__(self, project_root: Path) -> None:
        self.path = store_path(project_root)
        # The native task makes its stores by this fixed signature, so the run's session can
        # only reach them through the context `store_session` sets.
        self._run_session = StoreSession.current(self.path)
        self._session: StoreSession | None = None

    def initialize(self) -> None:
        """Opens the file and creates the table when missing."""
        session = self._run_session or StoreSession(self.path)
        session.connection()
        self._session = session

    def _open_session(self) -> StoreSession:
        if self._session is None:
            raise RuntimeError("the metadata store is not initialized")
        return self._session

    def save_profile_result(self, row: ColumnProfileResult) -> None:
        session = self._open_session()
        session.save(row)
        if session is self._run_session:
            return
        try:
            session.flush()
        except BaseException:
            # A store of its own lets go of the file at once: nothing may be left waiting
            # on a close that its caller, having failed, will not make.
            self._session = None
            session.close()
            raise

    def flush(self) -> None:
        self._open_session().flush()

    def close(self) -> None:
        """Writes what is pending; a store of its own releases the file even when that fails."""
        session, self._session = self._session, None
        if session is None:
            return
        if session is self._run_session:
            session.flush()
        else:
            session.close()

    # Reads, for callers that hold a store already.
    def reader(self) -> MetadataReader:
        return MetadataReader(self.path)

    def latest_profiles(self, table: str | None = None,
                        source_name: str | None = None) -> list[ColumnProfileResult]:
        return self.reader().latest_profiles(table, source_name)

    def profiled_tables(self) -> list[ProfiledTable]:
        return self.reader().profiled_tables()

    def table_history(self, table_name: str | None,
                      source_name: str | None = None) -> list[TableRun]:
        return self.reader().table_history(table_name, source_name)
