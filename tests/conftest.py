import threading
import time

import pytest


@pytest.fixture(autouse=True)
def no_thread_left_behind():
    """Every test must close its machines and stop its workers."""
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + 2.0
    while True:
        left = [t for t in threading.enumerate() if t not in before and t.is_alive()]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    assert not left, f"test left threads running: {left}"
