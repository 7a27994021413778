"""Three stations chained by name: load -> process -> unload.

Each station is a Worker in one WorkerGroup; a station's work returns a Job
naming the next station. The process and unload stations have bounded task
lists, so an upstream station waits for room. The process station faults on
a cracked part: its thread ends and the station is dead; a station that then
tries to hand it a part dies too. The operator loop below notices dead
stations, resets them (keeping their queued parts) and starts them again.
When every part is through, all stations are stopped and the script ends.

Run with the module on the path, e.g. PYTHONPATH=build/dev python3 examples/stations.py
"""
import threading
import time

import kvo_fa

PARTS = ["p1", "p2", "cracked", "p3", "p4", "p5"]


class Station(kvo_fa.Worker):
    def __init__(self, group, name, next_station=None, **kwargs):
        super().__init__(group, name, **kwargs)
        self.next_station = next_station
        self.loop_interval = 0.02
        self.put_task_check_interval = 0.02
        self.finished = []

    def handle(self, part):
        time.sleep(0.05)  # the station's real job (machine actions) goes here

    def work(self, part):
        self.handle(part)
        self.finished.append(part)
        print(f"  {self.name:8} {part}")
        if self.next_station:
            return kvo_fa.Job(self.next_station, part)
        return None


class Process(Station):
    def work(self, part):
        # lock_working keeps new parts out while the part is clamped; once it
        # is clamped the station may take the next one into its list.
        kvo_fa.Worker.work(self, part)
        if part == "cracked":
            raise kvo_fa.FAException(f"part {part} is cracked")
        return super().work(part)


def revive_dead(group, names):
    for name in names:
        if group.get(name).dead:
            print(f"operator: station {name} is dead, resetting it")
            group.reset(name, False)  # keep the parts still queued there
            group.start(name)


def main():
    # A station thread that ends by an exception reports it in one line.
    threading.excepthook = lambda args: print(f"station thread ended: {args.exc_value!r}")

    group = kvo_fa.WorkerGroup()
    names = ["load", "process", "unload"]
    group.add(Station(group, "load", "process"))
    group.add(Process(group, "process", "unload", lock_working=True, max_job_count=2))
    group.add(Station(group, "unload", max_job_count=2))
    group.start_all()
    try:
        for part in PARTS:
            while True:
                try:
                    group.put_task("load", part)
                    break
                except kvo_fa.DeadWorkerException as fault:
                    print(f"operator: {fault}")
                    revive_dead(group, names)
            revive_dead(group, names)

        # Done when every station idles with an empty list on two checks in a
        # row (a part being handed over is between stations only briefly).
        deadline = time.monotonic() + 10
        idle_checks = 0
        while idle_checks < 2 and time.monotonic() < deadline:
            revive_dead(group, names)
            idle = all(group.get(name).free for name in names)
            idle_checks = idle_checks + 1 if idle else 0
            time.sleep(0.05)
    finally:
        group.stop_all()  # last registered first

    print("unloaded:", group.get("unload").finished)


if __name__ == "__main__":
    main()
