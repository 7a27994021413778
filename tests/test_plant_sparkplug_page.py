"""The plant page reads the Sparkplug B dialect: a machine reporting as a
device of an edge node shows on the page and in its history like one of the
JSON dialect, born before the page (the page asks for a Rebirth), faulted,
reset, and gone (its death).
"""
import json
import urllib.request
from typing import Any

import pytest

import kvo_fa
from plant_support import Broker, broker, free_port, needs_broker, wait_until  # noqa: F401
from test_plant_reporter import FAST, Waiter, fp_machine, group  # noqa: F401

from kvo_kit.plant import PageServer, PlantReporter
from kvo_kit.plant.sparkplug_host import SparkplugHost
from kvo_kit.plant.sparkplug_payload import DataType, Metric, Payload, encode


def machine_of(server: Any, key: str) -> Any:
    with urllib.request.urlopen(server.url + "api/machines", timeout=5) as answer:
        return json.load(answer)["machines"].get(key, {})


@needs_broker
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_sparkplug_device_shows_on_the_page_and_in_its_history(broker: Broker, plc: Any, machines: list[Any],  # noqa: F811
                                                                 group: kvo_fa.WorkerGroup, tmp_path: Any) -> None:  # noqa: F811
    machine = fp_machine(plc, machines)
    group.add(Waiter(group, machine))
    group.start_all()
    reporter = PlantReporter.attach(machine, group, broker.url(), dialect="sparkplug", group="demo", name="m1",
                                    sparkplug_state=str(tmp_path / "bdseq.json"), ideal_cycle=1.0, **FAST)
    server = None
    try:
        assert wait_until(lambda: reporter.connected, 10)
        server = PageServer(broker.url(), port=free_port(), history=str(tmp_path / "plant.db"))
        server.start()  # after the births: the page asks for new ones
        m = wait_until(lambda: machine_of(server, "demo/m1").get("state") and machine_of(server, "demo/m1"), 30)
        assert m, "the page never saw the device"
        def started() -> Any:  # the PackML states of a start pass by first
            m = machine_of(server, "demo/m1")
            return m["state"]["state"] == "running" and m["state"]["packml"]["state"] in ("Idle", "Execute") and m
        m = wait_until(started, 30)
        assert m, machine_of(server, "demo/m1")
        assert wait_until(lambda: machine_of(server, "demo/m1")["packml"]["StateCurrentName"] in ("Idle", "Execute"))
        assert m["stations"]["stations"] == {"waiter": "free"}

        group.put_task("waiter", "part")  # X1 stays off: the wait times out and the machine stops
        assert wait_until(lambda: machine_of(server, "demo/m1")["state"]["packml"]["state"] == "Aborted", 30)
        fault = wait_until(lambda: machine_of(server, "demo/m1").get("fault", {}).get("active")
                           and machine_of(server, "demo/m1")["fault"], 30)  # a separate metric, maybe a later DDATA
        assert fault["active"] is True and fault["type"] == "XException" and "X1" in fault["message"]
        group.stop_all()
        machine.reset()
        group.reset_all()
        assert wait_until(lambda: machine_of(server, "demo/m1")["fault"]["active"] is False, 30)
        reporter.close()
        assert wait_until(lambda: machine_of(server, "demo/m1")["state"]["state"] == "offline", 30)
        assert server.history.flush()
        shift = server.history.shift("demo/m1", "hour")
        states = [s["state"] for s in shift["timeline"]]
        assert "Aborted" in states and states[-1] == "Offline", states
        assert [c["type"] for c in shift["pareto"]] == ["XException"]
    finally:
        reporter.close()
        if server is not None:
            server.close()


def test_the_host_keeps_aliases_deaths_and_asks_for_births() -> None:
    host = SparkplugHost()
    def message(metrics: list[Metric], seq: int = 0) -> bytes:
        return encode(Payload(timestamp=1_700_000_000_000, seq=seq, metrics=metrics))

    assert host.take("spBv1.0/demo/DDATA/edge/m1", message([Metric(None, 7, DataType.String, "paused")])) == []
    assert host.wants_rebirth == {("demo", "edge")}  # data of a device the host has not seen born
    host.take("spBv1.0/demo/NBIRTH/edge", message([Metric("bdSeq", 1, DataType.Int64, 4)]))
    assert host.wants_rebirth == set()
    born = host.take("spBv1.0/demo/DBIRTH/edge/m1", message([
        Metric("State", 7, DataType.String, "running"), Metric("PackML/StateCurrent", 8, DataType.Int32, 6),
        Metric("PackML/StateCurrentName", 9, DataType.String, "Execute"),
        Metric("Stations/feed", 10, DataType.String, "working"), Metric("IO/X/1", 11, DataType.UInt16, 3),
        Metric("IO/X/0", 12, DataType.UInt16, 1)], seq=1))
    reports = {kind: report for machine, kind, report in born if machine == "demo/m1"}
    assert reports["state"]["packml"] == {"state": "Execute", "state_number": 6, "mode": None}
    assert reports["stations"]["stations"] == {"feed": "working"} and reports["io"]["x"] == [1, 3]
    assert reports["state"]["time"] == 1_700_000_000.0
    changed = host.take("spBv1.0/demo/DDATA/edge/m1", message([Metric(None, 7, DataType.String, "paused")], seq=2))
    assert [(kind, report["state"]) for _, kind, report in changed] == [("state", "paused")]
    assert host.take("spBv1.0/demo/NDEATH/edge", message([Metric("bdSeq", None, DataType.Int64, 3)])) == []
    dead = host.take("spBv1.0/demo/NDEATH/edge", message([Metric("bdSeq", None, DataType.Int64, 4)]))
    assert [(m, kind, r["state"], r["reason"]) for m, kind, r in dead] == [("demo/m1", "state", "offline", "node death")]

    late = SparkplugHost()  # heard the DBIRTH, not the NBIRTH before it
    assert late.take("spBv1.0/demo/DBIRTH/edge/m1", message([Metric("State", 7, DataType.String, "running")]))
    assert late.wants_rebirth == {("demo", "edge")}
    dead = late.take("spBv1.0/demo/NDEATH/edge", message([Metric("bdSeq", None, DataType.Int64, 9)]))
    assert [(m, r["state"]) for m, kind, r in dead] == [("demo/m1", "offline")]
