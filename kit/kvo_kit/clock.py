"""A virtual clock for kvo_fa: station time-outs of seconds run in milliseconds.

`VirtualClock.install()` puts its `now` and `sleep` in place of `kvo_fa._now` and
`kvo_fa._sleep` (the module looks them up at each use), and its thread class in
place of `kvo_fa._Thread`, so it knows the machine's and the workers' threads.
Time stands still while any of those threads, or the thread that installed the
clock, runs; once every one of them sleeps (or waits in a `join`), the clock jumps
to the earliest wake-up time and wakes that one sleeper alone, sleepers of the same
time in the order they went to sleep. So a run is a sequence of steps in a fixed
order, and a time-out fires at its exact virtual time however busy the computer is.

Simulated PLCs given to `attach` run their device clock on it: each jump advances
their manual clock by the same amount, so a cylinder's stroke takes its seconds of
virtual time.

A thread blocked elsewhere (a lock, an Event, a queue) cannot tell the clock that it
waits; after `grace` seconds of real time without progress the clock moves on
anyway, so nothing hangs, but such steps are no longer deterministic. In the test's
own thread wait with `clock.sleep` or `clock.wait_until`.
"""
import heapq
import itertools
import threading
import time
from typing import Any, Callable, Optional, SupportsIndex

_NS = 1_000_000_000


class VirtualClock:
    """Virtual time for kvo_fa machines, workers and simulated PLCs (see the module)."""

    START = 1024.0  # seconds `now` shows at first; a binary number keeps sums exact

    def __init__(self, start: float = START, grace: float = 0.05) -> None:
        self.start = start
        self.grace = grace
        self._ticks = 0  # nanoseconds since start: sleeps of 0.01 s add up exactly
        self._lock = threading.Lock()
        self._waiters: dict[int, threading.Condition] = {}  # a sleeper's own wake-up, sharing the lock
        self._sleepers: list[tuple[int, int, threading.Thread]] = []
        self._woken: set[int] = set()
        self._order = itertools.count()
        self._running: set[threading.Thread] = set()
        self._known: set[threading.Thread] = set()
        self._plcs: list[Any] = []
        self._installed = False
        self._saved: Optional[tuple[Any, Any, Any]] = None
        self._progress = time.monotonic()
        self.steps = 0  # jumps made so far

    # ---- time

    def now(self) -> float:
        """Seconds, like time.time(); `start` at first."""
        return self.start + self._ticks / _NS

    @property
    def elapsed(self) -> float:
        """Virtual seconds since the clock began."""
        return self._ticks / _NS

    def sleep(self, seconds: "float | SupportsIndex") -> None:
        """Sleep `seconds` of virtual time (real time once the clock is uninstalled)."""
        if not self._installed:
            time.sleep(seconds)
            return
        me = threading.current_thread()
        with self._lock:
            wake = self._ticks + max(0, round(float(seconds) * _NS))
            order = next(self._order)
            heapq.heappush(self._sleepers, (wake, order, me))
            self._known.add(me)
            self._running.discard(me)
            self._progressed()
            # Woken alone: a notify_all would wake every sleeper at every step.
            waiter = self._waiters[order] = threading.Condition(self._lock)
            while order not in self._woken and self._installed:
                self._advance_if_idle()
                if order in self._woken or not self._installed:
                    break
                if not waiter.wait(self.grace) and time.monotonic() - self._progress >= self.grace:
                    self._advance()
            del self._waiters[order]
            self._woken.discard(order)
            self._running.add(me)

    def wait_until(self, condition: Callable[[], object], timeout: Optional[float] = None,
                   interval: float = 0.01) -> None:
        """Sleep in steps of `interval` until `condition()` is true; TimeoutError after
        `timeout` virtual seconds."""
        deadline = None if timeout is None else self._ticks + round(timeout * _NS)
        while not condition():
            if deadline is not None and self._ticks >= deadline:
                raise TimeoutError(f"condition not reached within {timeout} s of virtual time")
            self.sleep(interval)

    # ---- simulated PLCs

    def attach(self, plc: Any) -> None:
        """Run simulated PLC `plc`'s device clock on this clock (its manual clock)."""
        with self._lock:
            plc.clock = "manual"
            self._plcs.append(plc)

    # ---- install

    def install(self) -> "VirtualClock":
        """Replace kvo_fa's _now, _sleep and _Thread; returns the clock."""
        import kvo_fa

        if self._installed:
            return self
        self._saved = (kvo_fa._now, kvo_fa._sleep, kvo_fa._Thread)
        kvo_fa._now, kvo_fa._sleep, kvo_fa._Thread = self.now, self.sleep, self._thread_class()
        with self._lock:
            self._installed = True
            me = threading.current_thread()
            self._known.add(me)
            self._running.add(me)
        return self

    def uninstall(self) -> None:
        """Put real time back: sleepers wake at once, device clocks run steady again."""
        import kvo_fa

        with self._lock:
            if not self._installed:
                return
            self._installed = False
            for waiter in self._waiters.values():
                waiter.notify()
            plcs, self._plcs = self._plcs, []
        assert self._saved is not None
        kvo_fa._now, kvo_fa._sleep, kvo_fa._Thread = self._saved
        for plc in plcs:
            plc.clock = "steady"

    def __enter__(self) -> "VirtualClock":
        return self.install()

    def __exit__(self, *exc: object) -> None:
        self.uninstall()

    # ---- threads

    def _thread_class(self) -> "type[threading.Thread]":
        clock = self

        class ClockThread(threading.Thread):
            """threading.Thread that the virtual clock waits for."""

            def start(self) -> None:
                with clock._lock:
                    clock._known.add(self)
                    clock._running.add(self)
                try:
                    super().start()
                except BaseException:
                    clock._gone(self)
                    raise

            def run(self) -> None:
                try:
                    super().run()
                finally:
                    clock._gone(self)

            def join(self, timeout: Optional[float] = None) -> None:
                clock._blocked(threading.current_thread(), True)
                try:
                    super().join(timeout)
                finally:
                    clock._blocked(threading.current_thread(), False)

        return ClockThread

    def _gone(self, thread: threading.Thread) -> None:
        with self._lock:
            self._known.discard(thread)
            self._running.discard(thread)
            self._progressed()
            self._advance_if_idle()

    def _blocked(self, thread: threading.Thread, blocked: bool) -> None:
        with self._lock:
            if thread not in self._known:
                return
            if blocked:
                self._running.discard(thread)
                self._progressed()
                self._advance_if_idle()
            else:
                self._running.add(thread)

    # ---- stepping (lock held)

    def _progressed(self) -> None:
        self._progress = time.monotonic()

    def _advance_if_idle(self) -> None:
        self._running = {t for t in self._running if t.is_alive() or not t.ident}
        if not self._running:
            self._advance()

    def _advance(self) -> None:
        """Wake the earliest sleeper, moving time (and the device clocks) to its wake-up."""
        if not self._sleepers or not self._installed:
            return
        wake, order, thread = heapq.heappop(self._sleepers)
        if wake > self._ticks:
            seconds = (wake - self._ticks) / _NS
            self._ticks = wake
            self.steps += 1
            for plc in self._plcs:
                plc.advance(seconds)
        self._woken.add(order)
        self._running.add(thread)
        self._progressed()
        if order in self._waiters:
            self._waiters[order].notify()
