"""Leak soak: every public operation, on its success and on its failure
paths, many times over; neither the process's memory nor the reference
counts of the objects involved may grow.

KVO_SOAK_ROUNDS sets the repetitions per operation (default 300, a few
seconds); a long soak: KVO_SOAK_ROUNDS=20000.
"""
import gc
import os
import resource
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fuzz_targets as ft  # noqa: E402
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from fuzz_values import HOSTILE_CLASSES  # noqa: E402

ROUNDS = int(os.environ.get("KVO_SOAK_ROUNDS", "300"))


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@pytest.fixture
def short_sleep():
    original = ft.bound_sleep(0.0005)
    try:
        yield
    finally:
        kvo_fa._sleep = original


# Wrong arguments every member is given: they exercise the binder's refusals
# and the members' own checks.
WRONG_ARGS = [(), ("X1F",), (None,), (2**70,), (float("nan"),), (b"\x00",), ([1, "a"],), (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13)]


def wrong_calls(made, cls):
    """(label, call, objects) for every member of `cls` with every wrong
    argument set (and hostile arguments)."""
    calls = []
    for name, kind, raw in ft.members(cls):
        if name in ("__init__", "close", "stop", "reset", "start", "_update", "_eeh_thread_func", "loop"):
            continue
        if kind == "property":
            calls.append(("%s.%s get" % (cls.__name__, name), lambda n=name: getattr(made.obj, n), []))
            calls.append(("%s.%s fget(None)" % (cls.__name__, name), lambda f=raw.fget: f(None), []))
            continue
        for i, args in enumerate(WRONG_ARGS + [(hostile(),) for hostile in HOSTILE_CLASSES]):
            bound = getattr(made.obj, name) if kind != "static" else raw
            calls.append(("%s.%s args#%d" % (cls.__name__, name, i), lambda b=bound, a=args: b(*a), list(args)))
    return calls


def quick(call, made):
    """Keeps only calls that end within a moment (the rest block by design:
    the watchdog ends them)."""
    began = time.monotonic()
    with ft.Watchdog(made.stop, after=0.05) as dog:
        try:
            call()
        except Exception:
            pass
    return not dog.fired and time.monotonic() - began < 0.05


def run_many(call, rounds):
    for _ in range(rounds):
        try:
            call()
        except Exception:
            pass


def assert_no_growth(calls, rounds):
    """Runs each call `rounds` times after a warm-up, checking the reference
    counts of its objects, then the process's memory over all of them."""
    kept = []
    for label, call, objects in calls:
        began = time.monotonic()
        run_many(call, 20)
        # Calls that wait by design (a full task list) are soaked elsewhere.
        if time.monotonic() - began < 0.05:
            kept.append((label, call, objects))
    calls = kept
    gc.collect()
    before_rss = rss_bytes()
    before_objects = len(gc.get_objects())
    grown = []
    for label, call, objects in calls:
        counts = [sys.getrefcount(o) for o in objects]
        run_many(call, rounds)
        after = [sys.getrefcount(o) for o in objects]
        if any(a - b > rounds // 10 for a, b in zip(after, counts)):
            grown.append("%s: refcounts %r -> %r" % (label, counts, after))
    gc.collect()
    assert not grown, "\n".join(grown)
    object_growth = len(gc.get_objects()) - before_objects
    rss_growth = rss_bytes() - before_rss
    total_calls = rounds * len(calls)
    assert object_growth < max(500, total_calls // 50), "gc-tracked objects grew by %d" % object_growth
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return  # freed memory stays in AddressSanitizer's quarantine; LeakSanitizer judges leaks there
    # Half a byte per call: a leak of even a small allocation per call shows.
    assert rss_growth < max(8 << 20, total_calls // 2), "RSS grew by %d bytes over %d calls" % (rss_growth, total_calls)


def test_wrong_arguments_leak_nothing(short_sleep):
    made_all = []
    calls = []
    try:
        for cls in ft.own_classes():
            # A fresh answer slot would block its reader: it gets its answer.
            made = ft.make(cls, started=cls is kvo_fa.ThreadCommunicationObject)
            if made is None:
                continue
            made_all.append(made)
            for label, call, objects in wrong_calls(made, cls):
                if quick(call, made):
                    calls.append((label, call, objects))
        assert len(calls) > 1000
        assert_no_growth(calls, max(10, ROUNDS // 6))
    finally:
        for made in made_all:
            ft.finish(made)


@pytest.fixture
def started_fp_machine(short_sleep):
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(ft.SIM)
    plc.map_io(x_words=2, y_words=2, y_shift=100)
    machine = kvo_fa.FPMachine(2, 2, 100, ft.SIM_PORT)
    machine.start()
    try:
        yield machine, plc
    finally:
        machine.close()
        kvo_mew.reset_simulators()


class FailingWorker(kvo_fa.Worker):
    def work(self, task):
        raise ValueError("station fault")


def _faulting_subscriber(take):
    return lambda fault: take


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_operations_and_fault_paths_leak_nothing(started_fp_machine):
    machine, plc = started_fp_machine
    manager = kvo_fa.XManager([0x1234, 0xFFFF], [0, 0])
    fresh = [0x4321, 0]
    link = kvo_mew.VedUzavur(ft.SIM_PORT)
    takes = _faulting_subscriber(True)
    machine.exception_event.subscribe(takes)
    group = kvo_fa.WorkerGroup()
    dead = FailingWorker(group, "dead")
    dead.loop_interval = 0.001
    group.add(dead)
    dead.start()
    dead.put(1)
    deadline = time.monotonic() + 5
    while not dead.dead and time.monotonic() < deadline:
        time.sleep(0.005)
    assert dead.dead
    job = kvo_fa.Job("nobody", 1)
    fault = kvo_fa.XException("X1", True, 1)

    def raise_taken():
        machine.raise_x_exception("X1", True, 0.5)

    calls = [
        ("x", lambda: machine.x("X1F"), []),
        ("x index", lambda: machine.x(17), []),
        ("y", lambda: machine.y("Y0"), []),
        ("set_y", lambda: machine.set_y("Y3", True), []),
        ("wx", lambda: machine.wx(1), []),
        ("rising", lambda: machine.rising(3), []),
        ("name_to_index", lambda: machine.name_to_index("X1F"), []),
        ("name_to_index bad", lambda: machine.name_to_index("Q1"), []),
        ("index_to_name", lambda: machine.index_to_name("X", 31), []),
        ("x wrong type", lambda: machine.x(1.5), []),
        ("set_y wrong index", lambda: machine.set_y(10**6, True), []),
        ("fault taken by a subscriber", raise_taken, [takes]),
        ("raise_exception taken", lambda: machine.raise_exception(fault), [fault]),
        ("get_multi_uint16", lambda: machine.get_multi_uint16("D0", 4), []),
        ("set_multi_uint16", lambda: machine.set_multi_uint16("D200", [1, 2, 3]), []),
        ("link bad name", lambda: link.get_coil(1, "Q9"), [link]),
        ("link get", lambda: link.get_multi_uint16(1, "D0", 8), [link]),
        ("sim set/get", lambda: (plc.set("X3", True), plc.get("X3")), [plc]),
        ("XManager.update", lambda: manager.update(fresh), [fresh]),
        ("XManager.copy", lambda: manager.copy(), []),
        ("XManager.x", lambda: manager.x(5), []),
        ("put to a dead worker", lambda: group.put_task("dead", job), [job]),
        ("put to nobody", lambda: group.put_task("nobody", job), [job]),
        ("Job", lambda: kvo_fa.Job("a", job), [job]),
        ("TCOException", lambda: str(kvo_fa.TCOException(kvo_fa.ThreadCommunicationObject(job))), [job]),
        ("CylinderException", lambda: str(kvo_fa.CylinderException("Y1", True, "X1", "X2", 1, 0)), []),
    ]
    try:
        assert_no_growth(calls, ROUNDS * 10)
    finally:
        dead.stop()


def test_faulted_machine_and_restarts_leak_nothing(started_fp_machine):
    machine, plc = started_fp_machine

    def fault_and_reset():
        # Nobody takes the faults: the first wait times out and faults the
        # machine, the second one is aborted by it.
        try:
            machine.wait_for_multi_signals(["X0", "X1"], True, 0.001, 0.0005)
        except kvo_fa.XException:
            pass
        try:
            machine.wait_for_signal("X1", True, 0.01, 0.0005)
        except kvo_fa.AbortByOtherException:
            pass
        machine.reset()

    def worker_cycle():
        group = kvo_fa.WorkerGroup()
        worker = kvo_fa.Worker(group, "w")
        worker.loop_interval = 0.0005
        group.add(worker)
        group.start_all()
        group.put_task("w", 1)
        group.stop_all()

    assert_no_growth([("fault, abort, reset", fault_and_reset, []), ("worker start/stop", worker_cycle, [])],
                     max(20, ROUNDS // 3))
