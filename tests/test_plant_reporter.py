"""The plant reporter against a real Mosquitto: what it publishes about a
machine on the simulated PLC, and that nothing the broker does (absent at
start, killed, stalled, a slow subscriber) ever holds up the machine.
"""
import os
import re
import signal
import subprocess
import sys
import time
from typing import Any

import pytest

import kvo_fa
from plant_support import (Broker, Listener, broker, listener, needs_broker, user_broker,  # noqa: F401
                           wait_until)

from kvo_kit.plant import PlantReporter, parse_broker_url
from kvo_kit.plant.broker import new_client
from kvo_kit.plant.publisher import Publisher

FAST = dict(poll_interval=0.02, io_interval=0.02, counters_interval=0.1, heartbeat_interval=0.2)


def fp_machine(plc: Any, machines: list[Any]) -> Any:
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    return machine


class Waiter(kvo_fa.Worker):
    """Waits for X1 with a short time-out: a task with X1 off faults the machine."""

    def __init__(self, group: kvo_fa.WorkerGroup, machine: Any) -> None:
        super().__init__(group, "waiter")
        self.machine = machine
        self.loop_interval = 0.01

    def work(self, task: object) -> None:
        self.machine.wait_for_signal("X1", True, 0.2, 0.01)


@pytest.fixture
def group() -> Any:
    made = kvo_fa.WorkerGroup()
    yield made
    made.stop_all()


@needs_broker
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_reports_state_stations_io_counters_and_a_fault_until_reset(broker: Broker, listener: Listener, plc: Any,
                                                                   machines: list[Any], group: Any) -> None:
    machine = fp_machine(plc, machines)
    group.add(Waiter(group, machine))
    group.start_all()
    health = {"transactions": 12, "failures": {"timeout": 2, "crc": 1}, "last_error": TimeoutError("no answer")}
    link = type("Link", (), {"health": health})()
    with PlantReporter(machine, group, broker.url(), line="l1", name="m1", link=link, labels={"X1": "part present"},
                       **FAST) as reporter:
        assert wait_until(lambda: (listener.last("state") or {}).get("state") == "running")
        assert wait_until(lambda: listener.last("stations"))["stations"] == {"waiter": "free"}
        info = listener.last("info")
        assert info["v"] == 1 and info["kind"] == "FPMachine" and info["labels"] == {"X01": "part present"}
        assert info["x_names"][:2] == ["X00", "X01"] and info["commands"] == []

        plc.set("X2", True)
        assert wait_until(lambda: (listener.last("io") or {}).get("x") == [4])
        machine.set_y("Y1", True)
        assert wait_until(lambda: (listener.last("io") or {}).get("y") == [2])

        group.put_task("waiter", "part")  # X1 stays off: the wait times out and the machine stops
        fault = wait_until(lambda: listener.last("fault"))
        assert fault["active"] is True and fault["type"] == "XException" and "X1" in fault["message"]
        assert wait_until(lambda: listener.last("state")["state"] == "faulted")
        assert wait_until(lambda: listener.last("stations")["stations"] == {"waiter": "dead"})
        assert machine._exception_flag  # the reporter's subscriber did not take the fault

        group.stop_all()
        machine.reset()
        group.reset_all()
        assert wait_until(lambda: listener.last("fault")["active"] is False)
        assert listener.last("fault")["message"] == fault["message"] and "cleared" in listener.last("fault")
        assert wait_until(lambda: listener.last("state")["state"] == "running")

        reporter.cycle_done()
        reporter.cycle_done()
        counters = wait_until(lambda: (listener.last("counters") or {}).get("cycles") == 2 and listener.last("counters"))
        assert counters["faults"] == 1 and counters["cycle_time"] is not None
        assert counters["link_failures"] == 3 and counters["link"]["last_error"] == "TimeoutError: no answer"
        assert wait_until(lambda: listener.of("heartbeat"))
    assert wait_until(lambda: listener.last("state")["state"] == "offline")
    assert listener.last("state")["reason"] == "reporter closed"


@needs_broker
def test_broker_absent_at_start_killed_and_back_never_stops_the_machine(tmp_path: Any, plc: Any,
                                                                       machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    missing = Broker(str(tmp_path))  # not started yet
    with PlantReporter(machine, None, missing.url(), line="l1", name="m1", **FAST) as reporter:
        works(machine, plc)
        missing.start()
        first = Listener(missing)
        try:
            assert wait_until(lambda: (first.last("state") or {}).get("state") == "running")
        finally:
            first.close()

        missing.kill()
        works(machine, plc)
        plc.set("X3", True)  # happens while the broker is away
        missing.start()
        second = Listener(missing)  # a fresh broker holds nothing: the reporter publishes its picture again
        try:
            assert wait_until(lambda: (second.last("state") or {}).get("state") == "running")
            assert wait_until(lambda: (second.last("io") or {}).get("x") == [8])
            assert second.last("info")["kind"] == "FPMachine"
        finally:
            second.close()
        assert reporter.connected
    missing.kill()


def works(machine: Any, plc: Any) -> None:
    """The machine refreshes, drives outputs and faults as it should, whatever the broker does."""
    value = not machine.y("Y0")
    machine.set_y("Y0", value)
    machine.sync_xy_refresher()
    assert plc.get("Y0") == value
    begin = time.monotonic()
    with pytest.raises(IOError):
        machine.raise_exception(IOError("jammed"))
    assert time.monotonic() - begin < 1.0
    machine.reset()


@needs_broker
def test_a_stalled_broker_drops_the_oldest_telemetry_and_never_holds_up_the_machine(
        broker: Broker, listener: Listener, plc: Any, machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    options = dict(FAST, heartbeat_interval=0.005, queue_size=5)
    with PlantReporter(machine, None, broker.url(), line="l1", name="m1", **options) as reporter:
        assert wait_until(lambda: listener.last("state"))
        assert broker.process is not None
        broker.process.send_signal(signal.SIGSTOP)
        try:
            for _ in range(3):
                works(machine, plc)
            assert wait_until(lambda: reporter.dropped > 0, 20), "the queue never overflowed"
            works(machine, plc)
            plc.set("X4", True)
        finally:
            broker.process.send_signal(signal.SIGCONT)
        assert wait_until(lambda: (listener.last("io") or {}).get("x") == [16], 20)


@needs_broker
def test_a_slow_subscriber_does_not_slow_the_others(broker: Broker, listener: Listener, plc: Any,
                                                    machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    slow = Listener(broker)
    assert wait_until(lambda: slow.client.is_connected())
    slow.client.loop_stop()  # subscribed, and never reads again
    try:
        with PlantReporter(machine, None, broker.url(), line="l1", name="m1", **FAST) as reporter:
            for i in range(300):
                plc.set("X5", i % 2 == 0)
                machine.sync_xy_refresher()
            plc.set("X6", True)
            assert wait_until(lambda: (listener.last("io") or {}).get("x") == [64])
            assert reporter.dropped == 0
    finally:
        slow.client.disconnect()


def test_only_news_that_waited_out_an_outage_is_dropped_as_stale() -> None:
    # A real paho client, never connected: with room for one message, the next one waits in the outbox.
    client = new_client(parse_broker_url("mqtt://127.0.0.1:1"), "kvo-test-publisher")
    client.max_queued_messages_set(1)
    out = Publisher(client, 10)
    out.mark_connected()
    out.put("a", b"1", False)
    out.put("b", b"2", False)
    out.flush()
    assert (out.published, out.queued) == (1, 1)
    out.republish()  # the first connection's picture: "b" was queued while connected, so it is not stale
    assert out.dropped == 0
    client.max_queued_messages_set(0)
    out.flush()
    out.connected = False  # the broker goes away
    out.put("c", b"3", False)
    out.mark_connected()
    out.put("d", b"4", False)
    out.republish()
    assert out.dropped == 1  # only "c", put during the outage
    out.flush()
    assert out.published == 3


@needs_broker
def test_commands_are_carried_out_only_when_well_formed_and_allowed(user_broker: Broker, plc: Any,
                                                                    machines: list[Any], caplog: Any) -> None:
    machine = fp_machine(plc, machines)
    operator = Listener(user_broker, "operator")
    topic = "kvo/l1/cell-a/command"
    refused = [
        (b"reset", "not JSON"),
        (b"[1, 2]", "JSON list, not an object"),
        (b'{"command": "pause"}', "version None is not 1"),
        (b'{"v": true, "command": "pause"}', "version True is not 1"),
        (b'{"v": 1.0, "command": "pause"}', "version 1.0 is not 1"),
        (b'{"v": 1, "cmd": "pause"}', "names no command"),
        (b'{"v": 1, "command": "set_y", "id": "t2"}', "'set_y' is not allowed here"),
        (b'{"v": 1, "command": "reset", "id": "t3"}', "'reset' is not allowed here (allowed: pause, resume)"),
        (b'{"v": 1, "command": "pause", "id": 7}', "\"id\" must be a string"),
        (b"x" * 2000, "over 1024"),
    ]
    try:
        # A retained command would run again at every reconnect: it is refused.
        operator.publish(topic, b'{"v": 1, "command": "pause"}', retain=True)
        with PlantReporter(machine, None, user_broker.url("cell-a"), line="l1", name="cell-a",
                           commands=["pause", "resume"], **FAST):
            assert wait_until(lambda: operator.of("ack"))[-1]["reason"] == "a retained command is never carried out"
            operator.publish(topic, b"", retain=True)  # clears the retained copy
            assert wait_until(lambda: (operator.last("state") or {}).get("state") == "running")
            operator.messages.clear()
            for raw, reason in refused:
                operator.publish(topic, raw)
                ack = wait_until(lambda: len(operator.of("ack")) > 0 and operator.of("ack")[-1], 10)
                assert ack and ack["accepted"] is False and reason in ack["reason"], (raw, ack)
                assert reason in caplog.text
                operator.messages.clear()
            assert not machine.is_paused() and not machine.is_stopped() and not machine._exception_flag

            operator.publish(topic, b'{"v": 1, "command": "pause", "id": "p1"}')
            assert wait_until(machine.is_paused)
            assert wait_until(lambda: (operator.last("state") or {}).get("state") == "paused")
            operator.publish(topic, b'{"v": 1, "command": "resume", "id": "r1"}')
            assert wait_until(lambda: not machine.is_paused())
            assert wait_until(lambda: any(ack["id"] == "r1" for ack in operator.of("ack")))

            # Retained, though published while the reporter is subscribed: refused all the same.
            operator.messages.clear()
            operator.publish(topic, b'{"v": 1, "command": "pause", "id": "p2"}', retain=True)
            ack = wait_until(lambda: operator.of("ack") and operator.of("ack")[-1])
            assert ack == {**ack, "id": None, "accepted": False, "reason": "a retained command is never carried out"}
            time.sleep(0.3)
            assert not machine.is_paused()
            operator.publish(topic, b"", retain=True)
    finally:
        operator.close()


@needs_broker
def test_the_broker_refuses_commands_from_a_client_the_acl_does_not_allow(user_broker: Broker, plc: Any,
                                                                          machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    viewer, operator = Listener(user_broker, "viewer"), Listener(user_broker, "operator")
    try:
        with PlantReporter(machine, None, user_broker.url("cell-a"), line="l1", name="cell-a",
                           commands=["pause"], **FAST):
            assert wait_until(lambda: viewer.last("state"))
            viewer.publish("kvo/l1/cell-a/command", b'{"v": 1, "command": "pause", "id": "v1"}')
            assert wait_until(lambda: any(f"Denied PUBLISH from {viewer.client_id} " in line and
                                          "'kvo/l1/cell-a/command'" in line for line in user_broker.log().splitlines()))
            time.sleep(0.5)
            assert not machine.is_paused() and not viewer.of("ack")
            operator.publish("kvo/l1/cell-a/command", b'{"v": 1, "command": "pause", "id": "o1"}')
            assert wait_until(machine.is_paused)
            assert wait_until(lambda: viewer.of("ack"))[-1] == {**viewer.of("ack")[-1], "id": "o1", "accepted": True}
    finally:
        viewer.close()
        operator.close()


@pytest.mark.parametrize("url, reason", [
    ("http://127.0.0.1", "mqtt:// or mqtts://"),
    ("mqtt://", "names no host"),
    ("mqtt://127.0.0.1:99999", "port must be a number"),
    ("mqtt://127.0.0.1?ca=x", "need mqtts://"),
    ("mqtts://127.0.0.1?certificate=x", "unknown option(s) certificate"),
])
def test_a_bad_broker_url_is_refused_with_what_is_wrong(url: str, reason: str) -> None:
    with pytest.raises(ValueError, match=re.escape(reason)):
        parse_broker_url(url)


def test_commands_need_an_authenticated_connection_and_known_names(plc: Any, machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    with pytest.raises(ValueError, match="need a broker connection that names this reporter"):
        PlantReporter(machine, None, "mqtt://127.0.0.1:1", commands=["reset"])
    with pytest.raises(ValueError, match="unknown plant command.*'set_y'"):
        PlantReporter(machine, None, "mqtt://u:p@127.0.0.1:1", commands=["set_y"])
    for name in ("cell/#", "cell\n", "cell\r\n", "", "c" * 65, "céll"):
        with pytest.raises(ValueError, match="cannot be a topic level"):
            PlantReporter(machine, None, "mqtt://127.0.0.1:1", name=name)
    with pytest.raises(ValueError, match="cannot be a topic level"):
        PlantReporter(machine, None, "mqtt://127.0.0.1:1", line="line1\n")
    address = parse_broker_url("mqtts://op:pw@127.0.0.1?ca=ca.pem&cert=c.pem&key=c.key")
    assert address.tls and address.port == 8883 and address.authenticated and str(address) == "mqtts://op@127.0.0.1:8883"


@needs_broker
def test_the_retained_counters_count_every_cycle_done_before_close(broker: Broker, plc: Any,
                                                                   machines: list[Any]) -> None:
    machine = fp_machine(plc, machines)
    with PlantReporter(machine, None, broker.url(), line="l1", name="m1", counters_interval=60) as reporter:
        assert wait_until(lambda: reporter.published > 0)
        for _ in range(100):
            reporter.cycle_done()
    later = Listener(broker)  # sees what the broker retained
    try:
        assert wait_until(lambda: (later.last("state") or {}).get("state") == "offline")
        assert later.last("counters")["cycles"] == 100
    finally:
        later.close()


REPORTING_CHILD = """
import sys, time, kvo_fa, kvo_mew
from kvo_kit.plant import PlantReporter
kvo_mew.simulator("child").map_io(1, 1, 100)
machine = kvo_fa.FPMachine(1, 1, 100, "sim://child")
machine.start()
PlantReporter.attach(machine, None, sys.argv[1], line="l1", name="child")
time.sleep(60)
"""


@needs_broker
def test_the_last_will_marks_a_machine_that_dies_offline(broker: Broker, listener: Listener) -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", REPORTING_CHILD, broker.url()], env=env)
    try:
        assert wait_until(lambda: (listener.last("state") or {}).get("state") == "running", 20)
    finally:
        child.kill()  # no goodbye: the broker publishes the will
        child.wait()
    assert wait_until(lambda: listener.last("state")["state"] == "offline")
    assert listener.last("state")["reason"] == "connection lost"
