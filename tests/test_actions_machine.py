"""The actions on a real started machine: a MachineBase subclass whose PLC
is a pair of word lists in memory, changed by test threads."""
import threading
import time

import pytest

import kvo_fa
from machine_fakes import FakeMachine

CI = 0.01


@pytest.fixture
def machine():
    m = FakeMachine()
    m.start()
    try:
        yield m
    finally:
        m.close()


class Plant:
    """A thread that plays the machine's mechanics: each rule maps the state
    of one PLC output to the states of inputs after a delay."""

    def __init__(self, machine):
        self.machine = machine
        self.rules = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def follow(self, y, x, when_on, delay=0.05):
        self.rules.append((y, x, when_on, delay))
        return self

    def later(self, delay, action):
        self.rules.append((None, action, None, delay))
        return self

    def _run(self):
        began = time.monotonic()
        changed = {}
        while not self._stop.wait(0.005):
            now = time.monotonic()
            for y, x, when_on, delay in self.rules:
                if y is None:
                    if now - began >= delay and (x, delay) not in changed:
                        changed[(x, delay)] = now
                        x()
                    continue
                state = self.machine.plc.y_bit(y)
                key = (y, x)
                seen = changed.setdefault(key, (state, now))
                if seen[0] != state:
                    changed[key] = seen = (state, now)
                if now - seen[1] >= delay:
                    self.machine.plc.set_x(x, state == when_on)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def test_wait_sees_an_input_changed_in_the_plc(machine):
    with Plant(machine).later(0.1, lambda: machine.plc.set_x(3, True)):
        machine.wait_for_signal(3, True, timeout=5, check_interval=CI)
        machine.wait_for_multi_signals(["3", 4], [True, False], 5, CI)
    assert machine.x(3)


def test_never_started_machine_refuses_to_wait():
    m = FakeMachine()
    try:
        with pytest.raises(kvo_fa.StopException):
            m.wait_for_signal(0, False)
    finally:
        m.close()


def test_fault_on_the_base_machine_names_bits_in_decimal_and_aborts_others(machine):
    outcome = []

    def station():
        try:
            machine.wait_for_signal(7, True, check_interval=CI)
        except Exception as e:  # noqa: BLE001 - the outcome is the test
            outcome.append(e)

    worker = threading.Thread(target=station)
    worker.start()
    try:
        with pytest.raises(kvo_fa.VacuumException) as info:
            machine.raise_vacuum_exception(17, True, 5, 1, 1)
    finally:
        worker.join(5)
    assert str(info.value) == "真空泵 17 动作超时！目标状态：1，传感器：5，传感器目标状态：1，超时时间：1.0秒。"
    assert isinstance(outcome[0], kvo_fa.AbortByOtherException)
    with pytest.raises(AssertionError):
        machine.start()
    machine.reset()
    machine.wait_for_signal(7, False)


def test_subscriber_takes_time_outs_until_the_input_arrives(machine):
    taken = []
    machine.exception_event.subscribe(lambda e: taken.append(e) or True)
    with Plant(machine).later(0.3, lambda: machine.plc.set_x(2, True)):
        machine.wait_for_signal(2, True, timeout=0.1, check_interval=CI)
    assert taken and all(isinstance(e, kvo_fa.XException) for e in taken)
    assert not machine._exception_flag


def test_single_cylinder_moves_on_the_plant(machine):
    machine.plc.set_x(3, True)
    with Plant(machine).follow(10, 3, when_on=False).follow(10, 4, when_on=True, delay=0.1):
        machine.trigger_cylinder(10, True, 3, 4, timeout=5, check_interval=CI)
        assert machine.x(4) and not machine.x(3)
        machine.trigger_cylinder("10", False, 4, 3, timeout=5, check_interval=CI)
    assert machine.x(3) and not machine.plc.y_bit(10)


def test_stuck_cylinder_reports_in_decimal(machine):
    machine.plc.set_x(3, True)
    with pytest.raises(kvo_fa.CylinderException) as info:
        machine.trigger_cylinder(10, True, 3, 4, timeout=0.1, check_interval=CI)
    assert str(info.value).startswith("气缸 10 动作超时！目标状态：1，原位置：3，目标位置：4，超时时间：0.1秒")
    assert machine._exception_flag


def test_double_cylinder_pause_and_start(machine):
    m = machine
    m.plc.set_x(3, True)
    seen = {}

    def look():
        seen["paused"] = (m.y(1), m.y(2))

    plant = (Plant(m).later(0.05, m.pause).later(0.35, look).later(0.5, m.start)
             .follow(1, 3, when_on=False).follow(1, 4, when_on=True, delay=0.1))
    with plant:
        m.trigger_dy_cylinder(1, True, 2, None, 3, 4, timeout=2, check_interval=CI)
    assert seen["paused"] == (False, False)
    assert (m.y(1), m.y(2)) == (True, False)
    assert m.x(4) and not m._exception_flag


def test_double_cylinder_stop_leaves_stop_values(machine):
    m = machine
    m.plc.set_x(3, True)
    with Plant(m).later(0.1, m.stop):
        with pytest.raises(kvo_fa.StopException):
            m.trigger_dy_cylinder(1, False, 2, True, 3, 4, check_interval=CI,
                                  y0_stop_value=True, y1_stop_value=False)
    assert (m.y(1), m.y(2)) == (True, False)


def test_vacuums_on_the_plant(machine):
    with Plant(machine).follow(20, 5, when_on=True).follow(21, 6, when_on=True):
        machine.trigger_vacuum(20, True, 5, True, timeout=5, check_interval=CI)
        machine.trigger_multi_vacuums([20, 21], [False, True], [5, 6], [False, True], 5, check_interval=CI)
    assert machine.plc.y_bit(21) and not machine.x(5) and machine.x(6)


def test_multi_vacuum_time_out_is_an_input_fault(machine):
    with pytest.raises(kvo_fa.XException) as info:
        machine.trigger_multi_vacuums([20], [True], [5], True, 0.1, check_interval=CI)
    assert str(info.value) == "等待输入信号 5 超时！目标状态：1，超时时间：0.1秒。"
