"""A bounded first-in-first-out queue that never makes its writer wait.

When it is full, putting an item drops the oldest one and counts it: telemetry
that cannot keep up loses its oldest news, and the machine never waits for a
slow broker or a slow browser.
"""
import threading
from collections import deque
from typing import Generic, Optional, TypeVar

T = TypeVar("T")


class Outbox(Generic[T]):
    def __init__(self, size: int) -> None:
        if size < 1:
            raise ValueError(f"queue size must be at least 1, not {size}")
        self._items: deque[T] = deque()
        self._size = size
        self._ready = threading.Condition(threading.Lock())
        self.dropped = 0

    def put(self, item: T) -> None:
        with self._ready:
            if len(self._items) >= self._size:
                self._items.popleft()
                self.dropped += 1
            self._items.append(item)
            self._ready.notify()

    def peek(self) -> Optional[T]:
        with self._ready:
            return self._items[0] if self._items else None

    def pop(self) -> Optional[T]:
        with self._ready:
            return self._items.popleft() if self._items else None

    def get(self, timeout: float) -> Optional[T]:
        """The oldest item, waiting up to `timeout` seconds for one; None if none came."""
        with self._ready:
            if not self._items:
                self._ready.wait(timeout)
            return self._items.popleft() if self._items else None

    def __len__(self) -> int:
        return len(self._items)
