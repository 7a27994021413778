"""The press-fit station tested with kvo_kit's pytest plugin on virtual time.

Each test runs a cycle with 7 s time-outs; on the virtual clock it takes under
a second of real time, and a time-out fires 7 s of virtual time after
the wait began, the same in every run.

    python3 -m pytest examples/press_fit      # with the kit installed
"""
import os
import sys
from typing import Any

import pytest

import kvo_fa
from kvo_kit.clock import VirtualClock
from kvo_kit.pytest_plugin import MachineFactory

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import station  # noqa: E402


Press = tuple[kvo_fa.FPMachine, station.PressFit, list[str]]


@pytest.fixture
def press(virtual_clock: VirtualClock, sim_plc: Any, fp_machine: MachineFactory,
          worker_group: kvo_fa.WorkerGroup) -> Press:
    """The station on the test's simulated PLC, started, with a fault recorder."""
    station.build(sim_plc)
    machine = fp_machine(station.X_WORDS, station.Y_WORDS, station.Y_SHIFT)
    station.IO.check(machine)
    faults: list[str] = []

    def operator(fault: Exception) -> bool:
        faults.append(str(fault))
        return False  # not taken: the machine stops on it

    machine.exception_event.subscribe(operator)
    worker = station.PressFit(worker_group, machine)
    worker_group.add(worker)
    machine.start()
    worker_group.start_all()
    return machine, worker, faults


def test_a_part_is_pressed_and_ejected(press: Press, sim_plc: Any, virtual_clock: VirtualClock) -> None:
    machine, worker, faults = press
    sim_plc.feed("fixture")
    worker.put("part 1")
    virtual_clock.wait_until(lambda: worker.good == 1, timeout=20)
    assert faults == []
    # down and up strokes, the force build-up and the polling: about 1.6 s
    assert 1.4 <= virtual_clock.elapsed <= 2.5
    assert sim_plc.devices["force"]["value"] is False  # the press is up again


# The station's work ends with the fault it raised: its thread's exception is expected.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_empty_fixture_times_out_after_seven_seconds(press: Press, virtual_clock: VirtualClock) -> None:
    machine, worker, faults = press
    worker.put("part 1")  # no part fed
    virtual_clock.wait_until(lambda: faults, timeout=20)
    assert faults == ["等待输入信号 X2 超时！目标状态：1，超时时间：7.0秒。"]
    # 7 s from when the station took the task (its idle loop polls every 0.1 s)
    assert 7.0 <= virtual_clock.elapsed <= 7.3


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_no_force_on_a_jammed_press(press: Press, sim_plc: Any, virtual_clock: VirtualClock) -> None:
    machine, worker, faults = press
    sim_plc.jam("press", "arrive")  # stops halfway: never down, so never the force
    sim_plc.feed("fixture")
    worker.put("part 1")
    virtual_clock.wait_until(lambda: faults, timeout=20)
    assert faults == ["气缸 Y0 动作超时！目标状态：1，原位置：X0，目标位置：X1，超时时间：7.0秒，等待时间：0.0秒。"]
    assert 7.0 <= virtual_clock.elapsed <= 7.3
    assert worker.good == 0


def test_the_io_map_fits_the_machine(fp_machine: MachineFactory) -> None:
    machine = fp_machine(station.X_WORDS, station.Y_WORDS, station.Y_SHIFT)
    assert station.IO.check(machine) is station.IO
    assert station.IO.index("force_ok") == 3
    assert isinstance(machine, kvo_fa.FPMachine)
