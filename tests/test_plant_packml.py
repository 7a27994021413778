"""The plant reporter's PackML news in its JSON dialect: the state message's
PackML state, the retained PackTags and OEE, and PackML commands through the
allow-list, against a real Mosquitto with users and the ACL."""
from typing import Any, Iterator

import pytest

import kvo_fa
from plant_support import Broker, Listener, needs_broker, wait_until

from kvo_kit.plant import PlantReporter

FAST = dict(poll_interval=0.02, io_interval=0.02, counters_interval=0.2, heartbeat_interval=1.0)


class Press(kvo_fa.Worker):
    """Presses until X2 comes on."""

    def __init__(self, group: Any, machine: Any) -> None:
        super().__init__(group, "press")
        self.machine, self.loop_interval = machine, 0.01

    def work(self, task: object) -> None:
        self.machine.wait_for_signal("X2", True, 30, 0.01)


@pytest.fixture(scope="module")
def module_broker(tmp_path_factory: Any) -> Iterator[Broker]:
    broker = Broker(str(tmp_path_factory.mktemp("broker")), users=True).start()
    yield broker
    broker.kill()


@needs_broker
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # Stop ends the press's wait
def test_state_packtags_oee_and_packml_commands_in_the_json_dialect(module_broker: Broker, plc: Any,
                                                                   machines: list[Any], worker_group: Any) -> None:
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    worker_group.add(Press(worker_group, machine))
    machine.start()
    worker_group.start_all()
    operator = Listener(module_broker, "operator")
    topic = "kvo/l1/cell-a/command"

    def packml(field: str) -> Any:
        return (operator.last("packml") or {}).get(field)

    def ack(command_id: str) -> Any:
        return next((a for a in operator.of("ack") if a.get("id") == command_id), None)

    try:
        with PlantReporter(machine, worker_group, module_broker.url("cell-a"), line="l1", name="cell-a",
                           commands=["Hold", "Unhold", "Stop"], ideal_cycle=0.5, **FAST) as reporter:
            assert wait_until(lambda: (operator.last("state") or {}).get("packml", {}).get("state") == "Idle")
            assert operator.last("state")["packml"] == {"state": "Idle", "state_number": 4, "mode": "Production"}
            assert operator.last("info")["commands"] == ["Hold", "Stop", "Unhold"]
            worker_group.put_task("press", "part")
            assert wait_until(lambda: packml("StateCurrentName") == "Execute")
            reporter.cycle_done()
            reporter.cycle_done(good=False)
            reporter.cycle_done(2)
            assert wait_until(lambda: packml("ProdProcessedCount") == 4)
            assert packml("ProdDefectiveCount") == 1 and packml("MachSpeed") == 120.0
            oee = wait_until(lambda: (operator.last("oee") or {}).get("shift", {}).get("quality") == 0.75
                             and operator.last("oee"))
            assert set(oee["hour"]) == {"availability", "performance", "quality", "oee", "window"}

            operator.publish(topic, b'{"v": 1, "command": "Unhold", "id": "u1"}')
            assert "not possible in the state Execute" in wait_until(lambda: ack("u1"))["reason"]
            operator.publish(topic, b'{"v": 1, "command": "Start", "id": "s1"}')
            assert "'Start' is not allowed here" in wait_until(lambda: ack("s1"))["reason"]
            operator.publish(topic, b'{"v": 1, "command": "Hold", "id": "h1"}')
            assert wait_until(lambda: ack("h1"))["accepted"] and machine.is_paused()
            assert wait_until(lambda: packml("StateCurrentName") == "Held")
            states = [m["packml"]["state"] for m in operator.of("state")]
            assert states[-2:] == ["Holding", "Held"]
            operator.publish(topic, b'{"v": 1, "command": "Unhold", "id": "u2"}')
            assert wait_until(lambda: packml("StateCurrentName") == "Execute")
            operator.publish(topic, b'{"v": 1, "command": "Stop", "id": "t1"}')
            assert wait_until(lambda: packml("StateCurrentName") == "Stopped") and machine.is_stopped()
    finally:
        operator.close()
