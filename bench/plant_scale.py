"""Scale check of the plant reporter: N cells report to one local Mosquitto.

Each cell is a real FPMachine on its own simulated PLC with a PlantReporter
at its default rates (state and stations polled every 0.1 s, I/O at most
every 0.1 s, counters every second, a heartbeat every 5 s), speaking
Sparkplug B (--dialect sparkplug, the default: each worker process is one
edge node, its cells its devices) or the JSON dialect. The cells run in
worker processes of at most 50 cells each; the main process runs the broker
and one subscriber (to spBv1.0/# or kvo/#), a host decoder.

A process of its own runs the page server's PlantView with the plant history
on (--history: a SQLite file in the run's folder by default, or a
postgresql:// URL), as `python3 -m kvo_kit plant --history` would.

For each N it measures, in two phases of --seconds each:
- idle: the reporters' CPU (the threads that start with them, their own and
  paho's, from the threads' CPU clocks) while the machines run and nothing changes, per machine in % of
  one core;
- busy: every cell switches an input every 0.2 s; the publish rate the broker
  delivers to the subscriber against what the reporters published, and the
  latency from plc.set of the input to the subscriber's receipt of the io
  report that shows it (p50, p99): with Sparkplug, of the DDATA whose IO/X/0
  metric shows it, as a host decoder reads it (the payload decoded, the alias
  of the device's birth);
- the history: reports noted and rows written per second over both phases, reports dropped,
  and how long the writer took to catch up after the busy phase.

Then a whole shift (--shift-hours, 8 by default) of --shift-cells cells on a
compressed clock goes into a history of its own (plant_history_load.py):
reports and rows per second, and the database's size at the end.

    PYTHONPATH=build/dev:kit python3 bench/plant_scale.py [--cells 1 10 50 200] [--seconds 10]
        [--history FILE|URL] [--shift-cells 200] [--shift-hours 8]

It prints a Markdown table (the one in docs/plant.md).
"""
import argparse
import json
import math
import multiprocessing as mp
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Optional

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

CELLS_PER_PROCESS = 50
TOGGLE = 0.2  # seconds between two input changes of a busy cell


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def start_broker(folder: str) -> tuple[subprocess.Popen[bytes], int]:
    port = free_port()
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\nmax_connections -1\n")
    broker = subprocess.Popen(["mosquitto", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return broker, port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("mosquitto did not start")


def thread_cpu(threads: list[threading.Thread]) -> float:
    total = 0.0
    for thread in threads:
        if thread.ident is not None and thread.is_alive():
            total += time.clock_gettime(time.pthread_getcpuclockid(thread.ident))
    return total


def run_cells(first: int, count: int, port: int, seconds: float, commands: Any, results: Any,
              dialect: str = "json", folder: str = ".") -> None:
    """A worker process: `count` cells, then the idle and the busy phase on the main process's word."""
    import kvo_fa
    import kvo_mew

    from kvo_kit.plant import PlantReporter

    machines = []
    for i in range(first, first + count):
        plc = kvo_mew.simulator(f"cell{i}")
        plc.map_io(1, 1, 100)
        machine = kvo_fa.FPMachine(1, 1, 100, f"sim://cell{i}")
        machine.start()
        machines.append((plc, machine))
    # The reporters' cost is that of the threads that start with them (their
    # own and paho's network loop), told apart from the machines' by when they began.
    before = set(threading.enumerate())
    cells = []
    for i, (plc, machine) in enumerate(machines, first):
        sparkplug = (dict(dialect="sparkplug", sparkplug_group="bench", edge_node=f"edge{first}",
                          sparkplug_state=os.path.join(folder, f"edge{first}.json")) if dialect == "sparkplug" else {})
        reporter = PlantReporter(machine, None, f"mqtt://127.0.0.1:{port}", line="bench", name=f"cell{i}",
                                 **sparkplug)
        reporter.start()
        cells.append((plc, machine, reporter))
    while not all(r.connected for _, _, r in cells):
        time.sleep(0.05)
    threads = [t for t in threading.enumerate() if t not in before]
    results.put(("ready", first))

    assert commands.get() == "idle"
    cpu0, wall0 = thread_cpu(threads), time.monotonic()
    time.sleep(seconds)
    idle_cpu = (thread_cpu(threads) - cpu0) / (time.monotonic() - wall0)

    assert commands.get() == "busy"
    published0 = sum(r.published for _, _, r in cells)
    cpu0, wall0 = thread_cpu(threads), time.monotonic()
    sets: list[tuple[int, int, float]] = []
    end = wall0 + seconds
    step = 0
    while time.monotonic() < end:
        step += 1
        for k, (plc, _, _) in enumerate(cells):
            value = 1 + step % 2  # X0 then X1: the input word alternates between 1 and 2
            plc.set("X0", value == 1)
            plc.set("X1", value == 2)
            sets.append((first + k, value, time.time()))
            time.sleep(TOGGLE / len(cells))
    busy_cpu = (thread_cpu(threads) - cpu0) / (time.monotonic() - wall0)
    published = sum(r.published for _, _, r in cells) - published0
    time.sleep(1.0)  # the last reports arrive
    results.put(("done", {"idle_cpu": idle_cpu, "busy_cpu": busy_cpu, "published": published, "sets": sets,
                          "dropped": sum(r.dropped for _, _, r in cells)}))
    for _, machine, reporter in cells:
        reporter.close()
        machine.close()
        machine.native_machine_handle.close()


def run_page(port: int, where: str, commands: Any, results: Any) -> None:
    """A process of its own, as the page server is: the PlantView and its history; counts on the main's word."""
    from kvo_kit.plant.history import History
    from kvo_kit.plant.plant_view import PlantView

    history = History(where)
    history.start()
    view = PlantView(f"mqtt://127.0.0.1:{port}", history=history)
    view.start()
    try:
        results.put(("ready", None))
        assert commands.get() == "begin"
        written0, noted0, began = history.written, history.noted, time.monotonic()
        assert commands.get() == "end"
        took = time.monotonic() - began
        noted, written = history.noted - noted0, history.written - written0
        ended = time.monotonic()
        flushed = history.flush(120)
        catch_up = time.monotonic() - ended if flushed else math.inf
        results.put(("page", {"history_reports_per_s": noted / took, "history_rows_per_s": written / took,
                              "history_dropped": history.dropped, "history_catch_up_s": catch_up}))
    finally:
        view.close()
        history.close()


def measure(n: int, seconds: float, history_at: Optional[str] = None, dialect: str = "json") -> dict[str, Any]:
    from kvo_kit.plant.sparkplug_payload import decode

    io_alias: dict[str, int] = {}  # device -> the alias of its IO/X/0 metric, from its DBIRTH

    folder = tempfile.mkdtemp(prefix="plant-scale-")
    broker, port = start_broker(folder)
    ctx = mp.get_context("spawn")
    page_commands, page_results = ctx.Queue(), ctx.Queue()
    page = ctx.Process(target=run_page, args=(port, history_at or os.path.join(folder, "plant.db"),
                                              page_commands, page_results))
    page.start()
    assert page_results.get(timeout=120)[0] == "ready"
    received: list[tuple[int, int, float]] = []
    arrivals: list[float] = []  # every message's receipt time

    def on_message(client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        now = time.time()
        arrivals.append(now)
        if message.topic.startswith("spBv1.0/"):  # the host decoder: each payload decoded, its input word found
            levels = message.topic.split("/")
            if len(levels) != 5 or levels[2] not in ("DBIRTH", "DDATA"):
                return
            payload = decode(message.payload)
            if levels[2] == "DBIRTH":
                io_alias[levels[4]] = next(m.alias for m in payload.metrics if m.name == "IO/X/0")
            for metric in payload.metrics:
                if metric.name == "IO/X/0" or metric.alias == io_alias.get(levels[4]):
                    received.append((int(levels[4][4:]), metric.value, now))
        elif message.topic.endswith("/io"):
            cell = int(message.topic.split("/")[2][4:])
            received.append((cell, json.loads(message.payload)["x"][0], now))

    sub = mqtt.Client(CallbackAPIVersion.VERSION2, client_id="bench-subscriber")
    sub.on_connect = lambda c, u, f, rc, p: c.subscribe("spBv1.0/#" if dialect == "sparkplug" else "kvo/#", qos=1)
    sub.on_message = on_message
    sub.connect("127.0.0.1", port)
    sub.loop_start()
    results: Any = ctx.Queue()
    workers = []
    for first in range(0, n, CELLS_PER_PROCESS):
        commands: Any = ctx.Queue()
        process = ctx.Process(target=run_cells, args=(first, min(CELLS_PER_PROCESS, n - first), port, seconds,
                                                      commands, results, dialect, folder))
        process.start()
        workers.append((process, commands))
    try:
        for _ in workers:
            assert results.get(timeout=300)[0] == "ready"
        time.sleep(2.0)  # the first retained reports settle
        page_commands.put("begin")
        for _, commands in workers:
            commands.put("idle")
        time.sleep(seconds)
        for _, commands in workers:
            commands.put("busy")
        begin = time.time()
        done = [results.get(timeout=seconds + 300)[1] for _ in workers]
        delivered_rate = sum(1 for t in arrivals if begin + 0.5 <= t < begin + 0.5 + seconds) / seconds
        page_commands.put("end")
        page_figures = page_results.get(timeout=300)[1]
    finally:
        page_commands.put("end")
        page.join(60)
        for process, _ in workers:
            process.join(60)
        sub.disconnect()
        sub.loop_stop()
        broker.kill()
        broker.wait()

    # The first report showing each set value after the set.
    latencies = []
    by_cell: dict[int, list[tuple[int, float]]] = {}
    for cell, value, at in received:
        by_cell.setdefault(cell, []).append((value, at))
    for result in done:
        for cell, value, at in result["sets"]:
            arrivals = [t for v, t in by_cell.get(cell, []) if v == value and t >= at]
            if arrivals and arrivals[0] - at < TOGGLE * 2:
                latencies.append(arrivals[0] - at)
    sets = sum(len(r["sets"]) for r in done)
    latencies.sort()
    return {
        "cells": n,
        "dialect": dialect,
        "idle_cpu_per_cell": 100 * sum(r["idle_cpu"] for r in done) / n,
        "busy_cpu_per_cell": 100 * sum(r["busy_cpu"] for r in done) / n,
        "published_rate": sum(r["published"] for r in done) / seconds,
        "delivered_rate": delivered_rate,
        "dropped": sum(r["dropped"] for r in done),
        "matched": len(latencies) / sets if sets else math.nan,
        "p50_ms": 1000 * statistics.median(latencies) if latencies else math.nan,
        "p99_ms": 1000 * latencies[int(0.99 * (len(latencies) - 1))] if latencies else math.nan,
        **page_figures,
    }


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cells", type=int, nargs="+", default=[1, 10, 50, 200])
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--dialect", choices=("json", "sparkplug"), default="sparkplug",
                   help="how the reporters speak (default sparkplug: one edge node per worker process)")
    p.add_argument("--history", help="the page's history: a SQLite file or postgresql:// URL "
                                      "(default: a file in the run's folder)")
    p.add_argument("--shift-cells", type=int, default=200, help="cells of the compressed shift (0: none)")
    p.add_argument("--shift-hours", type=float, default=8.0, help="hours of the compressed shift")
    args = p.parse_args()
    rows = []
    for n in args.cells:
        row = measure(n, args.seconds, args.history, args.dialect)
        rows.append(row)
        print(json.dumps(row), file=sys.stderr, flush=True)
    print("| cells | reporter CPU per cell, idle | busy | published msg/s | delivered to one subscriber msg/s "
          "| dropped | input change → subscriber p50 | p99 | changes seen | history reports/s | rows/s "
          "| history dropped | history caught up after |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['cells']} | {r['idle_cpu_per_cell']:.2f} % | {r['busy_cpu_per_cell']:.2f} % "
              f"| {r['published_rate']:.0f} | {r['delivered_rate']:.0f} | {r['dropped']} | {r['p50_ms']:.0f} ms "
              f"| {r['p99_ms']:.0f} ms | {100 * r['matched']:.0f} % | {r['history_reports_per_s']:.0f} "
              f"| {r['history_rows_per_s']:.0f} "
              f"| {r['history_dropped']} | {r['history_catch_up_s']:.2f} s |")
    if args.shift_cells > 0:
        from plant_history_load import run as shift_load

        shift = shift_load(args.shift_cells, args.shift_hours, args.history)
        print(json.dumps(shift), file=sys.stderr, flush=True)
        rows_total = sum(shift["rows"].values())
        print()
        print("| shift | reports | written in | reports/s | rows | rows/s | dropped | database size |")
        print("|---|---|---|---|---|---|---|---|")
        print(f"| {shift['cells']} cells × {shift['hours']:g} h ({shift['where']}) | {shift['reports']} "
              f"| {shift['took_s']} s | {shift['reports_per_s']} | {rows_total} | {shift['rows_per_s']} "
              f"| {shift['dropped']} | {shift['size_mb']} MB |")


if __name__ == "__main__":
    main()
