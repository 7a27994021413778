"""The refresh cycle and the fault path read and store the machine's own
attributes straight from its instance dict, and remember module names
between uses; whatever Python would see instead must still be seen: a
subclass property, __getattribute__ or __setattr__, an attribute replaced on
the instance, a module name replaced (or removed) between two uses."""
import subprocess
import sys
import threading

import pytest

import kvo_fa
from machine_fakes import FakeMachine, make_machine  # noqa: F401


def run_cycles(machine, monkeypatch, count=1, between=None):
    """`count` refresh cycles of `machine`, run by its own loop in this thread."""
    left = [count]

    def cycle_done(seconds):
        if between is not None:
            between()
        left[0] -= 1
        if left[0] <= 0:
            machine._exit_flag = True

    monkeypatch.setattr(kvo_fa, "_sleep", cycle_done)
    machine._exit_flag = False
    machine._update()


class CountingLock:
    """A lock that counts how often it was taken."""

    def __init__(self):
        self.lock = threading.Lock()
        self.taken = 0

    def acquire(self, *args):
        self.taken += 1
        return self.lock.acquire(*args)

    def release(self):
        self.lock.release()

    def locked(self):
        return self.lock.locked()


class TestRefreshCycleReads:
    def test_subclass_property_x_manager(self, make_machine, monkeypatch):
        seen = []
        image = kvo_fa.XManager([0, 0], [0, 0])

        class Routed(FakeMachine):
            @property
            def x_manager(self):
                seen.append("read")
                return image

            @x_manager.setter
            def x_manager(self, value):
                pass

        m = make_machine(cls=Routed)
        m.plc.set_x(3, True)
        run_cycles(m, monkeypatch)
        assert seen and image.x(3) is True

    @pytest.mark.parametrize("name", ["_y_lock", "_MachineBase__xy_refresh_counter_lock"])
    def test_lock_replaced_on_the_instance(self, make_machine, monkeypatch, name):
        m = make_machine()
        lock = CountingLock()
        setattr(m, name, lock)
        run_cycles(m, monkeypatch, count=3)
        assert lock.taken == 3 and not lock.locked()

    def test_a_held_lock_makes_the_cycle_wait(self, make_machine, monkeypatch):
        m = make_machine()
        done = threading.Event()
        with m._y_lock:
            cycle = threading.Thread(target=lambda: (run_cycles(m, monkeypatch), done.set()))
            cycle.start()
            assert not done.wait(0.2)  # the free-lock shortcut must not take a held lock
        cycle.join(10)
        assert done.is_set() and not m._y_lock.locked()
        assert m._MachineBase__xy_refresh_counter == 1

    def test_getattribute_of_a_subclass_sees_every_read(self, make_machine, monkeypatch):
        reads = []

        class Watched(FakeMachine):
            def __getattribute__(self, name):
                if name in ("_y_words", "_exit_flag", "_ee_queue"):
                    reads.append(name)
                return super().__getattribute__(name)

        m = make_machine(cls=Watched)
        m.plc.set_x(0, True)  # an edge: the snapshot goes to the queue
        run_cycles(m, monkeypatch)
        assert {"_y_words", "_exit_flag", "_ee_queue"} <= set(reads)

    def test_setattr_of_a_subclass_sees_the_counter(self, make_machine, monkeypatch):
        stored = []

        class Watched(FakeMachine):
            def __setattr__(self, name, value):
                stored.append((name, value))
                super().__setattr__(name, value)

        m = make_machine(cls=Watched)
        del stored[:]
        run_cycles(m, monkeypatch, count=2)
        assert [v for n, v in stored if n == "_MachineBase__xy_refresh_counter"] == [1, 2]
        assert m._MachineBase__xy_refresh_counter == 2

    def test_queue_replaced_on_the_instance(self, make_machine, monkeypatch):
        class Recording:
            def __init__(self):
                self.items = []

            def put(self, item):
                self.items.append(item)

        m = make_machine()
        recording = Recording()
        monkeypatch.setattr(m, "_ee_queue", recording)
        m.plc.set_x(1, True)
        run_cycles(m, monkeypatch)
        assert len(recording.items) == 1 and recording.items[0].x(1) is True


class TestFaultPathStores:
    def test_exception_flag_property_setter_runs(self, make_machine):
        stored = []

        class Flagged(FakeMachine):
            @property
            def _exception_flag(self):
                return bool(stored) and stored[-1]

            @_exception_flag.setter
            def _exception_flag(self, value):
                stored.append(value)

        m = make_machine(cls=Flagged)
        with pytest.raises(kvo_fa.XException):
            m.raise_x_exception(5, True, 1.0)
        assert stored[-1] is True and "_exception_flag" not in vars(m)

    def test_setattr_of_a_subclass_sees_the_fault(self, make_machine):
        stored = []

        class Watched(FakeMachine):
            def __setattr__(self, name, value):
                stored.append(name)
                super().__setattr__(name, value)

        m = make_machine(cls=Watched)
        del stored[:]
        with pytest.raises(kvo_fa.XException) as caught:
            m.raise_x_exception(5, True, 1.0)
        assert stored == ["_MachineBase__exception", "_exception_flag"]
        assert m._MachineBase__exception is caught.value

    def test_exception_event_replaced_on_the_instance(self, make_machine):
        m = make_machine()
        seen = []
        handler = kvo_fa._MachineExceptionHandler()
        handler.subscribe(lambda exc: seen.append(exc) or True)
        m._MachineBase__exception_event = handler
        assert m.raise_x_exception(5, True, 1.0) is None
        assert isinstance(seen[0], kvo_fa.XException)


class TestModuleNamesBetweenUses:
    def test_fault_class_replaced_then_restored(self, make_machine, monkeypatch):
        m = make_machine()
        with pytest.raises(kvo_fa.XException):
            m.raise_x_exception(5, True, 1.0)

        class Other(Exception):
            def __init__(self, *args):
                super().__init__("other", *args)

        monkeypatch.setattr(kvo_fa, "XException", Other)
        with pytest.raises(Other):
            m.raise_x_exception(5, True, 1.0)
        monkeypatch.undo()
        with pytest.raises(kvo_fa.XException):
            m.raise_x_exception(5, True, 1.0)

    def test_builtin_shadowed_by_a_module_name(self, make_machine, monkeypatch):
        m = make_machine()
        with pytest.raises(kvo_fa.XException) as plain:
            m.raise_x_exception(5, True, 1.0)
        inits = []

        class Base(IOError):
            def __init__(self, *args):
                inits.append(args)
                IOError.__init__(self, "base:" + args[0])

        monkeypatch.setattr(kvo_fa, "IOError", Base, raising=False)
        with pytest.raises(kvo_fa.XException) as shadowed:
            m.raise_x_exception(5, True, 1.0)
        assert inits == [(str(plain.value),)] and str(shadowed.value) == "base:" + str(plain.value)
        monkeypatch.undo()
        with pytest.raises(kvo_fa.XException) as again:
            m.raise_x_exception(5, True, 1.0)
        assert len(inits) == 1 and str(again.value) == str(plain.value)

    def test_missing_module_name(self):
        # In a child process: deleting a module name would reorder the module's names here.
        child = subprocess.run([sys.executable, "-c", MISSING_NAME_CHILD], capture_output=True, text=True,
                               timeout=120)
        assert child.returncode == 0, child.stdout + child.stderr
        assert child.stdout.split() == ["XException", "NameError:", "name", "'XException'", "is", "not", "defined",
                                        "XException"]


MISSING_NAME_CHILD = """
import kvo_fa

class Machine(kvo_fa.MachineBase):
    def do_get_x_uint16(self):
        return [0]

    def do_get_y_uint16(self):
        return [0]

    def do_set_y_uint16(self, values):
        pass

m = Machine(1, 1)
saved = kvo_fa.XException
for step in range(3):
    try:
        m.raise_x_exception(5, True, 1.0)
    except Exception as error:
        print(type(error).__name__ if step != 1 else "NameError: %s" % error)
    if step == 0:
        del kvo_fa.XException
    else:
        kvo_fa.XException = saved
m.close()
"""
