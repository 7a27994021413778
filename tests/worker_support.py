"""Shared pieces of the worker tests: a recording station, a collector of
uncaught thread errors, and a fixture that stops every worker it built."""
import threading
import time

import pytest

import kvo_fa

FAST = 0.01  # loop and check intervals of the test stations


def wait_until(condition, timeout=3.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.005)


class Station(kvo_fa.Worker):
    """Records its tasks; `action(station, task)` gives the work's result."""

    def __init__(self, group, name, action=None, **kwargs):
        super().__init__(group, name, **kwargs)
        self.loop_interval = FAST
        self.put_task_check_interval = FAST
        self.done = []
        self.action = action

    def work(self, task):
        self.done.append(task)
        return self.action(self, task) if self.action else None


@pytest.fixture
def stations():
    """stations(name, ...) builds a Station in one shared group; all are reset
    (stopped) at the end of the test."""
    group = kvo_fa.WorkerGroup()
    built = []

    def make(name, action=None, *, register=True, cls=Station, **kwargs):
        worker = cls(group, name, action, **kwargs)
        if register:
            group.add(worker)
        built.append(worker)
        return worker

    make.group = group
    try:
        yield make
    finally:
        for worker in reversed(built):
            worker.reset()


@pytest.fixture
def thread_errors(monkeypatch):
    """Collects the exceptions that end threads instead of printing them."""
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_value))
    return errors
