"""Dead workers: how a worker dies, what it refuses, and how reset revives it."""
import threading

import pytest

import kvo_fa
from worker_support import Station, stations, thread_errors, wait_until  # noqa: F401

DEAD_MESSAGE = "Worker '%s' has dead. Can't put job to it."


def faulty(station, task):
    if task == "bad":
        raise RuntimeError("station fault")


class Hooked(Station):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.starts = 0

    def before_start(self):
        self.starts += 1


@pytest.mark.parametrize("lock_working", [False, True])
def test_a_fault_in_work_kills_the_worker(stations, thread_errors, lock_working):
    worker = stations("w", faulty, lock_working=lock_working, cls=Hooked)
    for task in ("ok", "bad", "later"):
        worker.put(task)
    worker.start()
    wait_until(lambda: worker.dead)
    assert [type(e) for e in thread_errors] == [RuntimeError]
    assert (worker.working, worker.free) == (False, False)
    assert worker._Worker__task == "bad" and worker._Worker__task_list == ["later"]
    assert worker._Worker__lock.locked() is lock_working  # held through work only with lock_working
    with pytest.raises(kvo_fa.DeadWorkerException) as caught:
        worker.put("refused")
    assert str(caught.value) == DEAD_MESSAGE % "w"
    assert worker._Worker__task_list == ["later"]

    worker.start()  # a dead worker is not started again
    assert worker.starts == 1 and worker.dead

    worker.reset()
    assert not worker.dead and worker._Worker__task is None and worker._Worker__task_list == []
    assert not worker._Worker__lock.locked()
    worker.start()
    worker.put("again")
    wait_until(lambda: worker.done[-1:] == ["again"])
    assert worker.done == ["ok", "bad", "again"]


def test_reset_without_clearing_keeps_the_queue(stations, thread_errors):
    worker = stations("w", faulty)
    for task in ("bad", "x", "y"):
        worker.put(task)
    worker.start()
    wait_until(lambda: worker.dead)
    worker.reset(False)
    assert worker._Worker__task_list == ["x", "y"] and not worker.dead
    worker.start()
    wait_until(lambda: worker.done == ["bad", "x", "y"])


def test_stop_also_revives_a_dead_worker(stations, thread_errors):
    worker = stations("w", faulty)
    worker.put("bad")
    worker.start()
    wait_until(lambda: worker.dead)
    worker.stop()
    assert not worker.dead and worker._Worker__task == "bad"
    worker.start()
    worker.put("fine")
    wait_until(lambda: worker.done == ["bad", "fine"])


@pytest.mark.parametrize("result", [(kvo_fa.Job("w", 1),), "job", 5])
def test_a_result_other_than_job_or_list_kills_the_worker(stations, thread_errors, result):
    worker = stations("w", lambda station, task: result)
    worker.put("t")
    worker.start()
    wait_until(lambda: worker.dead)
    (error,) = thread_errors
    assert type(error) is ValueError
    assert str(error) == "Worker.work function should return a Job object or a Job list"
    assert worker._Worker__task is None


def test_handing_a_job_to_a_dead_worker_kills_the_sender(stations, thread_errors):
    receiver = stations("receiver", faulty)
    sender = stations("sender", lambda station, task: [kvo_fa.Job("receiver", task), kvo_fa.Job("other", task)])
    other = stations("other")
    receiver.put("bad")
    receiver.start()
    wait_until(lambda: receiver.dead)
    other.start()
    sender.start()
    sender.put("t")
    wait_until(lambda: sender.dead)
    assert type(thread_errors[-1]) is kvo_fa.DeadWorkerException
    assert str(thread_errors[-1]) == DEAD_MESSAGE % "receiver"
    assert other.done == []  # jobs after the failing one are not handed over
    assert not other.dead


def test_a_full_receiver_with_a_time_out_kills_the_sender(stations, thread_errors):
    receiver = stations("receiver", max_job_count=0)
    receiver.put_task_timeout = 0.02
    sender = stations("sender", lambda station, task: kvo_fa.Job("receiver", task))
    sender.start()
    sender.put("t")
    wait_until(lambda: sender.dead)
    assert [str(e) for e in thread_errors] == ["Put job to worker 'receiver' timeout."]


def test_a_waiting_put_fails_when_the_worker_dies(stations, thread_errors):
    go = threading.Event()

    def fail_later(station, task):
        go.wait(5)
        raise RuntimeError("late fault")

    worker = stations("w", fail_later, max_job_count=1)
    worker.start()
    worker.put("first")
    wait_until(lambda: worker.working)
    worker.put("second")  # fills the list
    errors = []

    def put_third():
        try:
            worker.put("third")  # no time limit: waits until the worker dies
        except kvo_fa.FAException as error:
            errors.append(error)

    putter = threading.Thread(target=put_third)
    putter.start()
    putter.join(0.05)
    assert putter.is_alive()
    go.set()
    putter.join(5)
    assert [str(e) for e in errors] == [DEAD_MESSAGE % "w"]
    assert type(errors[0]) is kvo_fa.DeadWorkerException
    assert worker._Worker__task_list == ["second"]


def test_an_unknown_owner_kills_the_sender(stations, thread_errors):
    sender = stations("sender", lambda station, task: kvo_fa.Job("nobody", task))
    sender.start()
    sender.put("t")
    wait_until(lambda: sender.dead)
    assert [type(e) for e in thread_errors] == [AssertionError]
