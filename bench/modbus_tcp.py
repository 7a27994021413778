"""Modbus TCP link benchmark on loopback, one connection, 16 holding
registers a transaction, request after request.

Against libmodbus's own server (tests/modbus_c_server.c): our
`get_multi_uint16` over tcp://, libmodbus's C client (bench/modbus_c_client.c)
and pymodbus's synchronous client, with the client's CPU time per transaction
(its software cost; the round trip is mostly waiting). Then an FPMachine
refresh cycle over tcp:// beside the same over sim://, and the served
simulated PLC answering pymodbus's client beside pymodbus's own server (each
server in a child process). Each round measures every case once; ratios are
taken within a round and the medians of the rounds are printed. Plain timed
loops, not pyperf: the C client is another process and the ratios must come
from the same moment on a shared machine.

    PYTHONPATH=build/dev python3 bench/modbus_tcp.py [--seconds 1] [--rounds 3] [--json FILE]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")
sys.path.insert(0, TESTS)
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_c_peer import CLIENT_SOURCE, CServer, build, missing  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

PYMODBUS_SERVER = """
import asyncio, sys
sys.path.insert(0, %r)
from modbus_peer import device, free_tcp_port
from pymodbus.server import ModbusTcpServer
async def main():
    server = ModbusTcpServer([device(1)], address=("127.0.0.1", free_tcp_port()))
    await server.listen()
    print(server.comm_params.source_address[1], flush=True)
    await server.serving
asyncio.run(main())
""" % TESTS
SERVED_SIMULATOR = """
import sys, kvo_mew
plc = kvo_mew.simulator("bench")
print(plc.serve("tcp://127.0.0.1:0").rsplit(":", 1)[1], flush=True)
sys.stdin.read()
"""


class ChildServer:
    """A server in a child process that prints its port once it listens."""

    def __init__(self, code):
        self.process = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        self.port = int(self.process.stdout.readline())

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdin.close()
        self.process.stdout.close()


def measure(call, seconds):
    """(calls per second, CPU µs of this process per call)."""
    call()  # connect, warm up
    done, cpu, started = 0, time.process_time(), time.perf_counter()
    while time.perf_counter() - started < seconds:
        call()
        done += 1
    elapsed = time.perf_counter() - started
    return done / elapsed, 1e6 * (time.process_time() - cpu) / done


def c_client(program, port, seconds):
    out = subprocess.run([str(program), str(port), str(seconds)], check=True, capture_output=True, text=True)
    _, per_second, cpu_us = out.stdout.split()
    return float(per_second), float(cpu_us)


def pymodbus_reader(port):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=2)
    assert client.connect(), "pymodbus could not connect to port %d" % port
    return client, lambda: client.read_holding_registers(0, count=16, device_id=1).registers


def one_round(c_program, c_server, served, pymodbus_server, seconds):
    results = {}
    results["libmodbus C client"] = c_client(c_program, c_server.port, seconds)
    link = kvo_mew.VedUzavur(c_server.url, timeout=1.0)
    try:
        results["kvo_mew get_multi_uint16 over tcp://"] = measure(lambda: link.get_multi_uint16(1, "D0", 16), seconds)
    finally:
        link.close()
    client, read = pymodbus_reader(c_server.port)
    try:
        results["pymodbus 3.16 sync client"] = measure(read, seconds)
    finally:
        client.close()
    simulated = kvo_mew.simulator("bench-refresh")  # noqa: F841 (the sim:// machine's PLC, while it runs)
    for kind, port in (("tcp://", c_server.url), ("sim://", "sim://bench-refresh")):
        fp = kvo_fa.FPMachine(2, 1, 100, port, timeout=1.0)
        try:
            cycle = lambda: (fp.do_get_x_uint16(), fp.do_get_y_uint16())  # noqa: E731 (inputs, outputs read back)
            results["FPMachine(2, 1) refresh cycle over " + kind] = measure(cycle, seconds)
        finally:
            fp.close()
            fp.native_machine_handle.close()
    for name, server in (("served simulated PLC", served), ("pymodbus ModbusTcpServer", pymodbus_server)):
        client, read = pymodbus_reader(server.port)
        try:
            results[name + " <- pymodbus sync client"] = measure(read, seconds)
        finally:
            client.close()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time per measurement")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", default=os.path.join(HERE, "modbus_tcp.json"))
    args = parser.parse_args()
    if missing():
        sys.exit("bench/modbus_tcp.py " + missing())
    c_program = build(CLIENT_SOURCE)
    c_server = CServer().start()
    servers = []
    try:
        servers = [ChildServer(SERVED_SIMULATOR), ChildServer(PYMODBUS_SERVER)]
        rounds = [one_round(c_program, c_server, *servers, args.seconds) for _ in range(args.rounds)]
    finally:
        for server in servers:
            server.stop()
        c_server.stop()

    c_name = "libmodbus C client"
    table = []
    for name in rounds[0]:
        table.append({
            "case": name,
            "per_second": statistics.median(r[name][0] for r in rounds),
            "us_each": statistics.median(1e6 / r[name][0] for r in rounds),
            "cpu_us_each": statistics.median(r[name][1] for r in rounds),
            "to_c_client": statistics.median(r[name][0] / r[c_name][0] for r in rounds),
        })
    print("| case | transactions (or cycles) per second | µs each | client CPU µs each | × C client |")
    print("|---|---|---|---|---|")
    for row in table:
        print("| %s | %.0f | %.1f | %.1f | %.2f |" % (row["case"], row["per_second"], row["us_each"],
                                                    row["cpu_us_each"], row["to_c_client"]))
    ours, pymodbus = table[1]["to_c_client"], table[2]["to_c_client"]
    print("targets: ours >= 0.9 x C client: %s (%.2f); ahead of pymodbus sync: %s (%.2f vs %.2f)" % (
        "met" if ours >= 0.9 else "not met", ours, "met" if ours > pymodbus else "not met", ours, pymodbus))
    with open(args.json, "w") as out:
        json.dump({"seconds_per_case": args.seconds, "rounds": args.rounds, "results": table}, out, indent=2)
    print("written", args.json)


if __name__ == "__main__":
    main()
