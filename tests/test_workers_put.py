"""Worker.put: room, time-outs, the station lock and whose hold it is."""
import threading
import time

import pytest

import kvo_fa
from worker_support import FAST, Station, stations, thread_errors, wait_until  # noqa: F401

TIMEOUT_MESSAGE = "Put job to worker 'w' timeout."


class Putter(threading.Thread):
    """put(task) on another thread; remembers the outcome."""

    def __init__(self, worker, task, start=True):
        super().__init__()
        self.worker, self.task, self.error, self.done = worker, task, None, threading.Event()
        if start:
            self.start()

    def run(self):
        try:
            self.worker.put(self.task)
        except Exception as error:  # noqa: BLE001 - reported to the test
            self.error = error
        self.done.set()


class RecordingLock:
    """A station lock that records how it is acquired."""

    def __init__(self):
        self.lock, self.calls = threading.Lock(), []

    def acquire(self, *args):
        self.calls.append(args)
        return self.lock.acquire(*args)

    def release(self):
        self.lock.release()

    def locked(self):
        return self.lock.locked()


def test_put_waits_for_room_without_limit(stations):
    worker = stations("w", max_job_count=2)
    worker.put("a")
    worker.put("b")
    assert worker.full
    putter = Putter(worker, "c")
    assert not putter.done.wait(0.1)  # still waiting for room
    worker.start()
    assert putter.done.wait(5) and putter.error is None
    wait_until(lambda: worker.done == ["a", "b", "c"])
    putter.join()


@pytest.mark.parametrize("max_job_count, timeout", [(1, 0.05), (0, 0.05), (0, 0.0), (1.0, 0.0)])
def test_full_list_times_out(stations, max_job_count, timeout):
    worker = stations("w", max_job_count=max_job_count)
    worker.put_task_check_interval = 0.02
    worker.put_task_timeout = timeout
    queued = ["a"] if max_job_count else []
    if queued:
        worker.put("a")
    begin = time.monotonic()
    with pytest.raises(kvo_fa.FATimeoutException) as caught:
        worker.put("x")
    assert time.monotonic() - begin >= timeout
    assert str(caught.value) == TIMEOUT_MESSAGE
    assert worker._Worker__task_list == queued
    assert not worker._Worker__lock.locked()


def test_zero_timeout_accepts_a_task_while_there_is_room(stations, monkeypatch):
    # A clock that moves on at every reading: the time left is below zero by
    # the first test, and the first attempt still gets its try for the lock.
    clock = iter(range(1000, 100000))
    monkeypatch.setattr(kvo_fa, "_now", lambda: float(next(clock)))
    monkeypatch.setattr(kvo_fa, "_Lock", RecordingLock)
    worker = stations("w", max_job_count=2)
    lock = worker._Worker__lock
    worker.put_task_timeout = 0
    worker.put("a")
    worker.put("b")
    assert worker._Worker__task_list == ["a", "b"]
    assert lock.calls == [(False,), (False,)]


def test_zero_timeout_on_a_full_list_sleeps_once(stations, monkeypatch):
    slept = []
    monkeypatch.setattr(kvo_fa, "_sleep", lambda s: (slept.append(s), time.sleep(s)))
    worker = stations("w", max_job_count=0)
    worker.put_task_check_interval = 0.02
    worker.put_task_timeout = 0
    with pytest.raises(kvo_fa.FATimeoutException, match="^Put job to worker 'w' timeout\\.$"):
        worker.put("x")
    assert slept == [0.02]


def test_timed_wait_for_the_lock_uses_the_time_left(stations):
    lock = RecordingLock()
    worker = stations("w")
    worker._Worker__lock = lock
    worker.put_task_timeout = 2
    worker.put("a")
    (args,) = lock.calls
    assert args[0] is True and 1.0 < args[1] <= 2.0


def test_infinite_timeout_waits_without_limit(stations):
    worker = stations("w", max_job_count=1)
    worker.put_task_timeout = float("inf")
    worker.put("a")
    putter = Putter(worker, "b")
    assert not putter.done.wait(0.05)
    worker.start()
    assert putter.done.wait(5) and putter.error is None
    putter.join()


def test_lock_working_keeps_put_out_until_work_releases(stations):
    entered, release_early, finish = threading.Event(), threading.Event(), threading.Event()

    def busy(station, task):
        if task == "first":
            entered.set()
            release_early.wait(5)
            kvo_fa.Worker.work(station, task)  # frees the station before the work ends
            finish.wait(5)

    worker = stations("w", busy, lock_working=True)
    worker.start()
    worker.put("first")
    assert entered.wait(5)

    worker.put_task_timeout = 0.05
    with pytest.raises(kvo_fa.FATimeoutException, match=TIMEOUT_MESSAGE):
        worker.put("refused")
    worker.put_task_timeout = -1
    putter = Putter(worker, "second")
    assert not putter.done.wait(0.1)
    release_early.set()
    assert putter.done.wait(5) and putter.error is None
    assert worker.working  # still in the first task
    finish.set()
    wait_until(lambda: worker.done == ["first", "second"])
    putter.join()
    wait_until(lambda: worker.free)
    assert not worker._Worker__lock.locked()


class HeldByPut(Station):
    """`full` is read by put while it holds the lock: the put on `putter`
    parks there, holding the lock, until `proceed` is set."""

    putter = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.in_full, self.proceed = threading.Event(), threading.Event()

    @property
    def full(self):
        if threading.current_thread() is self.putter:
            self.in_full.set()
            self.proceed.wait(5)
        return kvo_fa.Worker.full.fget(self)


class Recorder:
    """A group stand-in: anything with put_task serves."""

    def __init__(self):
        self.jobs = []

    def put_task(self, worker_name, task):
        self.jobs.append((worker_name, task))


def test_worker_never_releases_a_hold_taken_by_put(thread_errors):
    finish = threading.Event()
    group = Recorder()

    class Busy(HeldByPut):
        def work(self, task):
            if task == "first":
                finish.wait(5)
            kvo_fa.Worker.work(self, task)  # the default work releases only the worker's own hold
            return kvo_fa.Job("next", task)

    worker = Busy(group, "w", None)
    worker.start()
    try:
        worker.put("first")
        wait_until(lambda: worker.working)
        putter = HeldByPut.putter = Putter(worker, "second", start=False)
        putter.start()
        assert worker.in_full.wait(5)
        finish.set()  # the worker finishes its task while put holds the lock
        wait_until(lambda: group.jobs == [("next", "first")])
        assert worker._Worker__lock.locked()  # still the put's hold
        worker.proceed.set()
        assert putter.done.wait(5) and putter.error is None
        wait_until(lambda: group.jobs == [("next", "first"), ("next", "second")])
        putter.join()
    finally:
        HeldByPut.putter = None
        worker.proceed.set()
        worker.reset()
    assert thread_errors == []


def test_reset_leaves_a_hold_taken_by_put():
    worker = HeldByPut(None, "w")
    putter = HeldByPut.putter = Putter(worker, "a", start=False)
    try:
        putter.start()
        assert worker.in_full.wait(5)
        worker.reset()
        assert worker._Worker__lock.locked()
        worker.proceed.set()
        assert putter.done.wait(5) and putter.error is None
        putter.join()
    finally:
        HeldByPut.putter = None
        worker.proceed.set()
    assert worker._Worker__task_list == ["a"] and not worker._Worker__lock.locked()


def test_a_worker_being_started_is_not_dead(stations, monkeypatch):
    in_start, gate = threading.Event(), threading.Event()

    class SlowStart(threading.Thread):
        def start(self):
            in_start.set()
            gate.wait(5)
            super().start()

    monkeypatch.setattr(kvo_fa, "_Thread", SlowStart)
    worker = stations("w")
    starter = threading.Thread(target=worker.start)
    starter.start()
    try:
        assert in_start.wait(5)
        assert worker._Worker__work_thread is not None
        assert not worker.dead and not worker.working
        worker.put("a")
    finally:
        gate.set()
        starter.join()
    wait_until(lambda: worker.done == ["a"])
