"""Figures of one machine's OPC UA server (docs/opcua.md): nodes served, reads per second from one
client, data-change latency of an input, and the server's CPU at idle and under a 10 Hz
subscription to every input. A python-opcua client in the same process; the CPU is the server
thread's own (from /proc), the machine's threads and the client's are not counted.

    PYTHONPATH=build/dev:kit python3 -m bench.opcua_server [--seconds 10] [--changes 200]
"""
import argparse
import os
import subprocess
import sys
import threading
import time
from typing import Any

import kvo_fa
import kvo_mew
from kvo_kit.iomap import IoMap
from kvo_kit.opcua import OpcUaServer

X_WORDS = Y_WORDS = 1
IO = IoMap({**{f"in{i}": (f"X{i:X}", "in") for i in range(16 * X_WORDS)},
            **{f"out{i}": (f"Y{i:X}", "out") for i in range(16 * Y_WORDS)}})


def thread_cpu(native_id: int) -> float:
    """CPU seconds a thread of this process has used."""
    with open(f"/proc/self/task/{native_id}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(native_id: int, seconds: float, during: Any = None) -> float:
    """The share of one core the thread takes over `seconds` while `during(stop)` runs."""
    stop = threading.Event()
    worker = threading.Thread(target=during, args=(stop,)) if during else None
    if worker:
        worker.start()
    try:
        cpu, wall = thread_cpu(native_id), time.monotonic()
        time.sleep(seconds)
        return (thread_cpu(native_id) - cpu) / (time.monotonic() - wall)
    finally:
        stop.set()
        if worker:
            worker.join()


SUBSCRIBER = """
import sys, time
from opcua import Client
endpoint, inputs, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
class Count:
    n = 0
    def datachange_notification(self, node, value, data):
        Count.n += 1
client = Client(endpoint)
client.connect()
ns = client.get_namespace_index("urn:kvo-fa:opcua")
subscription = client.create_subscription(100, Count())
subscription.subscribe_data_change([client.get_node(f"ns={ns};s=bench.IO.Inputs.in{i}") for i in range(inputs)])
time.sleep(seconds)
client.disconnect()
print(Count.n)
"""


class Notes:
    def __init__(self) -> None:
        self.arrived: list[tuple[float, Any]] = []

    def datachange_notification(self, node: Any, value: Any, data: Any) -> None:
        self.arrived.append((time.monotonic(), value))


def main(argv: Any = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=10.0, help="length of each CPU measurement")
    p.add_argument("--changes", type=int, default=200, help="input changes timed for the latency")
    p.add_argument("--toggled", type=int, default=16 * X_WORDS, choices=range(16 * X_WORDS + 1),
                   metavar=f"0..{16 * X_WORDS}", help="inputs changing ten times a second for the subscribed CPU")
    p.add_argument("--port", type=int, default=48484)
    args = p.parse_args(argv)
    from opcua import Client

    plc = kvo_mew.simulator("bench-opcua")
    plc.map_io(X_WORDS, Y_WORDS, 100)
    machine = kvo_fa.FPMachine(X_WORDS, Y_WORDS, 100, "sim://bench-opcua")
    machine.start()
    endpoint = f"opc.tcp://127.0.0.1:{args.port}"
    server = OpcUaServer(machine, None, endpoint, name="bench", iomap=IO)
    server.start()
    opc = Client(endpoint)
    try:
        assert server._thread is not None and server._thread.native_id is not None
        tid = server._thread.native_id
        time.sleep(1.0)
        idle = cpu_share(tid, args.seconds)
        opc.connect()
        ns = opc.get_namespace_index("urn:kvo-fa:opcua")
        inputs = [opc.get_node(f"ns={ns};s=bench.IO.Inputs.in{i}") for i in range(16 * X_WORDS)]
        connected_idle = cpu_share(tid, args.seconds)

        node, reads, begin = inputs[0], 0, time.monotonic()
        while time.monotonic() - begin < 3.0:
            node.get_value()
            reads += 1
        reads_per_s = reads / (time.monotonic() - begin)

        notes = Notes()
        subscription = opc.create_subscription(50, notes)
        subscription.subscribe_data_change(inputs[1])
        time.sleep(0.5)
        delays = []
        for i in range(args.changes):
            seen = len(notes.arrived)
            plc.set("X1", i % 2 == 0)
            changed = time.monotonic()
            while len(notes.arrived) == seen and time.monotonic() - changed < 2.0:
                time.sleep(0.0005)
            if len(notes.arrived) > seen:
                delays.append(notes.arrived[seen][0] - changed)
            time.sleep(0.05)
        subscription.delete()

        opc.disconnect()
        # The subscribed client in a process of its own, as a SCADA would be: only the server is in this one.
        child = subprocess.Popen([sys.executable, "-c", SUBSCRIBER, endpoint, str(16 * X_WORDS),
                                  str(args.seconds + 3)], stdout=subprocess.PIPE, text=True)
        time.sleep(2.0)  # connected and subscribed

        def toggle_every_input(stop: threading.Event) -> None:  # the inputs change ten times a second
            value = False
            while not stop.wait(0.1):
                value = not value
                for i in range(args.toggled):
                    plc.set(f"X{i:X}", value)
        subscribed = cpu_share(tid, args.seconds, toggle_every_input)
        notifications = int(child.communicate(timeout=60)[0].split()[-1])
    finally:
        server.close()
        machine.close()
        machine.native_machine_handle.close()

    delays.sort()
    print(f"nodes served                 {server.nodes} (16 inputs, 16 outputs)")
    print(f"reads per second             {reads_per_s:.0f} (one client, one node per request)")
    print(f"data-change latency          p50 {1000 * delays[len(delays) // 2]:.0f} ms, "
          f"p99 {1000 * delays[int(len(delays) * 0.99) - 1]:.0f} ms, max {1000 * delays[-1]:.0f} ms "
          f"({len(delays)} of {args.changes} changes, 50 ms publishing interval)")
    print(f"server CPU, idle             {100 * idle:.2f} % of a core (no client), "
          f"{100 * connected_idle:.2f} % (a client connected)")
    print(f"server CPU, 10 Hz, {16 * X_WORDS} inputs {100 * subscribed:.2f} % of a core "
          f"({notifications} notifications to a client in another process, {args.toggled} inputs changing)")


if __name__ == "__main__":
    main()
