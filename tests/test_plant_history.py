"""The plant history in SQLite and in PostgreSQL (a server of the tests' own):
what a page server hears becomes a state timeline, a fault Pareto and OEE that
survive a restart of the page; the message path never waits for the database.
"""
import json
import os
import time
import urllib.request
from typing import Any, Callable, Iterator

import pytest
from hypothesis import given, settings, strategies as st

from plant_support import Broker, Listener, free_port, needs_broker, wait_until
from postgres_support import Postgres, needs_postgres, postgres  # noqa: F401

from kvo_kit.plant.history import History

JAM = "双控气缸 Y2:Y3 动作超时"
T0 = time.time() - 1800  # half an hour ago


def shift_reports(t0: float) -> list[tuple[str, dict[str, Any]]]:
    """A cell's half hour: running, a jam (Aborted) until the reset, running again, a pause, a counts and OEE report."""
    def report(at: float, **fields: Any) -> dict[str, Any]:
        return {"v": 1, "time": at, **fields}

    jam = {"message": JAM, "type": "DYCylinderException", "raised": t0 + 600}
    return [
        ("state", report(t0, state="running", packml={"state": "Execute", "state_number": 6, "mode": "Production"})),
        ("counters", report(t0 + 10, cycles=3, faults=0)),
        ("packml", report(t0 + 11, ProdProcessedCount=4, ProdDefectiveCount=1, StateCurrentName="Execute")),
        ("counters", report(t0 + 12, cycles=5, faults=0)),  # the PackML counts win: no row from here
        ("fault", report(t0 + 600, active=True, **jam)),
        ("state", report(t0 + 600, state="faulted", packml={"state": "Aborting", "state_number": 8})),
        ("state", report(t0 + 600.1, state="faulted", packml={"state": "Aborted", "state_number": 9})),
        ("fault", report(t0 + 900, active=False, cleared=t0 + 900, **jam)),
        ("fault", report(t0 + 600, active=True, **jam)),  # seen again (a retained report): stays cleared
        ("state", report(t0 + 900, state="running", packml={"state": "Execute", "state_number": 6})),
        ("state", report(t0 + 900.5, state="running", packml={"state": "Execute", "state_number": 6})),
        ("state", report(t0 + 1000, state="paused")),  # a reporter without PackML: its nearest state
        ("packml", report(t0 + 1001, ProdProcessedCount=40, ProdDefectiveCount=2)),
        ("oee", report(t0 + 1002, shift={"availability": 0.8, "performance": 0.9, "quality": 0.95, "oee": 0.684,
                                         "window": 1002.0},
                       hour={"availability": 0.7, "performance": 0.9, "quality": 0.95, "oee": 0.5985,
                             "window": 1002.0})),
        ("state", report(t0 + 1200, state="running")),
    ]


@pytest.fixture(params=["sqlite", pytest.param("postgres", marks=needs_postgres)])
def where(request: Any, tmp_path: Any) -> str:
    if request.param == "sqlite":
        return str(tmp_path / "plant.db")
    server: Postgres = request.getfixturevalue("postgres")
    return server.new_database(request.node.name.replace("[", "_").replace("]", "").lower()[:60])


def check_shift(shift: dict[str, Any]) -> None:
    states = [(s["state"], round(s["from"] - T0, 1)) for s in shift["timeline"]]
    assert states == [("Execute", 0.0), ("Aborting", 600.0), ("Aborted", 600.1), ("Execute", 900.0),
                      ("Held", 1000.0), ("Execute", 1200.0)]
    assert all(a["to"] == b["from"] for a, b in zip(shift["timeline"], shift["timeline"][1:]))
    assert shift["pareto"] == [{"message": JAM, "type": "DYCylinderException", "count": 1, "lost": 300.0,
                                "last": pytest.approx(T0 + 600)}]
    assert shift["oee"]["shift"]["oee"] == pytest.approx(0.684)
    assert shift["from"] == pytest.approx(T0)  # the shift started where its OEE window starts


def test_the_history_keeps_the_shift_and_survives_a_restart(where: str) -> None:
    with History(where, count_every=0) as history:
        for kind, report in shift_reports(T0):
            history.note("demo/cell-b", kind, report)
        assert history.flush()
        check_shift(history.shift("demo/cell-b", "shift"))
        rows = history.rows()
        assert rows == {"states": 6, "faults": 1, "counts": 3, "oee": 2}
    with History(where, count_every=0) as again:  # the page restarted: the broker's retained reports come anew
        check_shift(again.shift("demo/cell-b", "shift"))
        retained = {kind: report for kind, report in shift_reports(T0)}  # the latest of each kind
        for kind, report in retained.items():
            again.note("demo/cell-b", kind, report)
        assert again.flush()
        assert again.rows() == rows
        assert again.machines() == ["demo/cell-b"]
        hour = again.shift("demo/cell-b", "hour")
        assert hour["from"] == pytest.approx(hour["to"] - 3600) and hour["timeline"][0]["from"] == pytest.approx(T0)


def test_counts_and_oee_are_thinned_and_the_last_one_is_kept(tmp_path: Any) -> None:
    with History(str(tmp_path / "plant.db"), count_every=60, oee_every=60) as history:
        for i in range(100):  # one report a second for 100 s
            history.note("l/m", "counters", {"v": 1, "time": T0 + i, "cycles": i, "faults": 0})
            window = {"availability": 1.0, "performance": i / 100, "quality": 1.0, "oee": i / 100, "window": i}
            history.note("l/m", "oee", {"v": 1, "time": T0 + i, "shift": window, "hour": window})
    with History(str(tmp_path / "plant.db")) as history:
        counts = history.store.query("SELECT at, processed FROM plant_counts ORDER BY at")
        assert [(round(at - T0), n) for at, n in counts] == [(0, 0), (60, 60), (99, 99)]
        assert history.shift("l/m")["oee"]["shift"]["oee"] == pytest.approx(0.99)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.floats(0, 3000), st.sampled_from(["running", "paused", "stopped", "faulted", "offline"])),
                max_size=20))
def test_any_order_of_state_reports_makes_an_ordered_timeline(reports: list[tuple[float, str]]) -> None:
    with History(None) as history:
        for at, state in reports:
            history.note("l/m", "state", {"v": 1, "time": T0 + at, "state": state, "reason": "reporter closed"})
        assert history.flush()
        timeline = history.shift("l/m", "hour", now=T0 + 3600)["timeline"]
    assert all(s["from"] < s["to"] for s in timeline)
    assert all(a["to"] == b["from"] and a["state"] != b["state"] for a, b in zip(timeline, timeline[1:]))
    if reports:
        assert timeline[-1]["to"] == pytest.approx(T0 + 3600)


def test_noting_never_waits_for_a_database_that_is_away() -> None:
    history = History(f"postgresql://kvo@127.0.0.1:{free_port()}/plant", batch_interval=0.01)
    history.start()
    try:
        began = time.monotonic()
        for i in range(1000):
            history.note("l/m", "state", {"v": 1, "time": T0 + i, "state": ("running", "paused")[i % 2]})
        assert time.monotonic() - began < 0.5
        assert not history.flush(1.0)  # nothing could be written
        assert wait_until(lambda: history.last_error is not None, 10)
    finally:
        history.close()


@needs_postgres
def test_rows_wait_while_postgres_is_down_and_are_written_when_it_is_back(postgres: Postgres) -> None:  # noqa: F811
    url = postgres.new_database("comeback")
    with History(url, batch_interval=0.01) as history:
        history.note("l/m", "state", {"v": 1, "time": T0, "state": "running"})
        assert history.flush()
        postgres.stop()
        try:
            history.note("l/m", "fault", {"v": 1, "time": T0 + 5, "active": True, "message": JAM, "raised": T0 + 5})
            history.note("l/m", "state", {"v": 1, "time": T0 + 5, "state": "faulted"})
            assert wait_until(lambda: history.last_error is not None, 10)
        finally:
            postgres.start()
        assert history.flush(20)
        assert history.rows() == {"states": 2, "faults": 1, "counts": 0, "oee": 0}
    postgres.stop()  # a page that starts while its database is away
    late = History(url, batch_interval=0.01)
    late.start()
    try:
        late.note("l/m", "state", {"v": 1, "time": T0 + 7, "state": "faulted"})  # the same state, newer news
        late.note("l/m", "state", {"v": 1, "time": T0 + 9, "state": "running"})
        assert wait_until(lambda: late.last_error is not None, 10)
        postgres.start()
        assert late.flush(20)
        assert late.rows()["states"] == 3  # the same state again is no new row
    finally:
        late.close()
        if postgres.process is None:
            postgres.start()


@pytest.fixture
def page_broker(tmp_path: Any) -> Iterator[Broker]:
    found = Broker(str(tmp_path)).start()
    yield found
    found.kill()


def get(url: str) -> Any:
    with urllib.request.urlopen(url, timeout=10) as answer:
        return json.load(answer)


@needs_broker
def test_the_page_server_keeps_its_history_across_a_restart(where: str, tmp_path: Any) -> None:
    from kvo_kit.plant import PageServer

    def page(broker: Broker) -> Any:
        server = PageServer(broker.url(), port=free_port(), history=where)
        server.start()
        return server

    def shift_of(server: Any) -> Callable[[], Any]:
        def found() -> Any:
            body = get(server.url + "api/shift?span=shift")
            shift = body["machines"].get("demo/cell-b")
            return shift if shift and shift["pareto"] and len(shift["timeline"]) == 6 else None
        return found

    first = Broker(str(tmp_path)).start()
    publisher = Listener(first)
    server = page(first)
    try:
        assert wait_until(lambda: server.view.broker_up, 10)
        for kind, report in shift_reports(T0):
            publisher.publish(f"kvo/demo/cell-b/{kind}", json.dumps(report).encode())
        shift = wait_until(shift_of(server), 15)
        assert shift, get(server.url + "api/shift")
        check_shift(shift)
    finally:
        publisher.close()
        server.close()
        first.kill()
    second = Broker(str(tmp_path)).start()  # a broker that knows nothing: the figures come from the history alone
    server = page(second)
    try:
        check_shift(get(server.url + "api/shift?span=shift&machine=demo/cell-b")["machines"]["demo/cell-b"])
        with urllib.request.urlopen(server.url + "api/shift?span=week", timeout=5) as answer:
            pytest.fail(f"a bad span was answered: {answer.read()!r}")
    except urllib.error.HTTPError as error:
        assert error.code == 400
    finally:
        server.close()
        second.kill()
    assert os.path.exists(where) or where.startswith("postgresql://")


def test_the_plant_command_says_at_once_when_its_history_cannot_be_opened(tmp_path: Any) -> None:
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "kvo_kit", "plant", "--broker", "mqtt://127.0.0.1:1", "--port", "0",
                           "--history", str(tmp_path / "no such folder" / "plant.db")],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 1
    assert "cannot open the history" in done.stderr and "no such folder" in done.stderr
