"""Benchmarks of kvo_fa: per-call costs, refresh cycle rate, edge and wait
delays, job hops and the GIL cost of a running machine.

    PYTHONPATH=build/dev python3 bench/run.py [--repeats N] [--quick]

Prints a table of medians over N repeated runs and writes bench/results.json.
"""
import argparse
import json
import os
import platform
import statistics
import sys
import threading
import time
import timeit

import kvo_fa
import kvo_mew

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = "bench"
PORT = "sim://" + SIM


class MemoryMachine(kvo_fa.MachineBase):
    """A machine over in-memory words: the framework's own cost only."""

    def __init__(self, x_words=4, y_words=4):
        super().__init__(x_words, y_words)
        self.x_image = [0] * x_words
        self.y_image = [0] * y_words

    def do_get_x_uint16(self):
        return list(self.x_image)

    def do_get_y_uint16(self):
        return list(self.y_image)

    def do_set_y_uint16(self, values):
        self.y_image = list(values)


def median_of(repeats, measure):
    return statistics.median(measure() for _ in range(repeats))


def per_call(statement, number):
    """Seconds per call of `statement` (a callable)."""
    return timeit.timeit(statement, number=number) / number


def fp_machine(x_words=4, y_words=4):
    kvo_mew.reset_simulators()
    kvo_mew.simulator(SIM).map_io(x_words=x_words, y_words=y_words, y_shift=100)
    return kvo_fa.FPMachine(x_words, y_words, 100, PORT)


# --- per-call costs --------------------------------------------------------------------------------


def bench_calls(results, repeats, number):
    machine = MemoryMachine(4, 4)
    fp = fp_machine()
    cases = {
        "MachineBase.x(17)": lambda: machine.x(17),
        "MachineBase.x('17')": lambda: machine.x("17"),
        "FPMachine.x('X1F')": lambda: fp.x("X1F"),
        "MachineBase.y(3)": lambda: machine.y(3),
        "MachineBase.set_y(3, True)": lambda: machine.set_y(3, True),
        "FPMachine.set_y('Y3', True)": lambda: fp.set_y("Y3", True),
        "MachineBase.wx(1)": lambda: machine.wx(1),
        "MachineBase.rising(5)": lambda: machine.rising(5),
        "FPMachine.name_to_index('X1F')": lambda: fp.name_to_index("X1F"),
        "FPMachine.name_to_index('D100')": lambda: fp.name_to_index("D100"),
        "FPMachine.index_to_name('X', 31)": lambda: fp.index_to_name("X", 31),
    }
    for words in (1, 8, 64):
        manager = kvo_fa.XManager([0] * words, [0] * words)
        fresh = [[1] * words, [2] * words]
        flip = iter(range(1 << 62))
        cases["XManager.update (%d words)" % words] = (
            lambda m=manager, f=fresh, i=flip: m.update(f[next(i) & 1]))
        cases["XManager.copy (%d words)" % words] = lambda m=manager: m.copy()
    try:
        for label, call in cases.items():
            results[label] = {"value": median_of(repeats, lambda: per_call(call, number)) * 1e6, "unit": "µs/call"}
    finally:
        machine.close()
        fp.close()


# --- refresh cycles --------------------------------------------------------------------------------


def bench_refresh(results, repeats, seconds):
    original = kvo_fa._sleep
    kvo_fa._sleep = lambda s: time.sleep(0)  # cycles back to back; still lets other threads run
    try:
        for label, make, count in (
                ("refresh cycle, FPMachine over sim:// (4+4 words)", fp_machine, "sim"),
                ("refresh cycle, in-memory MachineBase (4+4 words)", MemoryMachine, "memory")):
            rates, cpu = [], []
            for _ in range(repeats):
                machine = make()
                calls = [0]
                if count == "memory":
                    read = machine.do_get_x_uint16

                    def counted():
                        calls[0] += 1
                        return read()
                    machine.do_get_x_uint16 = counted
                machine.start()
                try:
                    time.sleep(0.05)
                    plc = kvo_mew.simulator(SIM)
                    before = sum(plc.counts.values()) / 2 if count == "sim" else calls[0]
                    cpu0, wall0 = time.process_time(), time.perf_counter()
                    time.sleep(seconds)
                    after = sum(plc.counts.values()) / 2 if count == "sim" else calls[0]
                    cpu1, wall1 = time.process_time(), time.perf_counter()
                finally:
                    machine.close()
                cycles = max(1.0, after - before)
                rates.append(cycles / (wall1 - wall0))
                cpu.append((cpu1 - cpu0) / cycles * 1e6)
            results[label + ": cycles per second"] = {"value": statistics.median(rates), "unit": "cycles/s"}
            results[label + ": CPU per cycle"] = {"value": statistics.median(cpu), "unit": "µs CPU/cycle"}
    finally:
        kvo_fa._sleep = original


# --- delays ----------------------------------------------------------------------------------------


def bench_edge_delays(results, repeats):
    machine = fp_machine()
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
        for _ in range(max(repeats, 10)):
            plc.set("X1", False)
            machine.wait_for_signal("X1", False, 2, 0.01)
            time.sleep(0.02)
            seen.clear()
            began = time.perf_counter()
            plc.set("X1", True)
            seen.wait(2)
            handler_delays.append(stamp[0] - began)
        for _ in range(max(repeats, 10)):
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
        machine.close()
    results["input change -> direct edge handler"] = {"value": statistics.median(handler_delays) * 1e3, "unit": "ms"}
    results["input change -> wait_for_signal returns (check_interval 0.01)"] = {
        "value": statistics.median(wait_delays) * 1e3, "unit": "ms"}


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


def bench_job_hops(results, repeats, hops=4):
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
            for _ in range(max(3, repeats)):
                count = len(arrived)
                began = time.perf_counter()
                group.put_task(names[0], "part")
                deadline = time.monotonic() + 5
                while len(arrived) == count and time.monotonic() < deadline:
                    time.sleep(0.001)
                delays.append((arrived[-1] - began) / hops)
        finally:
            group.stop_all()
        results["job hop between workers (loop_interval %g)" % interval] = {
            "value": statistics.median(delays) * 1e3, "unit": "ms/hop"}


# --- GIL cost --------------------------------------------------------------------------------------


def spin(seconds):
    """Iterations of a CPU-bound Python loop in `seconds` of wall time."""
    end = time.perf_counter() + seconds
    count = 0
    while time.perf_counter() < end:
        for _ in range(1000):
            count += 1
    return count


def bench_gil(results, repeats, seconds):
    def alone():
        return spin(seconds)

    def beside_machine():
        machine = fp_machine()
        group = kvo_fa.WorkerGroup()
        for i in range(8):
            group.add(kvo_fa.Worker(group, "idle%d" % i))
        machine.start()
        group.start_all()
        try:
            time.sleep(0.1)
            return spin(seconds)
        finally:
            group.stop_all()
            machine.close()

    base = median_of(repeats, alone)
    loaded = median_of(repeats, beside_machine)
    results["CPU-bound thread beside a started machine + 8 idle workers: slowdown"] = {
        "value": (1 - loaded / base) * 100, "unit": "%"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer calls and shorter runs")
    options = parser.parse_args()
    number = 2000 if options.quick else 20000
    seconds = 0.3 if options.quick else 1.0
    results = {}
    began = time.time()
    bench_calls(results, options.repeats, number)
    bench_refresh(results, options.repeats, seconds)
    bench_edge_delays(results, options.repeats)
    bench_job_hops(results, options.repeats)
    bench_gil(results, options.repeats, seconds)
    width = max(len(k) for k in results)
    print("%-*s  %12s  %s" % (width, "benchmark (median of %d runs)" % options.repeats, "value", "unit"))
    print("-" * (width + 30))
    for label, entry in results.items():
        print("%-*s  %12.3f  %s" % (width, label, entry["value"], entry["unit"]))
    report = {"python": sys.version.split()[0], "machine": platform.platform(), "cpus": os.cpu_count(),
              "repeats": options.repeats, "date": time.strftime("%Y-%m-%d %H:%M:%S"),
              "duration_s": round(time.time() - began, 1), "results": results}
    with open(os.path.join(HERE, "results.json"), "w") as out:
        json.dump(report, out, indent=1, ensure_ascii=False)
        out.write("\n")


if __name__ == "__main__":
    main()
