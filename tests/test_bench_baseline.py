"""The benchmarks' plain-Python baseline behaves as kvo_fa does: the same
results, images, link traffic and faults for the same inputs, so that the
ratios compare equal work."""
import pathlib
import random
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
import kvo_mew  # noqa: E402

from bench import fixtures  # noqa: E402
from bench.implementations import BASELINE, IMPLEMENTATIONS, KVO_FA  # noqa: E402


def outcome(call):
    """What a call gives: its result, or its exception's class name and text."""
    try:
        return "result", call()
    except Exception as error:
        return type(error).__name__, str(error)


def both(scenario):
    """The scenario's outcomes on kvo_fa and on the baseline."""
    return [scenario(implementation) for implementation in (KVO_FA, BASELINE)]


def test_word_image_follows_updates():
    chooser = random.Random(15)
    steps = [[chooser.choice((0, 1, 0x8000, 0xFFFF, 0x1234)) for _ in range(3)] for _ in range(40)]

    def scenario(implementation):
        image = implementation.XManager([5, 0, 7])
        seen = []
        for words in steps:
            seen.append(image.update(words))
            snapshot = image.copy()
            seen.append([(image.x(i), image.rising(i), image.falling(i), snapshot[i]) for i in range(-48, 48)])
            seen.append((image.event_occured(), image.wx(-1), image.copy_old(), snapshot.word_count))
        return seen
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline


@pytest.mark.parametrize("call", [
    lambda m: m.update((1, 2)), lambda m: m.update(None), lambda m: m.update([1]), lambda m: m.update([1, 2, 3]),
    lambda m: m.x(32), lambda m: m.wx(2)])
def test_word_image_refuses_the_same(call):
    def scenario(implementation):
        image = implementation.XManager([3, 4])
        return outcome(lambda: call(image)), image.copy_old(), [image.wx(0), image.wx(1)]
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline


def test_machine_bits_by_index_and_name():
    def scenario(implementation):
        machine = fixtures.memory_machine(implementation)
        try:
            machine.x_manager.update([0x8001, 2, 0, 0xFFFF])
            seen = []
            for index, value in [(3, True), (17, 2), ("17", 0), (b"33", True), (-1, True), (63, ""), (5, None)]:
                seen.append(machine.set_y(index, value))
                seen.append(list(machine._y_words))
            seen.append([(machine.x(i), machine.y(i), machine.rising(i), machine.falling(i)) for i in range(64)])
            seen.append((machine.x("15"), machine.wx("1"), machine.wy(0), machine.x_word_count, machine.y_word_count))
            seen.append([outcome(call) for call in (lambda: machine.x("X5"), lambda: machine.set_y(64, True),
                                                    lambda: machine.index_to_name("X", 10))])
            return seen
        finally:
            machine.close()
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline


class Recording(fixtures.MemoryBackend):
    """Notes every transfer; inputs follow a script, one entry per read."""

    def __init__(self, inputs):
        super().__init__(2, 2)
        self.inputs = list(inputs)
        self.calls = []

    def do_get_x_uint16(self):
        self.plc_x = self.inputs.pop(0) if self.inputs else self.plc_x
        self.calls.append(("x", list(self.plc_x)))
        return list(self.plc_x)

    def do_get_y_uint16(self):
        self.calls.append(("get y",))
        return [word + 1 for word in self.plc_y]

    def do_set_y_uint16(self, values):
        self.calls.append(("set y", list(values)))
        super().do_set_y_uint16(values)


def test_refresh_cycles_make_the_same_transfers():
    def scenario(implementation):
        cls = type("RecordingMachine", (Recording, implementation.MachineBase), {})
        machine = cls([[0, 0], [1, 0], [1, 0], [0, 0x8000], [0, 0x8000]])
        changes = iter([lambda: machine.set_y(3, True), None, lambda: (machine.set_y(0, True),
                                                                        machine.set_y(20, True)), None, None])

        def between():
            change = next(changes, None)
            if change is not None:
                change()
        cycles = fixtures.RefreshCycles(implementation, machine, between)
        snapshots = []
        machine._ee_queue.put = snapshots.append  # keep what the cycles queue
        try:
            cycles.run(5, lambda: 0.0)
        finally:
            cycles.close()
        return (machine.calls, machine._y_words, machine._y_words_old,
                [[snapshot.rising(i) for i in range(32)] for snapshot in snapshots])
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline
    assert len(kvo_fa[3]) == 2  # the cycles that saw inputs change


@pytest.mark.parametrize("name", ["X0", "X00", "XF", "X1F", "X1f", "Y10", "R999F", "R1000F", "D100", "DT100",
                                  "WX3", "W3", "x10", "T5", "", "X", "D", "X1G"])
def test_fp_names_to_index(name):
    def scenario(implementation):
        machine, close = fixtures.fp_machine(implementation)
        try:
            return outcome(lambda: machine.name_to_index(name))
        finally:
            close()
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline


@pytest.mark.parametrize("prefix, index", [("X", 0), ("X", 31), ("Y", 255), ("R", 999 * 16 + 15), ("D", 100),
                                           ("DT", 100), ("WX", 3), ("Q", 5), ("Q", "X5"), ("", 1), (b"X", 1)])
def test_fp_index_to_name(prefix, index):
    def scenario(implementation):
        machine, close = fixtures.fp_machine(implementation)
        try:
            return outcome(lambda: machine.index_to_name(prefix, index))
        finally:
            close()
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline


def test_fp_machine_cycles_over_the_simulated_plc():
    def scenario(implementation):
        machine, close = fixtures.fp_machine(implementation)
        plc = kvo_mew.simulator(fixtures.SIM)
        try:
            plc.set("X1F", True)
            machine.set_y("Y3", True)
            cycles = fixtures.RefreshCycles(implementation, machine)
            cycles.run(2, lambda: 0.0)
            seen = (machine.x("X1F"), machine.rising("X1F"), machine.y("Y3"), list(machine._y_words),
                    machine._plc.get_multi_uint16(1, "D100", fixtures.WORDS))
            machine.set_y("Y3", False)
            cycles.run(1, lambda: 0.0)
            return seen, machine._plc.get_multi_uint16(1, "D100", fixtures.WORDS)
        finally:
            close()
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline
    assert kvo_fa[0][3] == [8, 0, 0, 0]


@pytest.mark.parametrize("taken", [False, True])
def test_fault_raise(taken):
    def scenario(implementation):
        machine = fixtures.memory_machine(implementation)
        try:
            if taken:
                machine.exception_event.subscribe(lambda fault: True)
            result = outcome(lambda: machine.raise_x_exception(5, True, 3))
            stored = machine._MachineBase__exception
            return result, machine._exception_flag, None if stored is None else str(stored)
        finally:
            machine.close()
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline
    assert kvo_fa[0] == (("result", None) if taken else ("XException", "等待输入信号 5 超时！目标状态：1，超时时间：3.0秒。"))


def test_worker_put_take_work():
    def scenario(implementation):
        done = []

        class Station(implementation.Worker):
            def work(self, task):
                done.append(task)
                if task == "last":
                    self._Worker__stop_flag = True
        station = Station(None, "station", max_job_count=3)
        seen = []
        for task in ("a", "b", "last"):
            station.put(task)
            seen.append((station.full, station.free, station.working, station.dead))
        station.put_task_timeout = 0.05
        seen.append(outcome(lambda: station.put("more")))
        station.loop()
        seen.append((done, station.full, station.free))
        return seen
    kvo_fa, baseline = both(scenario)
    assert kvo_fa == baseline
    assert kvo_fa[3] == ("FATimeoutException", "Put job to worker 'station' timeout.")


def test_each_implementation_has_the_measured_names():
    for implementation in IMPLEMENTATIONS:
        for name in ("XManager", "MachineBase", "FPMachine", "Worker", "XException"):
            assert getattr(implementation, name) is not None
