"""Chaos soak of the link: an FPMachine and an FEFMachine refresh
through fault-injecting Modbus RTU slaves (tests/rtu_fault_slave.py, each on
a socat pseudo-terminal pair) or, with `--transport tcp`, fault-injecting
Modbus TCP servers (tests/tcp_fault_server.py; the FEFMachine's units 1-3
over one connection) while station threads set and check outputs and
read words directly. Faults are drawn at random among those a master can tell
apart: late answers come at most the time-out plus half the drain period
late. The slaves' inputs change all the time, each value tagged so that a
word can never be taken for another.

At the end the slaves' outputs must equal what the program last set, every
value the program read must be one the slave held, and no output word may
ever have been written with bits the program does not use. The counts of
each fault injected and each error seen are printed.

Over TCP a value read counts as held if the server held it within the last
10 seconds (bench/soak_tcp_peer.py).

    PYTHONPATH=build/dev python3 bench/chaos_soak.py [--seconds 600] [--fault-rate 0.15] [--seed N]
        [--transport serial|tcp]
"""
import argparse
import collections
import contextlib
import io
import json
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import PtyPair  # noqa: E402
from rtu_fault_slave import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, FaultSlave  # noqa: E402
from soak_tcp_peer import TcpFaultPeer  # noqa: E402

FP_SETTINGS = dict(timeout=0.2, retries=1, drain=0.4)
FP_TCP_SETTINGS = dict(timeout=0.2, retries=1)
FEF_TIMEOUT = FEF_DRAIN = 0.5          # the link's defaults: FEFMachine takes no keywords
FP_OUTPUT_BITS = 8                     # D100 bits 0..7, two per FP station thread
FEF_OUTPUT_BITS = 4                    # WY0 bits 0..3 of each module, one module per FEF station thread
INPUT_TAG = 0x8000                     # every input word has it; no output word ever does
DIRECT_WORDS = 4                       # D200..D203, read by the FP stations straight through the link

ERROR_KINDS = [("no answer within", "time-out"), ("damaged answer", "damaged"), ("stray frame", "stray"),
               ("exception response", "exception"), ("link closed", "closed"),
               ("transaction interrupted", "interrupted"), ("serial port", "port"),
               ("connection", "connection"), ("connect", "connect")]


def error_kind(text):
    for marker, kind in ERROR_KINDS:
        if marker in text:
            return kind
    return "other"


def fault_chooser(rate, timeout, drain, rng, lock):
    """A FaultSlave chooser: a fault for `rate` of the requests."""
    kinds = ["silent", "late", "twice", "truncated", "bad_crc", "foreign", "noise", "stray", "exception"]

    def choose(request):
        with lock:
            if rng.random() >= rate:
                return None
            kind = rng.choice(kinds)
            if kind == "late":
                return kind, rng.uniform(timeout / 2, timeout + drain / 2)
            if kind == "exception":
                return kind, rng.choice([4, 6])
            return kind, None
    return choose


def tcp_fault_chooser(rate, rng, lock):
    """A FaultServer chooser: a fault for `rate` of the requests."""
    kinds = ["stale", "duplicate", "split", "late", "reset", "silent", "close", "garbage", "long", "protocol",
             "unit", "function", "count", "exception"]

    def choose():
        with lock:
            return rng.choice(kinds) if rng.random() < rate else None
    return choose


class PrintedErrors(io.TextIOBase):
    """Stands in for sys.stdout: counts the refresh loops' error lines by kind."""

    def __init__(self, counts, lock):
        self.counts, self.lock = counts, lock

    def write(self, text):
        with self.lock:
            for line in text.splitlines():
                if line.strip():
                    self.counts["refresh: " + error_kind(line)] += 1
        return len(text)


class Soak:
    def __init__(self, directory, fault_rate, seed, transport="serial"):
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.errors = collections.Counter()
        self.reads = collections.Counter()
        self.wrong = []                  # (what, value) read that the slave never held
        self.stop = threading.Event()
        self.pairs = []
        if transport == "tcp":
            self.fp_slave, self.fef_slave = TcpFaultPeer(), TcpFaultPeer()
            self.fp_chooser = tcp_fault_chooser(fault_rate, self.rng, self.lock)
            self.fef_chooser = tcp_fault_chooser(fault_rate, self.rng, self.lock)
            self.change_inputs()
            self.fp = kvo_fa.FPMachine(2, 1, 100, self.fp_slave.url, **FP_TCP_SETTINGS)
            self.fef = kvo_fa.FEFMachine(self.fef_slave.url, 3)
        else:
            self.open_serial(directory, fault_rate)
        self.fp_expected = [False] * FP_OUTPUT_BITS
        self.fef_expected = [[False] * FEF_OUTPUT_BITS for _ in range(3)]

    def open_serial(self, directory, fault_rate):
        os.makedirs(os.path.join(directory, "fp"))
        os.makedirs(os.path.join(directory, "fef"))
        self.fp_pair = PtyPair(os.path.join(directory, "fp"))
        self.fef_pair = PtyPair(os.path.join(directory, "fef"))
        self.pairs = [self.fp_pair, self.fef_pair]
        self.fp_pair.start()
        self.fef_pair.start()
        self.fp_slave = FaultSlave(self.fp_pair.slave_path, addresses=(1,))
        self.fef_slave = FaultSlave(self.fef_pair.slave_path, addresses=(1, 2, 3))
        self.fp_slave.start()
        self.fef_slave.start()
        self.fp_chooser = fault_chooser(fault_rate, FP_SETTINGS["timeout"], FP_SETTINGS["drain"], self.rng, self.lock)
        self.fef_chooser = fault_chooser(fault_rate, FEF_TIMEOUT, FEF_DRAIN, self.rng, self.lock)
        self.change_inputs()
        self.fp = kvo_fa.FPMachine(2, 1, 100, self.fp_pair.master_path, 115200, **FP_SETTINGS)
        self.fef = kvo_fa.FEFMachine(self.fef_pair.master_path, 3)

    # --- the slaves' side --------------------------------------------------------

    def change_inputs(self):
        with self.lock:
            fp_words = [INPUT_TAG | self.rng.getrandbits(15) for _ in range(2 + DIRECT_WORDS)]
            fef_words = [INPUT_TAG | self.rng.getrandbits(15) for _ in range(3)]
        self.fp_slave.set(1, HOLDING_REGISTERS, 0, fp_words[:2])
        self.fp_slave.set(1, HOLDING_REGISTERS, 200, fp_words[2:])
        for station, word in zip((1, 2, 3), fef_words):
            self.fef_slave.set_bits_word(station, DISCRETE_INPUTS, 0, word)

    def input_driver(self):
        while not self.stop.wait(0.02):
            self.change_inputs()

    # --- the program's side -----------------------------------------------------------

    def check(self, what, held, value):
        right = held(value)  # outside our lock: the chooser takes it under the slave's
        with self.lock:
            self.reads[what] += 1
            if not right:
                self.wrong.append((what, value))

    def failed(self, error):
        with self.lock:
            self.errors["direct read: " + error_kind(str(error))] += 1

    def fp_station(self, index, rng):
        bits = (2 * index, 2 * index + 1)
        m, slave = self.fp, self.fp_slave
        while not self.stop.is_set():
            bit = rng.choice(bits)
            value = rng.random() < 0.5
            m.set_y("Y%X" % bit, value)
            self.fp_expected[bit] = value
            for own in bits:
                self.check("FP own output", lambda v, own=own: v == self.fp_expected[own], m.y("Y%X" % own))
            for word in (0, 1):
                self.check("FP input image", lambda v, w=word: slave.held(1, HOLDING_REGISTERS, w, v), m.wx(word))
            if rng.random() < 0.3:
                try:
                    values = m.get_multi_uint16("D200", DIRECT_WORDS)
                    for i, v in enumerate(values):
                        self.check("FP direct read", lambda v, i=i: slave.held(1, HOLDING_REGISTERS, 200 + i, v), v)
                except kvo_mew.LinkError as error:
                    self.failed(error)
            time.sleep(rng.uniform(0.005, 0.05))

    def fef_station(self, module, rng):
        m, slave = self.fef, self.fef_slave
        while not self.stop.is_set():
            bit = rng.randrange(FEF_OUTPUT_BITS)
            value = rng.random() < 0.5
            m.set_y(16 * module + bit, value)
            self.fef_expected[module][bit] = value
            for own in range(FEF_OUTPUT_BITS):
                self.check("FEF own output", lambda v, own=own: v == self.fef_expected[module][own],
                           m.y(16 * module + own))
            for k in range(3):
                self.check("FEF input image", lambda v, k=k: slave.held(k + 1, DISCRETE_INPUTS, 0, v), m.wx(k))
            time.sleep(rng.uniform(0.005, 0.05))

    # --- the run ----------------------------------------------------------------------

    def run(self, seconds):
        printed = PrintedErrors(self.errors, self.lock)
        threads = [threading.Thread(target=self.input_driver)]
        threads += [threading.Thread(target=self.fp_station, args=(i, random.Random(self.rng.random())))
                    for i in range(FP_OUTPUT_BITS // 2)]
        threads += [threading.Thread(target=self.fef_station, args=(k, random.Random(self.rng.random())))
                    for k in range(3)]
        with contextlib.redirect_stdout(printed):
            self.fp.start()
            self.fef.start()
            self.fp.sync_xy_refresher()
            self.fef.sync_xy_refresher()
            self.fp_slave.chooser, self.fef_slave.chooser = self.fp_chooser, self.fef_chooser
            for thread in threads:
                thread.start()
            try:
                self.stop.wait(seconds)
            finally:
                self.stop.set()
                for thread in threads:
                    thread.join()
                self.fp_slave.chooser = self.fef_slave.chooser = None
                for machine in (self.fp, self.fef):
                    for _ in range(3):
                        machine.sync_xy_refresher()
        return self.report(seconds)

    def report(self, seconds):
        fp_word = sum(1 << b for b, on in enumerate(self.fp_expected) if on)
        fef_words = [sum(1 << b for b, on in enumerate(bits) if on) for bits in self.fef_expected]
        lost = []
        if self.fp_slave.get(1, HOLDING_REGISTERS, 100) != [fp_word] or self.fp.wy(0) != fp_word:
            lost.append(("FP D100", self.fp_slave.get(1, HOLDING_REGISTERS, 100), fp_word))
        for station, word in zip((1, 2, 3), fef_words):
            if self.fef_slave.get_bits_word(station, COILS, 0) != word or self.fef.wy(station - 1) != word:
                lost.append(("FEF module %d" % station, self.fef_slave.get_bits_word(station, COILS, 0), word))
        foreign_bits = sorted(v for v in self.fp_slave.history[1, HOLDING_REGISTERS, 100] if v >> FP_OUTPUT_BITS)
        for station in (1, 2, 3):
            foreign_bits += sorted(v for v in self.fef_slave.history[station, COILS, 0] if v >> FEF_OUTPUT_BITS)
        injected = self.fp_slave.injected + self.fef_slave.injected
        return {
            "seconds": seconds,
            "refresh cycles": {"FPMachine": self.fp._MachineBase__xy_refresh_counter,
                               "FEFMachine": self.fef._MachineBase__xy_refresh_counter},
            "requests served": len(self.fp_slave.requests) + len(self.fef_slave.requests),
            "transactions": {"FPMachine": self.fp.native_machine_handle.health.transactions,
                             "FEFMachine": self.fef.plc.health.transactions},
            "reopens": {"FPMachine": self.fp.native_machine_handle.health.reopens, "FEFMachine": self.fef.plc.health.reopens},
            "faults injected": dict(sorted(injected.items())),
            "errors seen": dict(sorted(self.errors.items())),
            "values checked": dict(sorted(self.reads.items())),
            "wrong values": len(self.wrong),
            "wrong value samples": self.wrong[:10],
            "lost outputs": lost,
            "outputs written with foreign bits": foreign_bits[:10],
        }

    def close(self):
        for machine in (self.fp, self.fef):
            machine.close()
        self.fp.native_machine_handle.close()
        for slave in (self.fp_slave, self.fef_slave):
            slave.stop()
        for pair in self.pairs:
            pair.stop()


def soak(seconds, fault_rate=0.15, seed=None, directory=None, transport="serial"):
    """Runs the soak for `seconds`: its report (a dict)."""
    with tempfile.TemporaryDirectory(dir=directory) as where:
        run = Soak(where, fault_rate, seed, transport)
        try:
            return run.run(seconds)
        finally:
            run.close()


def passed(report):
    return (report["wrong values"] == 0 and not report["lost outputs"]
            and not report["outputs written with foreign bits"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--fault-rate", type=float, default=0.15)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--transport", choices=("serial", "tcp"), default="serial")
    args = parser.parse_args()
    report = soak(args.seconds, args.fault_rate, args.seed, transport=args.transport)
    report["transport"] = args.transport
    print(json.dumps(report, indent=2))
    sys.exit(0 if passed(report) else 1)


if __name__ == "__main__":
    main()
