"""WorkerGroup: registration, lookup, ordered start/stop/reset, routing."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import kvo_fa
from worker_support import Station, stations, thread_errors, wait_until  # noqa: F401


class Logged(Station):
    log = None

    def before_start(self):
        self.log.append(("start", self.name))

    def after_stop(self):
        self.log.append(("stop", self.name))

    def reset(self, clear_job=True):
        self.log.append(("reset", self.name, clear_job))
        super().reset(clear_job)


def test_group_surface():
    assert [m for m in vars(kvo_fa.WorkerGroup) if not m.startswith("__") or m == "__init__"] == [
        "__init__", "add", "get", "start", "start_all", "stop", "stop_all", "reset", "reset_all", "put_task"]
    assert vars(kvo_fa.WorkerGroup()) == {"_names": [], "_workers": []}
    assert all(getattr(kvo_fa.WorkerGroup, m).__doc__ is None for m in ("add", "get", "put_task"))


def test_chain_passes_jobs_by_name(stations):
    def load(station, task):
        return kvo_fa.Job("process", task)

    def process(station, task):
        if task == "empty":
            return []
        if task == "again-2":
            return None
        if task == "again":
            return kvo_fa.Job("process", "again-2")  # addressed to itself
        return [kvo_fa.Job("unload", task + "-a"), kvo_fa.Job("unload", task + "-b")]

    loader, processor, unloader = stations("load", load), stations("process", process, lock_working=True), stations("unload")
    stations.group.start_all()
    for task in ("p1", "empty", "again", "p2"):
        loader.put(task)
    wait_until(lambda: len(unloader.done) == 4 and "again-2" in processor.done)
    assert loader.done == ["p1", "empty", "again", "p2"]
    # the self-addressed job queues behind whatever was waiting already
    assert processor.done[:3] == ["p1", "empty", "again"]
    assert sorted(processor.done[3:]) == ["again-2", "p2"]
    assert unloader.done == ["p1-a", "p1-b", "p2-a", "p2-b"]
    wait_until(lambda: all(w.free for w in (loader, processor, unloader)))


def test_group_orders(stations):
    log = Logged.log = []
    for name in ("a", "b", "c"):
        stations(name, cls=Logged)
    group = stations.group
    group.start()
    group.start()  # already started: nothing more
    group.stop()
    assert log == [("start", "a"), ("start", "b"), ("start", "c"), ("stop", "c"), ("stop", "b"), ("stop", "a")]
    del log[:]
    group.start_all()
    group.reset()
    assert log == [("start", "a"), ("start", "b"), ("start", "c"),
                   ("reset", "a", True), ("stop", "a"), ("reset", "b", True), ("stop", "b"),
                   ("reset", "c", True), ("stop", "c")]
    del log[:]
    group.start("b")
    group.stop("b")
    group.reset("c", False)
    group.reset_all(False)
    assert log == [("start", "b"), ("stop", "b"), ("reset", "c", False),
                   ("reset", "a", False), ("reset", "b", False), ("reset", "c", False)]


def test_reset_by_name_keeps_or_clears_tasks(stations):
    a, b = stations("a"), stations("b")
    for worker in (a, b):
        worker.put(1)
        worker.put(2)
    group = stations.group
    group.reset("a", False)
    assert a._Worker__task_list == [1, 2] and b._Worker__task_list == [1, 2]
    group.reset("a")
    assert a._Worker__task_list == [] and b._Worker__task_list == [1, 2]
    group.reset(clear_job=False)
    assert b._Worker__task_list == [1, 2]
    group.reset()
    assert b._Worker__task_list == []


def test_lookup_and_registration_checks(stations):
    group = stations.group
    a = stations("a")
    nameless = stations(None)
    assert group.get("a") is a and group.get(None) is nameless
    for call in (lambda: group.get("x"), lambda: group.start("x"), lambda: group.stop("x"),
                 lambda: group.reset("x"), lambda: group.put_task("x", 1)):
        with pytest.raises(AssertionError) as caught:
            call()
        assert caught.value.args == ()
    with pytest.raises(AssertionError):
        group.add(Station(group, "a"))
    assert group._names == ["a", None] and group._workers == [a, nameless]
    group.put_task("a", "t")
    assert a._Worker__task_list == ["t"]
    group.start(None)  # None means all workers, the nameless one among them
    assert a._Worker__work_thread is not None and nameless._Worker__work_thread is not None
    group.stop(None)


def test_empty_group():
    group = kvo_fa.WorkerGroup()
    group.start_all()
    group.stop_all()
    group.reset_all()
    with pytest.raises(AssertionError):
        group.get("any")


def test_put_task_passes_the_workers_exceptions(stations, thread_errors):
    def broken(station, task):
        raise RuntimeError("fault")

    worker = stations("broken", broken)
    full = stations("full", max_job_count=0)
    full.put_task_timeout = 0.0
    worker.put("t")
    worker.start()
    wait_until(lambda: worker.dead)
    with pytest.raises(kvo_fa.DeadWorkerException, match="^Worker 'broken' has dead. Can't put job to it.$"):
        stations.group.put_task("broken", "more")
    with pytest.raises(kvo_fa.FATimeoutException, match="^Put job to worker 'full' timeout.$"):
        stations.group.put_task("full", "more")


def test_an_error_stops_the_iteration(stations):
    class Refusing(Station):
        def start(self):
            raise RuntimeError("no")

    first = stations("first")
    stations("refusing", cls=Refusing)
    last = stations("last")
    with pytest.raises(RuntimeError):
        stations.group.start_all()
    assert first._Worker__work_thread is not None and last._Worker__work_thread is None


def test_checks_are_skipped_with_assertions_off():
    script = textwrap.dedent("""
        import kvo_fa
        group = kvo_fa.WorkerGroup()
        group.add(kvo_fa.Worker(group, "a"))
        group.add(kvo_fa.Worker(group, "a"))
        assert_off = group._names == ["a", "a"]
        try:
            group.get("x")
        except ValueError:
            print("ValueError", assert_off)
        worker = group.get("a")
        worker.loop_interval = 0
        worker.put_task_check_interval = 1
        print(worker.loop_interval, worker.put_task_check_interval)
    """)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["ValueError", "True", "0.0", "1"], out.stderr


def test_stations_example_runs_to_its_end():
    root = pathlib.Path(__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=os.path.dirname(kvo_fa.__file__))
    out = subprocess.run([sys.executable, str(root / "examples" / "stations.py")], capture_output=True,
                         text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    assert "operator: Worker 'process' has dead. Can't put job to it." in out.stdout
    assert out.stdout.strip().endswith("unloaded: ['p1', 'p2', 'p3', 'p4', 'p5']")
