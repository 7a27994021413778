"""What a case is timed on: a loop of calls over prepared objects, or refresh
cycles of a machine run by its own loop body, and the machines they use.

A fixture is prepared for each timing (outside the timed part), runs `loops`
iterations and returns the seconds they took, then is closed."""
import itertools
import textwrap

import kvo_mew

SIM = "bench"
WORDS = 4  # input and output words of the measured machines
Y_SHIFT = 100


def compile_loop(block, names):
    """A function run(loops, timer, *names) that times `loops` runs of the
    statements `block`, the prepared objects being fast local variables."""
    source = ("def run(loops, timer, %s):\n"
              "    started = timer()\n"
              "    for _ in range(loops):\n"
              "%s\n"
              "    return timer() - started\n") % (", ".join(names), textwrap.indent(block, " " * 8))
    namespace = {}
    exec(compile(source, "<bench loop>", "exec"), namespace)
    return namespace["run"]


class Calls:
    """`block` run in a loop over the objects of `namespace`."""

    def __init__(self, block, namespace, close=None):
        self._run = compile_loop(block, sorted(namespace))
        self._namespace = namespace
        self._close = close

    def run(self, loops, timer):
        return self._run(loops, timer, **self._namespace)

    def close(self):
        if self._close is not None:
            self._close()


class RefreshCycles:
    """`loops` refresh cycles of `machine`, run by its own `_update` in this
    thread: the pause after each cycle is replaced by a call that counts the
    cycles (and runs `between`, which may change inputs or outputs), and that
    ends the loop after the last one."""

    def __init__(self, implementation, machine, between=None, close=None):
        self._implementation = implementation
        self._machine = machine
        self._between = between
        self._close = close

    def run(self, loops, timer):
        machine = self._machine
        between = self._between
        left = loops

        def cycle_done(seconds):
            nonlocal left
            if between is not None:
                between()
            left -= 1
            if left <= 0:
                machine._exit_flag = True

        completed = machine._MachineBase__xy_refresh_counter
        with self._implementation.sleep_replaced(cycle_done):
            machine._exit_flag = False
            started = timer()
            machine._update()
            elapsed = timer() - started
        completed = machine._MachineBase__xy_refresh_counter - completed
        while not machine._ee_queue.empty():
            machine._ee_queue.get()
        if completed != loops:
            raise RuntimeError("%d of %d refresh cycles failed" % (loops - completed, loops))
        return elapsed

    def close(self):
        (self._close or self._machine.close)()


class MemoryBackend:
    """PLC words kept in lists: the machine's own cost only. With
    `toggle_input` every input read finds bit 0 changed."""

    def __init__(self, x_word_count, y_word_count):
        super().__init__(x_word_count, y_word_count)
        self.plc_x = [0] * x_word_count
        self.plc_y = [0] * y_word_count
        self.toggle_input = False

    def do_get_x_uint16(self):
        if self.toggle_input:
            self.plc_x[0] ^= 1
        return list(self.plc_x)

    def do_get_y_uint16(self):
        return list(self.plc_y)

    def do_set_y_uint16(self, values):
        self.plc_y[:] = values


_memory_classes = {}


def memory_machine(implementation):
    cls = _memory_classes.get(implementation.name)
    if cls is None:
        cls = type("MemoryMachine", (MemoryBackend, implementation.MachineBase), {})
        _memory_classes[implementation.name] = cls
    return cls(WORDS, WORDS)


def fp_machine(implementation):
    """An FPMachine on a fresh simulated PLC; returns it with its closer."""
    kvo_mew.reset_simulators()
    kvo_mew.simulator(SIM).map_io(x_words=WORDS, y_words=WORDS, y_shift=Y_SHIFT)
    machine = implementation.FPMachine(WORDS, WORDS, Y_SHIFT, "sim://" + SIM)

    def close():
        machine.close()
        machine._plc.close()
    return machine, close


def toggler(flip):
    """A function that calls flip(True), flip(False), ... in turn."""
    states = itertools.cycle((True, False))
    return lambda: flip(next(states))
