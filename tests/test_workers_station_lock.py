"""The station lock and the record behind one pass of a worker: a plain lock
is taken and released natively, any other `_Lock` through its methods; the
lock's own view of its state stays right either way; a hold left by a
failure is released by `reset`; the limit of `full` compares like Python."""
import threading
from fractions import Fraction

import pytest

import kvo_fa
from worker_support import thread_errors  # noqa: F401


class RecordingLock:
    """A replaced station lock: records every call made on it."""

    def __init__(self):
        self.lock, self.calls = threading.Lock(), []

    def acquire(self, *args):
        self.calls.append(("acquire", args))
        return self.lock.acquire(*args)

    def release(self):
        self.calls.append(("release",))
        self.lock.release()

    def locked(self):
        self.calls.append(("locked",))
        return self.lock.locked()


class OnePass(kvo_fa.Worker):
    """Works on one task per call of loop(); `during(self)` runs inside work."""

    during = None

    def work(self, task):
        self._Worker__stop_flag = True
        if self.during:
            self.during(self)


def one_round(worker, task="t"):
    worker._Worker__stop_flag = False
    worker.put(task)
    worker.loop()


@pytest.mark.parametrize(
    "lock_working, calls_of_the_pass",
    [
        (False, [("acquire", ()), ("release",)]),
        # Kept through work, then released as the worker's own hold.
        (True, [("acquire", ()), ("locked",), ("release",)]),
    ],
)
def test_a_replaced_lock_is_called_through_its_methods(monkeypatch, lock_working, calls_of_the_pass):
    monkeypatch.setattr(kvo_fa, "_Lock", RecordingLock)
    worker = OnePass(None, "w", lock_working)
    one_round(worker)
    put_calls = [("acquire", ()), ("release",)]
    assert worker._Worker__lock.calls == put_calls + calls_of_the_pass
    assert not worker._Worker__lock.lock.locked()


def test_a_plain_lock_reads_held_while_work_keeps_it():
    seen = []

    def during(self):
        lock = self._Worker__lock
        seen.append(lock.locked())
        other = threading.Thread(target=lambda: seen.append(lock.acquire(timeout=0.01)))
        other.start()
        other.join()

    worker = OnePass(None, "w", True)
    worker.during = during
    for _ in range(3):
        one_round(worker)
    assert seen == [True, False] * 3
    lock = worker._Worker__lock
    assert not lock.locked()
    assert lock.acquire(False)  # the lock's own state agrees: free
    lock.release()
    with pytest.raises(RuntimeError):
        lock.release()


@pytest.mark.parametrize("replaced", [False, True])
def test_work_may_release_the_kept_lock_itself(monkeypatch, thread_errors, replaced):
    if replaced:
        monkeypatch.setattr(kvo_fa, "_Lock", RecordingLock)
    worker = OnePass(None, "w", True)
    worker.during = lambda self: self._Worker__lock.release()
    one_round(worker)
    one_round(worker)
    lock = worker._Worker__lock
    assert not (lock.lock if replaced else lock).locked()
    assert worker._Worker__task_list == [] and thread_errors == []


class FailingPop(list):
    def pop(self, index=-1):
        raise KeyError("no task today")


@pytest.mark.parametrize("replaced", [False, True])
def test_a_failure_while_holding_the_lock_is_released_by_reset(monkeypatch, replaced):
    if replaced:
        monkeypatch.setattr(kvo_fa, "_Lock", RecordingLock)
    worker = OnePass(None, "w")
    worker._Worker__task_list = FailingPop(["t"])
    with pytest.raises(KeyError, match="no task today"):
        worker.loop()
    lock = worker._Worker__lock
    plain = lock.lock if replaced else lock
    assert plain.locked()  # the dead pass left its hold
    worker.reset()
    assert not plain.locked()
    worker.reset()  # nothing left to release
    assert not plain.locked()


def test_a_replaced_clock_is_read_by_every_put(monkeypatch):
    readings = []
    monkeypatch.setattr(kvo_fa, "_now", lambda: readings.append(1) or 1000.0)
    worker = OnePass(None, "w")
    assert worker.put_task_timeout < 0
    worker.put("a")
    worker.put("b")
    assert readings == [1, 1]


@pytest.mark.parametrize(
    "limit, full_from",
    [(2, 2), (2.0, 2), (Fraction(3, 2), 2), (-1, 0), (0, 0), (10**30, None), (-(10**30), 0),
     (float("inf"), None), (float("nan"), None), (True, 1)],
)
def test_full_compares_the_length_with_the_limit(limit, full_from):
    worker = kvo_fa.Worker(None, "w", max_job_count=limit)
    tasks = worker._Worker__task_list
    for length in range(4):
        assert worker.full is (full_from is not None and length >= full_from)
        tasks.append(length)
