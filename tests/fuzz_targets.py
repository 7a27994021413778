"""What the crash fuzzer and the leak soak call: every public callable of
kvo_fa, kvo_mew and kvo_handy, found by walking the modules at run time, and
the objects (fresh and started) to call them on.

Nothing here is a test; tests/crash_fuzz_child.py and tests/test_soak.py
drive it.
"""
import inspect
import re
import threading
import time

import kvo_fa
import kvo_handy
import kvo_mew

MODULES = (kvo_fa, kvo_mew, kvo_handy)
SIM = "fuzz"
SIM_PORT = "sim://" + SIM

# Special methods worth calling directly; the other dunders are the
# interpreter's own.
CALLED_DUNDERS = {"__init__", "__getitem__", "__bool__", "__call__", "__len__", "__repr__", "__str__"}


class FuzzMachine(kvo_fa.MachineBase):
    """A concrete machine over in-memory words."""

    def __init__(self, x_word_count=2, y_word_count=2, axis_count=0):
        super().__init__(x_word_count, y_word_count, axis_count)
        self.x_words = [0] * x_word_count
        self.y_words = [0] * y_word_count

    def do_get_x_uint16(self):
        return list(self.x_words)

    def do_get_y_uint16(self):
        return list(self.y_words)

    def do_set_y_uint16(self, values):
        self.y_words = list(values)


def bound_sleep(limit=0.002):
    """Replaces kvo_fa._sleep so that no generated interval can hang a call;
    returns the original. Odd arguments still fail as they would."""
    real = time.sleep

    def short_sleep(seconds):
        if seconds > limit:
            seconds = limit
        real(seconds)

    original = kvo_fa._sleep
    kvo_fa._sleep = short_sleep
    return original


def own_classes():
    """Every class the three modules define (aliases of other modules'
    objects excluded), each once."""
    seen = []
    for module in MODULES:
        for value in vars(module).values():
            if isinstance(value, type) and getattr(value, "__module__", None) in {m.__name__ for m in MODULES}:
                if value not in seen:
                    seen.append(value)
    return seen


def module_functions():
    out = []
    for module in MODULES:
        for name, value in vars(module).items():
            if name.startswith("_") or isinstance(value, type):
                continue
            if callable(value) and getattr(value, "__module__", module.__name__) == module.__name__:
                out.append((module.__name__ + "." + name, value))
    return out


def members(cls):
    """(name, kind, object) for the public members of `cls` that one of the
    three modules defines: kind is "method", "static" or "property"."""
    ours = {m.__name__ for m in MODULES}
    out = []
    for name in dir(cls):
        if name.startswith("__") and name not in CALLED_DUNDERS:
            continue
        owner = next((k for k in cls.__mro__ if name in vars(k)), None)
        if owner is None or owner.__module__ not in ours and owner.__module__ != __name__:
            continue
        raw = inspect.getattr_static(cls, name)
        if isinstance(raw, property):
            out.append((name, "property", raw))
        elif isinstance(raw, staticmethod):
            out.append((name, "static", getattr(cls, name)))
        elif callable(raw) or type(raw).__name__ == "instancemethod":
            out.append((name, "method", raw))
    return out


_DOC_PARAMS = re.compile(r"^\w+\((.*?)\)")


def param_count(function):
    """The number of parameters after self, when it can be told."""
    try:
        sig = inspect.signature(function)
        params = [p for p in sig.parameters.values() if p.name != "self"]
        return len(params), [p.name for p in params]
    except (TypeError, ValueError):
        pass
    doc = getattr(function, "__doc__", None) or ""
    match = _DOC_PARAMS.match(doc)
    if not match:
        return 3, []
    names = [p.split(":")[0].strip().lstrip("*") for p in match.group(1).split(",") if p.strip()]
    names = [n for n in names if n and n != "self"]
    return len(names), names


# --- objects to call the members on ------------------------------------------------------------


class Made:
    """An object under test and how to stop whatever it runs."""

    def __init__(self, obj, stop=None, cleanup=None):
        self.obj = obj
        self.stop = stop or (lambda: None)
        self.cleanup = cleanup or self.stop


def _tco(started):
    tco = kvo_fa.ThreadCommunicationObject(1, key="value")
    if started:
        tco.result = 5
    return Made(tco, stop=lambda: setattr(tco, "result", None))


def _machine(cls_name, started):
    if cls_name == "MachineBase":
        machine = FuzzMachine(2, 2)
    elif cls_name == "FPMachine":
        kvo_mew.simulator(SIM).map_io(x_words=2, y_words=2, y_shift=100)
        machine = kvo_fa.FPMachine(2, 2, 100, SIM_PORT)
    else:
        machine = kvo_fa.FEFMachine(SIM_PORT, 1)
    if started:
        machine.start()
    return Made(machine, stop=machine.close)


def _worker(started):
    group = kvo_fa.WorkerGroup()
    worker = kvo_fa.Worker(group, "w1", False, 4)
    group.add(worker)
    worker.loop_interval = 0.002
    worker.put_task_timeout = 0.05
    worker.put_task_check_interval = 0.002
    if started:
        worker.start()
    return Made(worker, stop=worker.stop)


def _group(started):
    group = kvo_fa.WorkerGroup()
    workers = []
    for name in ("w1", "w2"):
        worker = kvo_fa.Worker(group, name, name == "w2", 3)
        worker.loop_interval = 0.002
        worker.put_task_timeout = 0.05
        worker.put_task_check_interval = 0.002
        group.add(worker)
        workers.append(worker)
    if started:
        group.start_all()

    def stop_workers():
        # Each worker directly: a fuzzed __init__ may have made the group forget them.
        for worker in reversed(workers):
            worker.stop()
        group.stop_all()

    return Made(group, stop=group.stop_all, cleanup=stop_workers)


def _link(started):
    link = kvo_mew.VedUzavur(SIM_PORT)
    if started:
        link.start()
    return Made(link, stop=link.close)


def _callback(started):
    callback = kvo_handy.Callback()
    if started:
        callback.subscribe(lambda *a, **k: None)
        callback.subscribe(lambda *a, **k: True)
    return Made(callback)


def _simple_instance(cls):
    """An instance built from the constructor's required parameters."""
    count, _names = param_count(cls.__init__)
    try:
        sig = inspect.signature(cls.__init__)
        required = [p for p in sig.parameters.values()
                    if p.name != "self" and p.default is p.empty and p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    except (TypeError, ValueError):
        required = []
    values = []
    for p in required:
        if p.name in ("desc", "owner"):
            values.append("text")
        elif p.name == "tco":
            values.append(kvo_fa.ThreadCommunicationObject())
        else:
            values.append(1)
    return cls(*values)


def make(cls, started):
    """A fresh (or started) instance of `cls`, or None when it has no
    sensible instance."""
    name = cls.__name__
    if name == "ThreadCommunicationObject":
        return _tco(started)
    if name in ("MachineBase", "FPMachine", "FEFMachine"):
        return _machine(name, started)
    if name == "Worker":
        return _worker(started)
    if name == "WorkerGroup":
        return _group(started)
    if name == "VedUzavur":
        return _link(started)
    if name == "SimulatedPlc":
        return Made(kvo_mew.simulator(SIM))
    if name == "Callback":
        return _callback(started)
    if name == "XManager":
        manager = kvo_fa.XManager([1, 0xFFFF], [0, 2])
        return Made(manager)
    if name == "YManager":
        return Made(kvo_fa.YManager([3, 0], [0, 0]))
    if name == "X":
        return Made(kvo_fa.X(kvo_fa.XManager([5], [4]), 2))
    if name == "Job":
        return Made(kvo_fa.Job("w1", 7))
    if name == "_MachineExceptionHandler":
        handler = kvo_fa._MachineExceptionHandler()
        if started:
            handler.subscribe(lambda e: False)
        return Made(handler)
    try:
        return Made(_simple_instance(cls))
    except Exception:
        return None


class Watchdog:
    """Calls `stop` when a call runs longer than `after` seconds, so that a
    blocking member (a wait on a started machine, Worker.loop) ends."""

    def __init__(self, stop, after=0.1):
        self.timer = threading.Timer(after, self._fire, args=(stop,))
        self.fired = False

    def _fire(self, stop):
        self.fired = True
        try:
            stop()
        except Exception:
            pass

    def __enter__(self):
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.timer.cancel()
        self.timer.join()
        return False


def finish(made):
    try:
        made.cleanup()
    except Exception:
        pass
    kvo_mew.reset_simulators()
