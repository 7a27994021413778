"""Errors met inside the back-ends' and the lifecycle's paths reach the caller
as they were raised: the same exception object, never swallowed or replaced."""
import os
import subprocess
import sys
import textwrap

import pytest

import kvo_fa
from backend_fakes import links  # noqa: F401  (fixture)


class LinkFault(Exception):
    pass


def failing(op, error):
    def call(self, *args):
        self.record(op, *args)
        raise error
    return call


FP_CALLS = [
    ("get_coil", "get_coil", ("R5",)), ("get_uint32", "get_uint32", ("D10",)),
    ("get_multi_uint16", "get_multi_uint16", ("D0", 2)), ("get_multi_uint32", "get_multi_uint32", ("D0", 2)),
    ("get_multi_int32", "get_multi_int32", ("D0", 2)), ("set_uint16", "set_uint16", ("D1", 7)),
    ("set_multi_uint16", "set_multi_uint16", ("D1", [1])), ("set_uint32", "set_uint32", ("D1", 7)),
    ("set_multi_uint32", "set_multi_uint32", ("D1", [1])), ("set_multi_int32", "set_multi_int32", ("D1", [1])),
    ("set_coil", "set_coil", ("R5", True)), ("do_get_x_uint16", "get_multi_uint16", ()),
    ("do_get_y_uint16", "get_multi_uint16", ()), ("do_set_y_uint16", "set_multi_uint16", ([0],)),
    ("start", "start", ()),
]


@pytest.mark.parametrize("method, op, args", FP_CALLS)
def test_fp_link_error_reaches_the_caller_unchanged(links, machines, monkeypatch, method, op, args):
    error = LinkFault(op)
    m = kvo_fa.FPMachine(1, 1, 10, "COM1")
    machines.append(m)
    monkeypatch.setattr(type(links[-1]), op, failing(op, error), raising=False)
    with pytest.raises(LinkFault) as caught:
        getattr(m, method)(*args)
    assert caught.value is error


@pytest.mark.parametrize("method, op, args", [
    ("do_get_x_uint16", "get_coil_uint16", ()), ("do_get_y_uint16", "get_coil_uint16", ()),
    ("do_set_y_uint16", "set_coil_uint16", ([1, 2],)), ("close", "close", ()),
])
def test_fef_link_error_reaches_the_caller_unchanged(links, method, op, args, monkeypatch):
    error = LinkFault(op)
    m = kvo_fa.FEFMachine("COM2", 2)
    try:
        monkeypatch.setattr(type(links[-1]), op, failing(op, error))
        with pytest.raises(LinkFault) as caught:
            getattr(m, method)(*args)
        assert caught.value is error
    finally:
        monkeypatch.undo()
        m.close()


def test_fef_reads_stop_at_the_failing_module(links):
    m = kvo_fa.FEFMachine("COM2", 3)
    try:
        calls = []

        def get_coil_uint16(station, name):
            calls.append(station)
            if station == 2:
                raise LinkFault(station)
            return 7

        links[-1].get_coil_uint16 = get_coil_uint16
        with pytest.raises(LinkFault):
            m.do_get_x_uint16()
        assert calls == [1, 2]
    finally:
        m.close()


def test_set_y_sync_passes_on_the_error_of_a_patched_reader(links, machines):
    class Reading(kvo_fa.FPMachine):
        def y(self, index):
            raise LinkFault(index)

    m = Reading(1, 1, 10, "COM1")
    machines.append(m)
    with pytest.raises(LinkFault, match="Y3"):
        m.set_y_sync("Y3", True, 0.001)


def run_child(code, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=timeout)


# The caller sees the KeyboardInterrupt raised inside each path; the child
# prints one line per path and ends by closing everything it made.
KEYBOARD_INTERRUPTS = """
import threading
import kvo_fa

class Link:
    def __init__(self, *args, **kwargs):
        pass
    def get_multi_uint16(self, station, name, count):
        raise KeyboardInterrupt(name)
    def get_coil(self, station, name):
        raise KeyboardInterrupt(name)
    def start(self):
        pass

kvo_fa._Fp = Link
m = kvo_fa.FPMachine(1, 1, 10, "COM1")
for call in (lambda: m.get_coil("R1"), m.do_get_x_uint16, lambda: m.get_multi_uint16("D4", 1)):
    try:
        call()
        print("returned")
    except KeyboardInterrupt as e:
        print("interrupt", e)

class Machine(kvo_fa.MachineBase):
    def do_get_x_uint16(self):
        return [0]
    def do_get_y_uint16(self):
        return [0]
    def do_set_y_uint16(self, values):
        pass
    def is_paused(self):
        raise KeyboardInterrupt("paused")

w = Machine(1, 1)
try:
    w.wait_if_paused(0.001)
except KeyboardInterrupt as e:
    print("interrupt", e)
w.close()
"""


def test_keyboard_interrupt_inside_the_paths_reaches_the_caller():
    result = run_child(KEYBOARD_INTERRUPTS)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["interrupt R1", "interrupt D0", "interrupt D4", "interrupt paused", ""]


# A machine whose refresh cycle hangs in its input read until `release`
# is set; the script defines `entered`, `release` and `kvo_fa._Fp` first.
HANGING = """
class Hanging(kvo_fa.MachineBase):
    def do_get_x_uint16(self):
        entered.set()
        release.wait(20)
        return [0]
    def do_get_y_uint16(self):
        return [0]
    def do_set_y_uint16(self, values):
        pass

m = Hanging(1, 1)
m.start()
assert entered.wait(20)
"""


# close waits a moment for a hanging cycle, then interrupts the link's
# transactions if the link class can: an error in asking the class (other
# than its having no interrupt_thread) reaches close's caller.
INTERRUPT_LOOKUP = """
import threading
import kvo_fa

entered, release = threading.Event(), threading.Event()

class Asking(type):
    @property
    def interrupt_thread(cls):
        raise KeyboardInterrupt("asked")

class Link(metaclass=Asking):
    pass

kvo_fa._Fp = Link
""" + HANGING + """try:
    m.close()
    print("closed")
except KeyboardInterrupt as e:
    print("interrupt", e)
release.set()
m.close()
print("threads", threading.active_count())
"""


def test_close_passes_on_an_error_of_the_link_class_lookup():
    result = run_child(INTERRUPT_LOOKUP)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["interrupt asked", "threads 1", ""]


# The background threads report an error of the Exception family on stdout
# and go on; anything else (here a KeyboardInterrupt) ends the thread, and
# reaches threading.excepthook as it was raised.
BACKGROUND_THREADS = """
import threading
import time
import kvo_fa

ended = []
threading.excepthook = lambda args: ended.append((args.thread, args.exc_type.__name__, str(args.exc_value)))

class Machine(kvo_fa.MachineBase):
    script = []
    def do_get_x_uint16(self):
        if self.script:
            raise self.script.pop(0)
        return [0]
    def do_get_y_uint16(self):
        return [0]
    def do_set_y_uint16(self, values):
        pass

def wait_until(condition):
    deadline = time.monotonic() + 20
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)

m = Machine(1, 1)
m.script = [ValueError("link down"), KeyboardInterrupt("cycle")]
m.start()
updater = m._MachineBase__updater
wait_until(lambda: not updater.is_alive())
print("updater", [(t is updater, kind, text) for t, kind, text in ended])
m.close()

ended.clear()
seen = []
def noisy(snapshot):
    raise ValueError("handler")
def quiet(snapshot):
    seen.append(snapshot)
def interrupting(snapshot):
    raise KeyboardInterrupt("handler")
def never(snapshot):
    seen.append("never")

e = Machine(1, 1)
for handler in (noisy, quiet, interrupting, never):
    e.register_edge_event_handler(handler)
e.start()
edges = e._MachineBase__eeh_thread
e._ee_queue.put([5])
wait_until(lambda: not edges.is_alive())
print("edges", seen, [(t is edges, kind, text) for t, kind, text in ended])
e.close()
"""


def test_background_threads_report_errors_and_end_on_the_rest():
    result = run_child(BACKGROUND_THREADS)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == [
        "link down", "updater [(True, 'KeyboardInterrupt', 'cycle')]",
        "handler", "edges [[5]] [(True, 'KeyboardInterrupt', 'handler')]", ""]


# A Ctrl-C met while close lets the link's transactions run again (after
# the updater is gone) is not lost: it stays pending for the main thread.
RESUME_INTERRUPTED = """
import threading
import time
import kvo_fa

entered, release = threading.Event(), threading.Event()

class Link:
    @classmethod
    def interrupt_thread(cls, ident):
        release.set()
    @classmethod
    def resume_thread(cls, ident):
        raise KeyboardInterrupt("resume")

kvo_fa._Fp = Link
""" + HANGING + """try:
    m.close()
    for _ in range(100):
        time.sleep(0.01)
    print("no interrupt")
except KeyboardInterrupt:
    print("interrupt")
m.close()
print("threads", threading.active_count())
"""


def test_close_keeps_a_keyboard_interrupt_of_resume_thread_pending():
    result = run_child(RESUME_INTERRUPTED)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["interrupt", "threads 1", ""]
