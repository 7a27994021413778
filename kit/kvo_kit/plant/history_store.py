"""The plant history's tables, in SQLite or PostgreSQL: one schema, one set of
statements, two drivers.

    plant_states  machine, at, state, state_number       a row per state entered
    plant_faults  machine, raised, type, message, cleared   a row per fault, cleared once it is
    plant_counts  machine, at, processed, defective, source   the part counters over time ("packml" or "counters")
    plant_oee     machine, span, at, seconds, availability, performance, quality, oee

Times are wall-clock seconds since the epoch (the reporter's clock). The
statements are written with `?` placeholders and rewritten for psycopg's `%s`.
Every write is idempotent (a retained report seen again after a restart of
the page adds nothing), so a batch may be written twice without harm.
"""
import sqlite3
import threading
from typing import Any, Iterable, Optional

SCHEMA = (
    """CREATE TABLE IF NOT EXISTS plant_states (
        machine TEXT NOT NULL, at DOUBLE PRECISION NOT NULL, state TEXT NOT NULL, state_number INTEGER NOT NULL,
        PRIMARY KEY (machine, at))""",
    """CREATE TABLE IF NOT EXISTS plant_faults (
        machine TEXT NOT NULL, raised DOUBLE PRECISION NOT NULL, type TEXT, message TEXT NOT NULL,
        cleared DOUBLE PRECISION, PRIMARY KEY (machine, raised))""",
    """CREATE TABLE IF NOT EXISTS plant_counts (
        machine TEXT NOT NULL, at DOUBLE PRECISION NOT NULL, processed BIGINT NOT NULL, defective BIGINT NOT NULL,
        source TEXT NOT NULL, PRIMARY KEY (machine, at))""",
    """CREATE TABLE IF NOT EXISTS plant_oee (
        machine TEXT NOT NULL, span TEXT NOT NULL, at DOUBLE PRECISION NOT NULL, seconds DOUBLE PRECISION NOT NULL,
        availability DOUBLE PRECISION NOT NULL, performance DOUBLE PRECISION NOT NULL,
        quality DOUBLE PRECISION NOT NULL, oee DOUBLE PRECISION NOT NULL, PRIMARY KEY (machine, span, at))""",
)

INSERT = {
    "state": "INSERT INTO plant_states (machine, at, state, state_number) VALUES (?, ?, ?, ?) "
             "ON CONFLICT (machine, at) DO NOTHING",
    # A fault seen again while still active must not undo its clearing.
    "fault": "INSERT INTO plant_faults (machine, raised, type, message, cleared) VALUES (?, ?, ?, ?, ?) "
             "ON CONFLICT (machine, raised) DO UPDATE SET cleared = COALESCE(excluded.cleared, plant_faults.cleared)",
    "count": "INSERT INTO plant_counts (machine, at, processed, defective, source) VALUES (?, ?, ?, ?, ?) "
             "ON CONFLICT (machine, at) DO NOTHING",
    "oee": "INSERT INTO plant_oee (machine, span, at, seconds, availability, performance, quality, oee) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (machine, span, at) DO NOTHING",
}

LAST_STATES = ("SELECT s.machine, s.at, s.state FROM plant_states s JOIN "
               "(SELECT machine, MAX(at) AS at FROM plant_states GROUP BY machine) m "
               "ON s.machine = m.machine AND s.at = m.at")
STATES_SINCE = ("SELECT at, state FROM plant_states WHERE machine = ? AND at >= "
                "COALESCE((SELECT MAX(at) FROM plant_states WHERE machine = ? AND at <= ?), ?) "
                "AND at <= ? ORDER BY at")
PARETO = ("SELECT message, MAX(type), COUNT(*), SUM(COALESCE(cleared, ?) - raised), MAX(raised) FROM plant_faults "
          "WHERE machine = ? AND raised >= ? AND raised <= ? GROUP BY message ORDER BY 3 DESC, 4 DESC")
LATEST_OEE = ("SELECT at, seconds, availability, performance, quality, oee FROM plant_oee "
              "WHERE machine = ? AND span = ? ORDER BY at DESC LIMIT 1")
PACKML_COUNTED = "SELECT DISTINCT machine FROM plant_counts WHERE source = 'packml'"
FIRST_STATE_SINCE = "SELECT MIN(at) FROM plant_states WHERE machine = ? AND at >= ?"
MACHINES = "SELECT DISTINCT machine FROM plant_states ORDER BY machine"
ROWS = ("SELECT (SELECT COUNT(*) FROM plant_states), (SELECT COUNT(*) FROM plant_faults), "
        "(SELECT COUNT(*) FROM plant_counts), (SELECT COUNT(*) FROM plant_oee)")


def is_postgres(where: str) -> bool:
    return where.startswith(("postgresql://", "postgres://"))


class Store:
    """One connection to the history's database, shared by its writer and its readers under a lock."""

    def __init__(self, where: str) -> None:
        self.where = where
        self.postgres = is_postgres(where)
        self._lock = threading.Lock()
        self._connection: Any = None

    def __str__(self) -> str:
        if self.postgres:  # never shows a password
            from urllib.parse import urlsplit

            parts = urlsplit(self.where)
            return f"postgresql://{parts.hostname}:{parts.port or 5432}{parts.path}"
        return "memory" if self.where == ":memory:" else self.where

    def open(self) -> None:
        with self._lock:
            if self._connection is not None:
                return
            if self.postgres:
                from kvo_kit.extras import needs

                with needs("postgres", "the plant history in PostgreSQL"):
                    import psycopg

                connection: Any = psycopg.connect(self.where, connect_timeout=5, autocommit=True)
            else:
                connection = sqlite3.connect(self.where, check_same_thread=False, isolation_level=None)
                if self.where != ":memory:":
                    connection.execute("PRAGMA journal_mode=WAL")  # readers never wait for a batch on disk
                    connection.execute("PRAGMA synchronous=NORMAL")
            try:
                with _transaction(connection, self.postgres) as cursor:
                    for statement in SCHEMA:
                        cursor.execute(statement)
            except BaseException:
                connection.close()
                raise
            self._connection = connection

    def close(self) -> None:
        with self._lock:
            if self._connection is not None:
                self._connection.close()
                self._connection = None

    def write(self, rows: dict[str, list[tuple[Any, ...]]]) -> None:
        """Write every row of `rows` (kind -> rows) in one transaction."""
        self.open()
        with self._lock:
            try:
                with _transaction(self._connection, self.postgres) as cursor:
                    for kind, values in rows.items():
                        if values:
                            cursor.executemany(self._sql(INSERT[kind]), values)
            except Exception:
                self._drop_if_broken()
                raise

    def query(self, sql: str, parameters: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        self.open()
        with self._lock:
            try:
                with _transaction(self._connection, self.postgres) as cursor:
                    cursor.execute(self._sql(sql), tuple(parameters))
                    return list(cursor.fetchall())
            except Exception:
                self._drop_if_broken()
                raise

    def size(self) -> Optional[int]:
        """Bytes the history takes on disk (None in memory)."""
        if self.postgres:
            return int(self.query("SELECT pg_database_size(current_database())")[0][0])
        if self.where == ":memory:":
            return None
        pages = self.query("PRAGMA page_count")[0][0]
        return int(pages * self.query("PRAGMA page_size")[0][0])

    def _sql(self, sql: str) -> str:
        return sql.replace("?", "%s") if self.postgres else sql

    def _drop_if_broken(self) -> None:
        # A PostgreSQL server that went away leaves a closed connection: the next call connects again.
        if self.postgres and self._connection is not None and self._connection.closed:
            self._connection = None


class _transaction:
    """BEGIN ... COMMIT on a cursor of `connection`, ROLLBACK when the block raises."""

    def __init__(self, connection: Any, postgres: bool) -> None:
        self.connection, self.postgres = connection, postgres

    def __enter__(self) -> Any:
        if self.postgres:
            self._block = self.connection.transaction()
            self._block.__enter__()
            return self.connection.cursor()
        self.connection.execute("BEGIN")
        return self.connection.cursor()

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        if self.postgres:
            self._block.__exit__(kind, error, trace)
        elif kind is None:
            self.connection.execute("COMMIT")
        else:
            self.connection.execute("ROLLBACK")
