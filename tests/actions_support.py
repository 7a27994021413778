"""Helpers for the action tests: a deterministic clock and a small Python
model of the machine core (flags, fault path, bit access) over an input
image that tests change directly."""
import kvo_fa


class FakeClock:
    """Replaces kvo_fa._now and kvo_fa._sleep. Sleeping advances the time
    at once and then runs the events that have become due, so a test can
    script inputs and operator requests at exact moments. Intervals that
    are binary fractions (0.125, 0.25) keep the arithmetic exact."""

    START = 1024.0

    def __init__(self):
        self.t = self.START
        self.sleeps = []
        self._events = []

    def now(self):
        return self.t

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.t += seconds
        due = [e for e in self._events if e[0] <= self.t]
        self._events = [e for e in self._events if e[0] > self.t]
        for _, _, action in sorted(due, key=lambda e: (e[0], e[1])):
            action()

    def at(self, elapsed, action):
        """Run `action` once the clock has reached START + elapsed."""
        self._events.append((self.START + elapsed, len(self._events), action))

    @property
    def elapsed(self):
        return self.t - self.START


class ModelMachine(kvo_fa.MachineBase):
    """What the machine core provides to the actions, modelled in Python."""

    def __init__(self, x_words=2, y_words=2, started=True):
        self.inputs = [0] * x_words
        self.outputs = [0] * y_words
        self.set_y_log = []
        self.named = []
        self.subscribers = []
        self.flag_checks = 0
        self._stop_flag = not started
        self._pause_flag = False
        self._exception_flag = False
        self._MachineBase__exception = None

    # transfer operations are not used by the model
    def do_get_x_uint16(self):
        return list(self.inputs)

    def do_get_y_uint16(self):
        return list(self.outputs)

    def do_set_y_uint16(self, values):
        pass

    # inputs, as a test changes them
    def set_x(self, index, value):
        word, bit = divmod(int(index), 16)
        if value:
            self.inputs[word] |= 1 << bit
        else:
            self.inputs[word] &= ~(1 << bit)

    def x(self, index):
        if isinstance(index, (str, bytes)):
            index = int(index)
        return bool(self.inputs[index // 16] >> (index % 16) & 1)

    def y(self, index):
        if isinstance(index, (str, bytes)):
            index = int(index)
        return bool(self.outputs[index // 16] >> (index % 16) & 1)

    def set_y(self, index, value):
        self.set_y_log.append((index, value))
        if isinstance(index, (str, bytes)):
            index = int(index)
        word, bit = divmod(index, 16)
        if value:
            self.outputs[word] |= 1 << bit
        else:
            self.outputs[word] &= ~(1 << bit)

    def index_to_name(self, prefix, index):
        self.named.append((prefix, index))
        return str(index)

    # run flags and fault path
    def start(self):
        assert not self._exception_flag
        self._stop_flag = self._pause_flag = False

    def stop(self):
        self._stop_flag = True

    def pause(self):
        self._pause_flag = True

    def is_stopped(self):
        return self._stop_flag

    def can_not_go_on(self):
        return self._stop_flag or self._pause_flag or self._exception_flag

    def _check_stop_and_exception_flags(self):
        self.flag_checks += 1
        if self._exception_flag:
            raise kvo_fa.AbortByOtherException()
        if self.is_stopped():
            raise kvo_fa.StopException()

    def _handle_exception(self, exception):
        for subscriber in self.subscribers:
            if subscriber(exception):
                return True
        return False

    @property
    def fault(self):
        return self._MachineBase__exception


class Recorder:
    """A fault subscriber that keeps what it is offered."""

    def __init__(self, takes=True):
        self.takes = takes
        self.faults = []

    def __call__(self, exception):
        self.faults.append(exception)
        return self.takes

    @property
    def messages(self):
        return [str(f) for f in self.faults]


import pytest  # noqa: E402


@pytest.fixture
def clock():
    """The deterministic clock in place of the module's time aliases."""
    fake = FakeClock()
    saved = kvo_fa._now, kvo_fa._sleep
    kvo_fa._now, kvo_fa._sleep = fake.now, fake.sleep
    try:
        yield fake
    finally:
        kvo_fa._now, kvo_fa._sleep = saved


@pytest.fixture
def machine():
    return ModelMachine()
