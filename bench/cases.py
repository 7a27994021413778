"""The measured operations, each with its target: a call cost bounded by a
multiple of the interpreter floor, or a speed-up over the baseline. Every
target also requires kvo_fa to be no slower than the baseline."""
import kvo_mew

from .fixtures import SIM, Calls, RefreshCycles, fp_machine, memory_machine, toggler


class Target:
    """`factor` × floor at most ("floor"), or `factor` × faster than the
    baseline at least ("faster")."""

    def __init__(self, kind, factor):
        self.kind = kind
        self.factor = factor

    def __str__(self):
        if self.kind == "floor":
            return "≤ %g× floor" % self.factor
        return "≥ %g× faster" % self.factor

    def met(self, kvo_fa, baseline, floor):
        if kvo_fa > baseline:
            return False
        if self.kind == "floor":
            return kvo_fa <= self.factor * floor
        return baseline >= self.factor * kvo_fa


class Case:
    def __init__(self, label, target, build, inner_loops=1):
        self.label = label
        self.target = target
        self.build = build  # implementation -> fixture
        self.inner_loops = inner_loops


def floor(_implementation):
    # Called as the cases call their methods: looked up on the object, then called.
    return Calls("d.get(1)", {"d": {1: 1}})


def image_calls(block, words):
    def build(implementation):
        image = implementation.XManager(*words)
        return Calls(block, {"m": image})
    return build


def update_calls(implementation):
    image = implementation.XManager(count=64)
    one = [0] * 63 + [1]
    other = [0] * 64
    return Calls("m.update(one)\nm.update(other)", {"m": image, "one": one, "other": other})


def memory_calls(block):
    def build(implementation):
        machine = memory_machine(implementation)
        machine.x_manager.update([0, 2, 0, 0])
        return Calls(block, {"m": machine}, machine.close)
    return build


def fp_calls(block):
    def build(implementation):
        machine, close = fp_machine(implementation)
        return Calls(block, {"m": machine}, close)
    return build


def fault_raise(implementation):
    machine = memory_machine(implementation)
    block = "try:\n    m.raise_x_exception(5, True, 3)\nexcept fault:\n    pass"
    return Calls(block, {"m": machine, "fault": implementation.XException}, machine.close)


def _work_once(self, task):
    self._Worker__stop_flag = True  # one pass of loop, then it returns


def worker_round(implementation):
    worker = type("OnePassWorker", (implementation.Worker,), {"work": _work_once})(None, "station")
    block = "w._Worker__stop_flag = False\nw.put(task)\nw.loop()"
    return Calls(block, {"w": worker, "task": "part"})


def memory_cycles(changing):
    def build(implementation):
        machine = memory_machine(implementation)
        between = None
        if changing:
            machine.toggle_input = True
            outputs = machine._y_words

            def between():
                outputs[0] ^= 1
        return RefreshCycles(implementation, machine, between)
    return build


def sim_cycles(changing):
    def build(implementation):
        machine, close = fp_machine(implementation)
        between = None
        if changing:
            set_input = toggler(lambda value: kvo_mew.simulator(SIM).set("X0", value))
            outputs = machine._y_words

            def between():
                set_input()
                outputs[0] ^= 1
        return RefreshCycles(implementation, machine, between, close)
    return build


FLOOR = Case("dict.get(1)", None, floor)

CASES = [
    Case("XManager.x(17)", Target("floor", 3), image_calls("m.x(17)", ([0, 2, 0, 0],))),
    Case("XManager.rising(17)", Target("floor", 3), image_calls("m.rising(17)", ([0, 2, 0, 0], [0] * 4))),
    Case("XManager.update, 64 words", Target("faster", 10), update_calls, inner_loops=2),
    Case("XManager.copy(), 64 words", Target("faster", 10), image_calls("m.copy()", ([0] * 64,))),
    Case("MachineBase.x(17)", Target("floor", 3), memory_calls("m.x(17)")),
    Case("MachineBase.y(3)", Target("floor", 3), memory_calls("m.y(3)")),
    Case("MachineBase.set_y(3, True)", Target("floor", 5), memory_calls("m.set_y(3, True)")),
    Case("FPMachine.x('X1F')", Target("floor", 6), fp_calls("m.x('X1F')")),
    Case("FPMachine.set_y('Y3', True)", Target("floor", 6), fp_calls("m.set_y('Y3', True)")),
    Case("FPMachine.name_to_index('X1F')", Target("floor", 6), fp_calls("m.name_to_index('X1F')")),
    Case("FPMachine.index_to_name('X', 31)", Target("floor", 6), fp_calls("m.index_to_name('X', 31)")),
    Case("refresh cycle, in-memory, no change", Target("faster", 3), memory_cycles(False)),
    Case("refresh cycle, in-memory, input edge + output write", Target("faster", 3), memory_cycles(True)),
    Case("refresh cycle, FPMachine on sim://, no change", Target("faster", 5), sim_cycles(False)),
    Case("refresh cycle, FPMachine on sim://, input edge + output write", Target("faster", 5), sim_cycles(True)),
    Case("raise_x_exception, no subscriber", Target("faster", 3), fault_raise),
    Case("Worker put + take + work", Target("faster", 2), worker_round),
]
