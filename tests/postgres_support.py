"""A PostgreSQL server of the tests' own: Debian's PostgreSQL 15 in a temporary
folder on a free local port, trust authentication for one user, stopped at the
end. As root it runs as `nobody` (initdb and postgres refuse to run as root).
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Any, Iterator, Optional

import pytest

BIN = "/usr/lib/postgresql/15/bin"
USER = "kvo"

needs_postgres = pytest.mark.skipif(
    os.environ.get("KVO_SANITIZER_RUN") == "1" or not os.path.exists(os.path.join(BIN, "postgres")),
    reason="needs Debian's postgresql-15 (not run under the sanitizers)")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Postgres:
    def __init__(self) -> None:
        self.folder = tempfile.mkdtemp(prefix="kvo-postgres-")
        self.data = os.path.join(self.folder, "data")
        self.port = _free_port()
        self.process: Optional[subprocess.Popen[bytes]] = None
        self._as: dict[str, Any] = {"user": "nobody", "group": "nogroup"} if os.geteuid() == 0 else {}
        if self._as:
            shutil.chown(self.folder, "nobody", "nogroup")
        subprocess.run([os.path.join(BIN, "initdb"), "-D", self.data, "-U", USER, "-A", "trust", "--no-sync",
                        "-E", "UTF8", "--locale", "C"], check=True, capture_output=True, cwd=self.folder, **self._as)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{USER}@127.0.0.1:{self.port}/{database}"

    def start(self) -> "Postgres":
        log = open(os.path.join(self.folder, "postgres.log"), "ab")
        self.process = subprocess.Popen(
            [os.path.join(BIN, "postgres"), "-D", self.data, "-p", str(self.port), "-k", self.folder,
             "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c", "shared_buffers=16MB"],
            stdout=log, stderr=subprocess.STDOUT, cwd=self.folder, **self._as)
        log.close()
        deadline = time.monotonic() + 30
        while not self._ready():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"postgres did not start: {self.log()[-2000:]}")
            time.sleep(0.1)
        return self

    def _ready(self) -> bool:
        import psycopg

        try:
            psycopg.connect(self.url(), connect_timeout=2).close()
            return True
        except psycopg.OperationalError:
            return False

    def stop(self) -> None:
        if self.process is not None:
            self.process.send_signal(signal.SIGINT)  # fast shutdown: clients are cut off
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None

    def new_database(self, name: str) -> str:
        import psycopg

        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f'DROP DATABASE IF EXISTS "{name}"')
            connection.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def log(self) -> str:
        with open(os.path.join(self.folder, "postgres.log"), errors="replace") as f:
            return f.read()

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture(scope="module")
def postgres() -> Iterator[Postgres]:
    pytest.importorskip("psycopg")
    server = Postgres().start()
    yield server
    server.remove()
