"""Delays of kvo_fa set by its polling intervals: from an input change to a
direct edge handler and to a returning wait_for_signal, and a job's hop from
one worker to the next. Secondary figures: the fixed intervals dominate them."""
import statistics
import threading
import time

import kvo_fa
import kvo_mew

from .fixtures import SIM, fp_machine
from .implementations import KVO_FA


def edge_delays(repeats):
    """Seconds from an input change to the direct edge handler, and to the
    return of a waiting wait_for_signal (check_interval 0.01)."""
    machine, close = fp_machine(KVO_FA)
    plc = kvo_mew.simulator(SIM)
    seen = threading.Event()
    stamp = [0.0]

    def handler(snapshot):
        if snapshot.rising(1):
            stamp[0] = time.perf_counter()
            seen.set()

    machine.register_edge_event_handler(handler)
    machine.start()
    handler_delays, wait_delays = [], []
    try:
        for _ in range(repeats):
            plc.set("X1", False)
            machine.wait_for_signal("X1", False, 2, 0.01)
            time.sleep(0.02)
            seen.clear()
            began = time.perf_counter()
            plc.set("X1", True)
            if seen.wait(2):
                handler_delays.append(stamp[0] - began)
        for _ in range(repeats):
            plc.set("X1", False)
            machine.wait_for_signal("X1", False, 2, 0.01)
            done = []
            waiter = threading.Thread(target=lambda: done.append(
                (machine.wait_for_signal("X1", True, 2, 0.01), time.perf_counter())))
            waiter.start()
            time.sleep(0.03)
            began = time.perf_counter()
            plc.set("X1", True)
            waiter.join()
            wait_delays.append(done[0][1] - began)
    finally:
        close()
    return {"input change -> direct edge handler": statistics.median(handler_delays),
            "input change -> wait_for_signal returns (check_interval 0.01)": statistics.median(wait_delays)}


class Relay(kvo_fa.Worker):
    """Hands each task to the next station; the last one notes the time."""

    def __init__(self, group, name, next_name, arrived):
        super().__init__(group, name)
        self.next_name = next_name
        self.arrived = arrived

    def work(self, task):
        if self.next_name is None:
            self.arrived.append(time.perf_counter())
            return None
        return kvo_fa.Job(self.next_name, task)


def job_hops(repeats, hops=4):
    """Seconds a job takes from one worker to the next, per loop_interval."""
    delays_by_interval = {}
    for interval in (0.1, 0.01):
        group = kvo_fa.WorkerGroup()
        arrived = []
        names = ["s%d" % i for i in range(hops + 1)]
        for i, name in enumerate(names):
            worker = Relay(group, name, names[i + 1] if i < hops else None, arrived)
            worker.loop_interval = interval
            group.add(worker)
        group.start_all()
        delays = []
        try:
            for _ in range(repeats):
                count = len(arrived)
                began = time.perf_counter()
                group.put_task(names[0], "part")
                deadline = time.monotonic() + 5
                while len(arrived) == count and time.monotonic() < deadline:
                    time.sleep(0.001)
                if len(arrived) > count:
                    delays.append((arrived[-1] - began) / hops)
        finally:
            group.stop_all()
        delays_by_interval["job hop between workers (loop_interval %g)" % interval] = statistics.median(delays)
    return delays_by_interval


def latencies(repeats):
    figures = edge_delays(repeats)
    figures.update(job_hops(repeats))
    return figures
