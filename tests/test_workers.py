"""Job and Worker: surface, properties, task order and lifecycle."""
import inspect
import math
import threading

import pytest

import kvo_fa
from worker_support import FAST, Station, stations, thread_errors, wait_until  # noqa: F401

WORKER_DOCS = {
    "name": "工人的名字。\n\t\t所有人都应该有个名字，对吧？",
    "loop": "轮询是否有任务需要执行。loop_interval是轮询的时间间隔（通过start传入）。\n\t\t如果有工作，则取出工作，调用work函数执行工作。\n\t\t执行完工作后，如果有新工作任务产生，并且设置了下一个工人，就交给他。\n\t\t如果在执行工作的时候（work函数里面）发生异常，此工人将成为“死工人”。\n\t\t如果把新工作交给下一个工人时，发现下一个工人死了，此工人也将死去。",
    "work": "执行工作任务。\n\t\t通常，子类应该重载此函数，以完成真正的工作任务。\n\t\t这里，作为一个示范函数，只是提前释放锁。",
    "put": "给工人（的工作队列）添加一项工作任务。",
    "before_start": "\n\t\t如果子类有需要在启动之前执行一些动作，可以override此函数。\n\t\t注意：如果实例本来就处于工作状态，调用start并不会执行此函数。\n\t\t",
    "start": "让工人开始工作。\n\t\t参数loop_interval是工人检查是否有工作要执行的时间间隔。",
    "after_stop": "\n\t\t如果子类有需要在停止之后执行一些额外动作，可以override此函数。\n\t\t注意：如果实例本来就处于停止状态，调用stop并不会执行此函数。\n\t\t",
    "stop": "让工人停止工作。",
    "reset": "\n\t\t当发生异常时，有可能没有释放锁。整个设备可能需要执行复位。\n\t\t这个工人（工位）也就需要复位，把未释放的锁释放掉。\n\t\t",
    "dead": "\n\t\t执行工作时（work函数里面）发生了异常，将导致工人的loop线程退出，不能继续工作。\n\t\t我们说这个时候此工人是死的（祈祷不会发生这样的事情）。\n\t\t",
    "working": "\n\t\t工人是否在执行工作。\n\t\t",
    "free": "\n\t\t工人正常运转，只是在空转。\n\t\t",
    "loop_interval": None,
    "put_task_timeout": None,
    "put_task_check_interval": None,
    "full": None,
    "__init__": None,
}

WORKER_MEMBERS = ["__init__", "loop_interval", "put_task_timeout", "put_task_check_interval", "name", "loop",
                  "work", "full", "put", "before_start", "start", "after_stop", "stop", "reset", "dead",
                  "working", "free"]

WORKER_ATTRIBUTES = ["_Worker__group", "_Worker__name", "_Worker__lock", "_Worker__task_list",
                     "_Worker__stop_flag", "_Worker__lock_working", "_Worker__max_job_count", "_Worker__task",
                     "_Worker__work_thread", "_Worker__put_task_timeout", "_Worker__put_task_check_interval",
                     "_Worker__loop_interval"]


# --- Job ---------------------------------------------------------------------

def test_job_is_a_read_only_pair():
    job = kvo_fa.Job("next", [1, 2])
    assert (job.owner, job.task) == ("next", [1, 2])
    assert vars(job) == {"_Job__owner": "next", "_Job__task": [1, 2]}
    with pytest.raises(AttributeError):
        job.owner = "other"
    assert kvo_fa.Job.__init__.__doc__ == "\n\t\t:param owner:\n\t\t:param task:\n\t\t"
    assert kvo_fa.Job(None, 1).owner is None
    with pytest.raises(TypeError, match="Argument 'owner' has incorrect type"):
        kvo_fa.Job(5, 1)


# --- Worker surface ----------------------------------------------------------

def test_worker_members_and_docstrings():
    assert [m for m in vars(kvo_fa.Worker) if not m.startswith("__") or m == "__init__"] == WORKER_MEMBERS
    for member, doc in WORKER_DOCS.items():
        assert getattr(kvo_fa.Worker, member).__doc__ == doc, member


def test_worker_record_and_defaults():
    worker = kvo_fa.Worker(None, "w")
    assert list(vars(worker))[:len(WORKER_ATTRIBUTES)] == WORKER_ATTRIBUTES
    params = inspect.signature(kvo_fa.Worker.__init__).parameters
    assert params["lock_working"].default is False
    assert params["max_job_count"].default == math.inf
    assert worker.name == "w" and worker._Worker__max_job_count == math.inf
    assert (worker.put_task_timeout, worker.put_task_check_interval, worker.loop_interval) == (-1.0, 0.1, 0.1)
    assert (worker.dead, worker.working, worker.free, worker.full) == (False, False, True, False)
    for i in range(500):
        worker.put(i)
    assert not worker.full and worker._Worker__task_list == list(range(500))


def test_worker_argument_rules():
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type \\(expected str, got int\\)"):
        kvo_fa.Worker(None, 123)
    assert kvo_fa.Worker(None, None).name is None
    with pytest.raises(TypeError):
        kvo_fa.Worker(None)


def test_interval_setters_convert_and_check():
    worker = kvo_fa.Worker(None, "w")
    worker.loop_interval = 1
    assert type(worker.loop_interval) is float and worker.loop_interval == 1.0
    for bad in (0, -0.5):
        with pytest.raises(AssertionError) as caught:
            worker.loop_interval = bad
        assert caught.value.args == ()
    assert worker.loop_interval == 1.0
    with pytest.raises(TypeError):
        worker.loop_interval = "fast"

    worker.put_task_timeout = 5
    assert type(worker.put_task_timeout) is float and worker.put_task_timeout == 5.0
    worker.put_task_timeout = -3
    assert worker.put_task_timeout == -3.0

    with pytest.raises(AssertionError):
        worker.put_task_check_interval = 1
    assert worker.put_task_check_interval == 0.1

    class Seconds(float):
        pass

    worker.put_task_check_interval = Seconds(0.2)
    assert worker.put_task_check_interval == 0.2


# --- Working -----------------------------------------------------------------

def test_tasks_are_worked_in_order(stations):
    worker = stations("w")
    for i in range(10):
        worker.put(i)  # queued while stopped
    worker.start()
    for i in range(10, 20):
        worker.put(i)
    wait_until(lambda: len(worker.done) == 20)
    assert worker.done == list(range(20))
    wait_until(lambda: worker.free)


def test_working_and_free_follow_the_task(stations):
    entered, finish = threading.Event(), threading.Event()

    def slow(station, task):
        entered.set()
        finish.wait(5)

    worker = stations("w", slow)
    worker.start()
    worker.put("t")
    assert entered.wait(5)
    assert (worker.working, worker.free, worker._Worker__task) == (True, False, "t")
    finish.set()
    wait_until(lambda: worker.free)
    assert not worker.working and worker._Worker__task is None


class Hooked(Station):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def before_start(self):
        self.calls.append("before_start")

    def after_stop(self):
        self.calls.append("after_stop")


def test_stop_before_start_and_start_twice(stations, monkeypatch):
    made = []

    class CountingThread(threading.Thread):
        def __init__(self, *args, **kwargs):
            made.append(kwargs)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(kvo_fa, "_Thread", CountingThread)
    worker = stations("w", cls=Hooked)
    worker.stop()  # never started: the flag is set, after_stop is not called
    assert worker._Worker__stop_flag is True and worker.calls == []
    worker.start()
    assert worker._Worker__stop_flag is False
    worker.start()
    assert worker.calls == ["before_start"]
    assert made == [{"target": worker.loop}]
    thread = worker._Worker__work_thread
    assert thread.daemon is False and thread.name.startswith("Thread-")
    worker.put("x")
    wait_until(lambda: worker.done == ["x"])
    worker.stop()
    assert worker.calls == ["before_start", "after_stop"]
    assert worker._Worker__work_thread is None and not thread.is_alive()
    worker.stop()  # already stopped
    assert worker.calls == ["before_start", "after_stop"]


def test_idle_loop_sleeps_loop_interval_through_the_alias(stations, monkeypatch):
    slept = []

    def sleep(seconds):
        slept.append(seconds)
        threading.Event().wait(0.005)

    monkeypatch.setattr(kvo_fa, "_sleep", sleep)
    worker = stations("w")
    worker.loop_interval = 0.015
    worker.start()
    wait_until(lambda: len(slept) >= 3)
    worker.stop()
    assert set(slept) == {0.015}


def test_default_work_ignores_the_task():
    worker = kvo_fa.Worker(None, "plain")
    assert worker.work("anything") is None
    worker.loop_interval = FAST
    worker.put(1)
    worker.start()
    try:
        wait_until(lambda: worker.free)
    finally:
        worker.stop()


def test_annotations():
    assert kvo_fa.Worker.__init__.__annotations__ == {
        "name": str, "lock_working": bool, "max_job_count": kvo_fa._Union[int, float]}
    assert kvo_fa.Worker.work.__annotations__ == {"return": object}
    for prop in ("loop_interval", "put_task_timeout", "put_task_check_interval"):
        assert getattr(kvo_fa.Worker, prop).fget.__annotations__ == {"return": float}
    assert kvo_fa.Worker.loop_interval.fset.__annotations__ == {"value": float}
    assert kvo_fa.Worker.put_task_check_interval.fset.__annotations__ == {}
    assert kvo_fa.WorkerGroup.add.__annotations__ == {"worker": kvo_fa.Worker}


def test_a_thread_that_fails_to_start_leaves_the_worker_stopped(stations, monkeypatch):
    class NoThreads(threading.Thread):
        def start(self):
            raise RuntimeError("can't start new thread")

    worker = stations("w")
    monkeypatch.setattr(kvo_fa, "_Thread", NoThreads)
    with pytest.raises(RuntimeError):
        worker.start()
    assert worker._Worker__work_thread is None and not worker.dead
    monkeypatch.undo()
    worker.put(1)
    worker.start()
    wait_until(lambda: worker.done == [1])
