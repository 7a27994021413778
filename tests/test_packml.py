"""PackML states, PackTags, OEE and commands kept by kvo_kit.packml: the state
model on a scripted machine and a manual clock, then on a real FPMachine on
the simulated PLC with its stations."""
import time
from types import SimpleNamespace
from typing import Any

import pytest

import kvo_fa
from kvo_kit.packml import COMMANDS, Mode, PackML, State, next_state, parse_state
from kvo_kit.plant.commands import CommandRefused

S = State


class Clock:
    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


class ScriptedMachine:
    """The run flags of a machine, as kvo_fa keeps them (a new machine is stopped)."""

    def __init__(self) -> None:
        self._exception_flag, self._MachineBase__exception = False, None
        self.stopped, self.paused = True, False

    def is_stopped(self) -> bool:
        return self.stopped

    def is_paused(self) -> bool:
        return self.paused

    def start(self) -> None:
        assert not self._exception_flag
        self.stopped = self.paused = False

    def stop(self) -> None:
        self.stopped = True

    def pause(self) -> None:
        self.paused = True

    def reset(self) -> None:
        self._exception_flag, self._MachineBase__exception = False, None
        self.stopped = self.paused = False

    def fault(self, error: BaseException) -> None:
        self._exception_flag, self._MachineBase__exception = True, error


class ScriptedGroup:
    def __init__(self) -> None:
        self.station = SimpleNamespace(name="press", dead=False, working=False, free=True)
        self._workers = [self.station]
        self.calls: list[str] = []

    def work(self, working: bool) -> None:
        self.station.working, self.station.free = working, not working

    def start_all(self) -> None:
        self.calls.append("start_all")

    def stop_all(self) -> None:
        self.calls.append("stop_all")

    def reset_all(self, clear_job: bool = True) -> None:
        self.calls.append(f"reset_all({clear_job})")


@pytest.fixture
def cell() -> Any:
    clock, machine, group = Clock(), ScriptedMachine(), ScriptedGroup()
    packml = PackML(machine, group, ideal_cycle=2.0, starved_after=30.0, clock=clock, wall=clock)
    return SimpleNamespace(clock=clock, machine=machine, group=group, packml=packml)


def walk(cell: Any, act: Any, updates: int) -> list[State]:
    if act is not None:
        act(cell)
    seen = []
    for _ in range(updates):
        cell.packml.update()
        seen.append(cell.packml.state)
        cell.clock.now += 0.1
    return seen


def started(c: Any) -> None:
    c.machine.start()


def working(c: Any) -> None:
    c.group.work(True)


def starved(c: Any) -> None:
    c.group.work(False)
    c.clock.now += 31


@pytest.mark.parametrize("before, act, expected", [
    ([], None, [S.Stopped]),
    ([], started, [S.Resetting, S.Idle, S.Idle]),
    ([started], working, [S.Starting, S.Execute]),
    ([started, working], lambda c: c.group.work(False), [S.Execute, S.Execute]),   # between two parts
    ([started, working], starved, [S.Suspended, S.Suspended]),
    ([started, working, starved], working, [S.Execute]),
    ([started, working], lambda c: c.machine.pause(), [S.Holding, S.Held, S.Held]),
    ([started, working, lambda c: c.machine.pause()], started, [S.Unholding, S.Execute]),
    ([started], lambda c: c.machine.pause(), [S.Holding, S.Held]),
    ([started, working], lambda c: c.machine.stop(), [S.Stopping, S.Stopped, S.Stopped]),
    ([started, working], lambda c: c.machine.fault(TimeoutError("slide")), [S.Aborting, S.Aborted, S.Aborted]),
    ([started, working, lambda c: c.machine.fault(TimeoutError("slide")), lambda c: c.group.work(False)],
     lambda c: c.machine.reset(), [S.Clearing, S.Stopped, S.Resetting, S.Idle]),
    ([started, lambda c: c.machine.pause()], lambda c: c.machine.fault(TimeoutError("x")), [S.Aborting, S.Aborted]),
])
def test_the_state_follows_the_run_flags_and_the_stations_one_step_per_update(cell: Any, before: list[Any],
                                                                             act: Any, expected: list[State]) -> None:
    walk(cell, None, 1)  # the first update takes the machine's state as it is
    for step in before:
        walk(cell, step, 4)
    assert walk(cell, act, len(expected)) == expected


def test_every_step_is_a_transition_of_the_state_model() -> None:
    steady = (S.Stopped, S.Idle, S.Execute, S.Suspended, S.Held, S.Aborted)
    for start in State:
        for target in steady:
            state, path = start, [start]
            while state != target:
                state = next_state(state, target)
                path.append(state)
                assert len(path) < 10, path
            if start == S.Execute and target == S.Stopped:
                assert path == [S.Execute, S.Stopping, S.Stopped]
            if start == S.Aborted and target == S.Idle:
                assert path == [S.Aborted, S.Clearing, S.Stopped, S.Resetting, S.Idle]


def test_a_fault_gives_stop_reason_and_alarm_until_cleared_even_when_reset_at_once(cell: Any) -> None:
    walk(cell, started, 3)
    quick = ValueError("reset before the next update")
    cell.packml.note_fault(quick, at=4.0)
    assert walk(cell, None, 6) == [S.Aborting, S.Aborted, S.Clearing, S.Stopped, S.Resetting, S.Idle]
    assert cell.packml.tags()["StopReason"] == {"type": "ValueError", "message": str(quick), "at": 4.0}
    error = TimeoutError("slide did not arrive")
    cell.packml.note_fault(error, at=5.0)
    cell.machine.fault(error)
    walk(cell, None, 2)
    tags = cell.packml.tags()
    assert tags["StopReason"] == {"type": "TimeoutError", "message": "slide did not arrive", "at": 5.0}
    assert tags["Alarm"] == [tags["StopReason"]] and tags["StateCurrentName"] == "Aborted"
    walk(cell, lambda c: c.machine.reset(), 2)
    tags = cell.packml.tags()
    assert tags["Alarm"] == [] and tags["StopReason"]["type"] == "TimeoutError"


def test_tags_and_oee_from_state_times_and_counts(cell: Any) -> None:
    p, clock = cell.packml, cell.clock
    walk(cell, None, 1)                         # Stopped
    walk(cell, started, 2)                      # Resetting, Idle
    walk(cell, working, 2)                      # Starting, Execute
    clock.now += 99.9                           # 100 s in Execute
    for _ in range(40):
        p.cycle_done()
    p.cycle_done(good=False, count=10)
    walk(cell, lambda c: c.machine.pause(), 2)  # Holding, Held
    clock.now += 99.9                           # 100 s held
    tags = p.tags()
    assert tags["ProdProcessedCount"] == 50 and tags["ProdDefectiveCount"] == 10
    assert tags["MachSpeed"] == 30.0 and tags["CurMachSpeed"] == 0.0   # not executing
    assert tags["StateCumulativeTime"]["Execute"] == pytest.approx(100.0)
    assert tags["StateCumulativeTime"]["Held"] == pytest.approx(100.0)
    assert tags["StateCurrentTime"] == pytest.approx(100.0)
    oee = p.oee()
    assert oee["availability"] == pytest.approx(100 / 200.2, abs=1e-3)     # Starting and Holding count
    assert oee["performance"] == pytest.approx(2.0 * 50 / 100, abs=1e-3)
    assert oee["quality"] == pytest.approx(0.8)
    assert oee["oee"] == pytest.approx(oee["availability"] * oee["performance"] * 0.8, abs=1e-3)
    last = p.oee(50)
    assert last["availability"] == 0.0 and last["window"] == 50.0 and last["quality"] == 0.0
    p.set_mode("maintenance")                   # not planned for production
    clock.now += 100
    assert p.oee()["availability"] == pytest.approx(100 / 200.2, abs=1e-3) and p.tags()["UnitModeName"] == "Maintenance"
    p.reset_counters()
    assert p.tags()["ProdProcessedCount"] == 0 and p.oee()["window"] == 0.0
    entered = [state for _, state in p.history()]
    assert entered[:6] == [S.Undefined, S.Stopped, S.Resetting, S.Idle, S.Starting, S.Execute]


def test_commands_are_refused_unless_the_state_allows_them(cell: Any) -> None:
    walk(cell, None, 1)
    with pytest.raises(CommandRefused, match="unknown PackML command 'reset'"):
        cell.packml.command("reset")
    with pytest.raises(CommandRefused, match="Start is not possible in the state Stopped"):
        cell.packml.command("Start")
    assert set(COMMANDS) == {"Reset", "Start", "Stop", "Hold", "Unhold", "Abort", "Clear"}


def test_a_failing_observer_does_not_stop_the_others(cell: Any) -> None:
    seen: list[tuple[State, State]] = []
    walk(cell, None, 1)
    cell.packml.on_change(lambda old, new: 1 / 0)
    cell.packml.on_change(lambda old, new: seen.append((old, new)))
    walk(cell, started, 2)
    assert seen == [(S.Stopped, S.Resetting), (S.Resetting, S.Idle)]


@pytest.mark.parametrize("given, expected", [("Execute", S.Execute), ("execute", S.Execute), (6, S.Execute),
                                             (S.Held, S.Held), (" aborted ", S.Aborted)])
def test_parse_state(given: Any, expected: State) -> None:
    assert parse_state(given) is expected


@pytest.mark.parametrize("given", ["Running", 18, -1, True, None, 6.0])
def test_parse_state_refuses(given: Any) -> None:
    with pytest.raises(ValueError):
        parse_state(given)


def test_mode_is_set_by_name_or_number_and_never_invalid(cell: Any) -> None:
    cell.packml.set_mode(3)
    assert cell.packml.mode is Mode.Manual
    for bad in ("Invalid", 0, "auto"):
        with pytest.raises(ValueError, match="Production, Maintenance or Manual"):
            cell.packml.set_mode(bad)


# ---- a real machine on the simulated PLC

class Press(kvo_fa.Worker):
    """Presses while X2 is off; X1 must come within 0.3 s or the machine faults."""

    def __init__(self, group: Any, machine: Any) -> None:
        super().__init__(group, "press")
        self.machine, self.loop_interval = machine, 0.01

    def work(self, task: object) -> None:
        if task == "fault":
            self.machine.wait_for_signal("X1", True, 0.3, 0.01)
        else:
            self.machine.wait_for_signal("X2", True, 30, 0.01)


def until(packml: PackML, *states: State, timeout: float = 10.0) -> list[State]:
    """Update every 20 ms until `states` were passed through in this order; the states seen."""
    seen, deadline = [packml.state], time.monotonic() + timeout
    while time.monotonic() < deadline:
        if packml.update():
            seen.append(packml.state)
        it = iter(seen)
        if all(state in it for state in states):
            return seen
        time.sleep(0.02)
    raise AssertionError(f"saw {[s.name for s in seen]}, not {[s.name for s in states]}")


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_real_machine_through_production_fault_recovery_and_every_command(plc: Any, machines: list[Any],
                                                                           worker_group: Any) -> None:
    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    worker_group.add(Press(worker_group, machine))
    packml = PackML(machine, worker_group, ideal_cycle=1.0, starved_after=0.3)
    machine.exception_event.subscribe(lambda e: packml.note_fault(e) or False)
    until(packml, S.Stopped)
    machine.start()
    worker_group.start_all()
    until(packml, S.Resetting, S.Idle)
    worker_group.put_task("press", "part")
    until(packml, S.Starting, S.Execute)
    plc.set("X2", True)
    until(packml, S.Suspended)

    worker_group.put_task("press", "fault")
    until(packml, S.Aborting, S.Aborted)
    assert packml.tags()["StopReason"]["type"] == "XException"
    with pytest.raises(CommandRefused):
        packml.command("Reset")
    packml.command("Clear")
    until(packml, S.Clearing, S.Stopped)
    assert not machine._exception_flag and machine.is_stopped() and packml.tags()["Alarm"] == []

    packml.command("Reset")
    until(packml, S.Resetting, S.Idle)
    packml.command("Start")
    packml.command("Hold")
    until(packml, S.Holding, S.Held)
    assert machine.is_paused()
    packml.command("Unhold")
    until(packml, S.Unholding, S.Idle)
    packml.command("Stop")
    until(packml, S.Stopping, S.Stopped)
    packml.command("Abort")
    until(packml, S.Aborting, S.Aborted)
    assert packml.tags()["StopReason"]["type"] == "Abort"
    packml.command("Clear")
    until(packml, S.Clearing, S.Stopped)
    assert packml.tags()["StateCumulativeTime"]["Execute"] > 0


class Stroke(kvo_fa.Worker):
    """A part takes 2 s (of the machine's time)."""

    def __init__(self, group: Any) -> None:
        super().__init__(group, "stroke")

    def work(self, task: object) -> None:
        kvo_fa._sleep(2.0)


def test_starved_for_longer_than_set_on_the_virtual_clock(virtual_clock: Any, fp_machine: Any,
                                                          worker_group: Any) -> None:
    machine = fp_machine(1, 1, 100)
    worker_group.add(Stroke(worker_group))
    packml = PackML(machine, worker_group, ideal_cycle=2.0, starved_after=60.0, clock=virtual_clock.now,
                    wall=virtual_clock.now)
    machine.start()
    worker_group.start_all()
    for _ in range(3):
        worker_group.put_task("stroke", "part")
    seen: list[State] = []
    packml.on_change(lambda old, new: seen.append(new))
    virtual_clock.wait_until(lambda: packml.update() and False or packml.state == S.Suspended, timeout=300,
                             interval=0.5)
    assert seen == [S.Idle, S.Starting, S.Execute, S.Suspended]  # the first update finds it started
    tags = packml.tags()
    assert tags["StateCumulativeTime"]["Execute"] == pytest.approx(6.0 + 60.0, abs=1.5)  # 3 strokes, then starved
    assert packml.oee()["availability"] == pytest.approx(66 / 67.5, abs=0.03)
