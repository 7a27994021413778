"""Three stations chained by name: load -> process -> unload.

Each station is a Worker in one WorkerGroup; a station's work returns a Job
naming the next station. The process and unload stations have bounded task
lists, so an upstream station waits for room. The process station faults on
a cracked part: its thread ends, the station is dead and refuses new parts
(a station that tried to hand it one would die too). The operator resets it,
keeping the parts still queued there, and starts it again.
When every part is through, all stations are stopped and the script ends.

Run with the module on the path, e.g. PYTHONPATH=build/dev python3 examples/stations.py
"""
import sys
import threading
import time
from typing import Any, Callable, Optional

import kvo_fa

FIRST_BATCH = ["p1", "p2", "cracked"]  # nothing follows the cracked part into the dead station
SECOND_BATCH = ["p3", "p4", "p5"]


class Station(kvo_fa.Worker):
    def __init__(
        self, group: kvo_fa.WorkerGroup, name: str, next_station: Optional[str] = None, **kwargs: Any
    ) -> None:
        super().__init__(group, name, **kwargs)
        self.next_station = next_station
        self.loop_interval = 0.02
        self.put_task_check_interval = 0.02
        self.finished: list[str] = []

    def handle(self, part: str) -> None:
        time.sleep(0.05)  # the station's real job (machine actions) goes here

    def work(self, part: str) -> Optional[kvo_fa.Job]:
        self.handle(part)
        self.finished.append(part)
        print(f"  {self.name:8} {part}")
        if self.next_station:
            return kvo_fa.Job(self.next_station, part)
        return None


class Process(Station):
    def work(self, part: str) -> Optional[kvo_fa.Job]:
        # lock_working keeps new parts out while the part is clamped; once it
        # is clamped the station may take the next one into its list.
        kvo_fa.Worker.work(self, part)
        if part == "cracked":
            raise kvo_fa.FAException(f"part {part} is cracked")
        return super().work(part)


def wait_for(condition: Callable[[], bool], seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)


def all_idle(group: kvo_fa.WorkerGroup, names: list[str]) -> bool:
    """Every station idles with an empty list on two checks in a row (a part
    being handed over is between stations only for a moment)."""
    for _ in range(2):
        if not all(group.get(name).free for name in names):
            return False
        time.sleep(0.05)
    return True


def main() -> None:
    # A station thread that ends by an exception reports it in one line.
    threading.excepthook = lambda args: print(f"station thread ended: {args.exc_value!r}")

    group = kvo_fa.WorkerGroup()
    names = ["load", "process", "unload"]
    group.add(Station(group, "load", "process"))
    group.add(Process(group, "process", "unload", lock_working=True, max_job_count=2))
    unload = Station(group, "unload", max_job_count=2)
    group.add(unload)
    process = group.get("process")
    group.start_all()
    try:
        for part in FIRST_BATCH:
            group.put_task("load", part)
        wait_for(lambda: process.dead)
        try:
            group.put_task("process", "extra part")
        except kvo_fa.DeadWorkerException as refused:
            print(f"operator: {refused}")
        print("operator: resetting the process station")
        group.reset("process", False)  # keep the parts still queued there
        group.start("process")

        for part in SECOND_BATCH:
            group.put_task("load", part)
        wait_for(lambda: all_idle(group, names))
    finally:
        group.stop_all()  # last registered first

    print("unloaded:", unload.finished)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # the finally blocks above have stopped everything
        sys.exit(130)
