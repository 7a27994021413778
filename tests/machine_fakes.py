"""A concrete machine over an in-memory PLC, for the machine core tests."""
import threading
import time

import pytest

import kvo_fa


class FakePLC:
    """Input and output words of a PLC, with scripted misbehaviour.

    `script[op]` is a list of outcomes consumed one per call of the transfer
    operation `op` ("get_x", "get_y", "set_y"): an exception instance is
    raised, a callable is called (and its result returned), anything else is
    returned instead of the real words.
    """

    def __init__(self, x_count, y_count):
        self.x = [0] * x_count
        self.y = [0] * y_count
        self.writes = []
        self.calls = []
        self.script = {"get_x": [], "get_y": [], "set_y": []}

    def set_x(self, index, value):
        """Plays a sensor: input bit `index` of the PLC."""
        word, bit = divmod(index, 16)
        if value:
            self.x[word] |= 1 << bit
        else:
            self.x[word] &= ~(1 << bit)

    def y_bit(self, index):
        """Output bit `index` as the PLC last received it."""
        return bool(self.y[index // 16] >> (index % 16) & 1)

    def scripted(self, op):
        self.calls.append(op)
        if not self.script[op]:
            return False, None
        outcome = self.script[op].pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        if callable(outcome):
            return True, outcome()
        return True, outcome


class FakeMachine(kvo_fa.MachineBase):
    def __init__(self, x_word_count=2, y_word_count=2, axis_count=0):
        super().__init__(x_word_count, y_word_count, axis_count)
        self.plc = FakePLC(x_word_count, y_word_count)

    def do_get_x_uint16(self):
        replaced, result = self.plc.scripted("get_x")
        return result if replaced else list(self.plc.x)

    def do_get_y_uint16(self):
        replaced, result = self.plc.scripted("get_y")
        return result if replaced else list(self.plc.y)

    def do_set_y_uint16(self, values):
        replaced, result = self.plc.scripted("set_y")
        if replaced:
            return result
        self.plc.y = list(values)
        self.plc.writes.append(list(values))


def wait_until(condition, timeout=5.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(interval)


@pytest.fixture
def make_machine():
    """Builds FakeMachines (or a given subclass) and closes every one of them."""
    machines = []

    def make(*args, cls=FakeMachine, **kwargs):
        machine = cls(*args, **kwargs)
        machines.append(machine)
        return machine

    try:
        yield make
    finally:
        for machine in machines:
            machine.close()


def thread_pair(machine):
    return (machine._MachineBase__eeh_thread, machine._MachineBase__updater)


def new_threads(before):
    return [t for t in threading.enumerate() if t not in before]
