"""The tcp:// transport (Modbus TCP): machines against pymodbus's Modbus TCP
server, the answer-matching rules and the reconnects against a
fault-injecting server of our own (tcp_fault_server.py), port grammar,
interruption of connects and waits."""
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, ModbusTcpSlave  # noqa: E402
from tcp_fault_server import FaultServer  # noqa: E402

FAST = dict(timeout=0.25, retries=1)


def eventually(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


@pytest.fixture(scope="module")
def pymodbus_server():
    peer = ModbusTcpSlave()
    peer.start()
    yield peer
    peer.stop()


@pytest.fixture
def peer(pymodbus_server):
    pymodbus_server.reset()
    yield pymodbus_server


@pytest.fixture
def server():
    made = FaultServer()
    yield made
    made.stop()


@pytest.fixture
def link(server):
    made = kvo_mew.VedUzavur(server.url, **FAST)
    yield made
    made.close()


# --- against pymodbus --------------------------------------------------------

def test_fp_machine_on_unit_7(peer, machines):
    m = kvo_fa.FPMachine(2, 1, 100, "tcp://127.0.0.1:%d" % peer.port, station=7, **FAST)
    machines.append(m)
    peer.set(7, HOLDING_REGISTERS, 1, [0x0004])
    m.start()
    m.sync_xy_refresher()
    assert m.x("X12") and m.wx(0) == 0
    m.set_y_sync("Y3", True)
    m.sync_xy_refresher()
    assert peer.get(7, HOLDING_REGISTERS, 100) == [0x0008]
    peer.set(7, HOLDING_REGISTERS, 0, [0x8000])
    m.wait_for_signal("XF", True, timeout=3)
    m.set_multi_int32("D10", [-5, 70000])
    assert peer.get(7, HOLDING_REGISTERS, 10, 4) == [0xFFFB, 0xFFFF, 70000 & 0xFFFF, 1]
    assert m.get_multi_int32("D10", 2) == [-5, 70000]
    assert {unit for unit, _ in peer.requests} == {7}


def test_fef_machine_units_1_to_3_share_one_connection(peer, machines):
    m = kvo_fa.FEFMachine("tcp://127.0.0.1:%d" % peer.port, 3)
    machines.append(m)
    m.start()
    peer.set_bits_word(2, DISCRETE_INPUTS, 0, 0b10)
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert m.x(17) and [m.wx(k) for k in range(3)] == [0, 2, 0]
    m.set_y(47, True)
    m.set_y(0, True)
    m.sync_xy_refresher()
    assert [peer.get_bits_word(s, COILS, 0) for s in (1, 2, 3)] == [1, 0, 0x8000]
    assert {unit for unit, _ in peer.requests} == {1, 2, 3}
    assert m.plc.health.reopens == 0 and m.plc.health.failed == 0


def test_every_operation_and_an_exception_response(peer):
    link = kvo_mew.VedUzavur("tcp://127.0.0.1:%d" % peer.port, **FAST)
    try:
        link.set_coil(1, "Y12", True)
        link.set_coil_uint16(1, "WR2", 0xA5C3)
        link.set_multi_uint16(1, "D20", [1, 2, 0xFFFF])
        link.set_uint32(1, "D30", 0x12345678)
        assert link.get_coil(1, "Y12") is True
        assert link.get_coil_uint16(1, "WR2") == 0xA5C3
        assert link.get_multi_uint16(1, "D20", 3) == [1, 2, 0xFFFF]
        assert link.get_uint32(1, "D30") == 0x12345678
        assert link.get_multi_uint16(1, "D0", 200)[:2] == [0, 0]  # two requests
        with pytest.raises(kvo_mew.SlaveError, match=r"station 1, D400 \(holding register 400\): exception response 2"):
            link.get_multi_uint16(1, "D400", 1)
        assert link.health.failures["exception"] == 1 and link.health.reopens == 0
        assert link.get_multi_uint16(1, "D20", 1) == [1]
    finally:
        link.close()


# --- the answer-matching rules -----------------------------------------------

def test_stale_duplicate_split_and_late_answers_give_the_right_values(server, link):
    server.slave.registers[1][0:4] = [11, 22, 33, 44]
    for fault in ("stale", "duplicate", "split", "duplicate", "stale"):
        server.faults.append(fault)
        assert link.get_multi_uint16(1, "D0", 4) == [11, 22, 33, 44], fault
    server.faults.append("late")
    assert link.get_multi_uint16(1, "D0", 4) == [11, 22, 33, 44]
    assert link.health.retries == 1 and link.health.failed == 0
    link.set_uint16(1, "D2", 99)  # the late answer of the first try is discarded
    assert link.get_multi_uint16(1, "D0", 4) == [11, 22, 99, 44]
    assert server.connections == 1


@pytest.mark.parametrize("fault, problem", [
    ("protocol", "protocol identifier 1 where 0 was asked"),
    ("unit", "an answer of unit 2 where unit 1 was asked"),
    ("function", "function 67 where 3 was asked"),
    ("count", "function 3 answer with 5 data bytes where 4 were asked"),
])
def test_a_mismatch_is_a_stray_frame_and_retried(server, link, fault, problem):
    server.slave.registers[1][0:2] = [5, 6]
    server.faults.append(fault)
    assert link.get_multi_uint16(1, "D0", 2) == [5, 6]
    assert link.health.retries == 1
    server.faults.extend([fault, fault])
    with pytest.raises(kvo_mew.LineError, match="stray frame: " + problem + r" \(2 tries\)"):
        link.get_multi_uint16(1, "D0", 2)
    assert link.health.failures["stray"] == 1 and link.health.reopens == 0
    assert link.get_multi_uint16(1, "D0", 2) == [5, 6] and server.connections == 1


def test_a_write_echo_mismatch_is_a_stray_frame(server, link):
    server.faults.extend(["unit", "unit"])
    with pytest.raises(kvo_mew.LineError, match="stray frame"):
        link.set_uint16(1, "D3", 7)


@pytest.mark.parametrize("fault, cause, text", [
    ("garbage", "crc", "damaged answer: an MBAP length field of 65535"),
    ("long", "crc", "damaged answer: an MBAP length field of 300"),
    ("reset", "port", "lost: "),
    ("close", "port", "lost: connection closed by the peer; it is reconnected on the next call"),
    ("silent", "timeout", "no answer within 0.25 s"),
])
def test_a_lost_or_broken_connection_is_reconnected(server, link, fault, cause, text, caplog):
    caplog.set_level(logging.INFO, logger="kvo_mew.link")
    server.slave.registers[3][7] = 77
    assert link.get_multi_uint16(3, "D7", 1) == [77]
    server.faults.extend([fault, fault])
    with pytest.raises(kvo_mew.LineError, match=text):
        link.get_multi_uint16(3, "D7", 1)
    server.faults.clear()  # a lost connection ends the transaction at its first try
    health = link.health
    assert health.failures[cause] == 1 and not health.up
    assert link.get_multi_uint16(3, "D7", 1) == [77]
    assert link.health.reopens == 1 and server.connections == 2
    assert "link reopened: " + server.url in [r.getMessage() for r in caplog.records]


def test_reconnects_back_off_until_a_good_transaction(server):
    link = kvo_mew.VedUzavur(server.url, timeout=0.2, retries=0)
    try:
        link.start()
        server.faults.extend(["close"] * 4)
        started = time.monotonic()
        for _ in range(4):  # connects after 0.1, 0.2, 0.4 s
            with pytest.raises(kvo_mew.LineError):
                link.get_multi_uint16(1, "D0", 1)
        assert time.monotonic() - started >= 0.6
        link.get_multi_uint16(1, "D0", 1)   # 0.8 s more, then good: back to 0.1 s
        server.faults.append("close")
        with pytest.raises(kvo_mew.LineError):
            link.get_multi_uint16(1, "D0", 1)
        started = time.monotonic()
        link.get_multi_uint16(1, "D0", 1)
        assert 0.08 <= time.monotonic() - started < 0.6
        assert link.health.reopens == 5
    finally:
        link.close()


def test_no_wrong_value_under_random_faults(server):
    import random
    chooser = random.Random(2026)
    faults = ["stale", "duplicate", "split", "late", "reset", "close", "garbage", "long", "protocol",
              "unit", "function", "count", "silent", None, None, None]
    server.late_delay = 0.3
    server.split_gap = 0.001
    link = kvo_mew.VedUzavur(server.url, timeout=0.2, retries=1)
    checked = 0
    try:
        for round in range(60):
            value = chooser.randrange(65536)
            server.slave.registers[2][5] = value
            server.faults.append(chooser.choice(faults))
            try:
                assert link.get_multi_uint16(2, "D5", 1) == [value]
                checked += 1
            except kvo_mew.LineError:
                pass
            server.faults.clear()
    finally:
        link.close()
    assert checked > 20


# --- the port and its keywords -----------------------------------------------

@pytest.mark.parametrize("port, why", [
    ("tcp://", "no host"),
    ("tcp://:502", "no host"),
    ("tcp://plc:", "no port number after ':'"),
    ("tcp://plc:http", "'http' is no port number"),
    ("tcp://plc:0", "port 0 is not 1..65535"),
    ("tcp://plc:65536", "port 65536 is not 1..65535"),
    ("tcp://::1", "an IPv6 address goes in brackets"),
    ("tcp://plc/path", "is no host name or address"),
    ("rtu+tcp://plc", "no port number"),
    ("mqtt://plc", None),
    ("tls+udp://plc:1", None),
])
def test_a_malformed_or_unknown_port_fails_at_once(port, why):
    with pytest.raises(kvo_mew.LinkError) as raised:
        kvo_mew.VedUzavur(port)
    message = str(raised.value)
    assert message.startswith("no transport for port %r" % port)
    assert why is None or why in message
    assert "tcp://HOST[:PORT], rtu+tcp://HOST:PORT" in message and "sim://NAME" in message


def test_tcp_keywords():
    kvo_mew.VedUzavur("tcp://[::1]", 115200, timeout=1, retries=3, connect_timeout=0.5).close()
    with pytest.raises(TypeError, match="'parity' \\(a tcp:// port has no serial line\\)"):
        kvo_mew.VedUzavur("tcp://127.0.0.1", parity="E")
    with pytest.raises(ValueError, match="connect_timeout"):
        kvo_mew.VedUzavur("tcp://127.0.0.1", connect_timeout=0)
    link = kvo_mew.VedUzavur("tcp://127.0.0.1:1")
    with pytest.raises(kvo_mew.LineError, match=r"cannot connect to tcp://127.0.0.1:1: Connection refused"):
        link.start()
    assert link.health.reopens == 0


# --- waits that end in time ----------------------------------------------------

def test_close_ends_a_wait_for_a_silent_server(server):
    link = kvo_mew.VedUzavur(server.url, timeout=30, retries=0)
    link.start()
    server.faults.append("silent")
    failures = []

    def read():
        try:
            link.get_multi_uint16(1, "D0", 1)
        except kvo_mew.LinkError as error:
            failures.append(error)

    reader = threading.Thread(target=read)
    reader.start()
    eventually(lambda: server.requests)
    time.sleep(0.1)
    closed = time.monotonic()
    link.close()
    reader.join(5)
    assert time.monotonic() - closed < 0.5 and "link closed" in str(failures[0])


def test_close_ends_a_connect_that_hangs():
    # A listener whose backlog is full: further connects are never accepted.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    try:
        for _ in range(8):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
            fillers.append(filler)
        link = kvo_mew.VedUzavur("tcp://127.0.0.1:%d" % listener.getsockname()[1], connect_timeout=30)
        failures = []

        def connect():
            try:
                link.start()
            except kvo_mew.LinkError as error:
                failures.append(error)

        starter = threading.Thread(target=connect)
        starter.start()
        time.sleep(0.3)
        if not starter.is_alive():
            link.close()
            pytest.skip("the kernel accepted the connect: no hanging connect to cut short")
        closed = time.monotonic()
        link.close()
        starter.join(5)
        assert time.monotonic() - closed < 0.5 and "link closed" in str(failures[0])
    finally:
        for filler in fillers:
            filler.close()
        listener.close()


CTRL_C_CHILD = r"""
import os, signal, sys, threading, time
sys.path.insert(0, %(tests)r)
import kvo_mew
from tcp_fault_server import FaultServer
server = FaultServer()
server.faults.append("silent")
link = kvo_mew.VedUzavur(server.url, timeout=30, retries=0)
threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
started = time.monotonic()
try:
    link.get_multi_uint16(1, "D0", 1)
except KeyboardInterrupt:
    print("interrupted after %%.2f" %% (time.monotonic() - started - 0.5))
finally:
    link.close()
    server.stop()
"""


def test_ctrl_c_ends_a_wait_within_a_fifth_of_a_second():
    tests = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", CTRL_C_CHILD % {"tests": tests}], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    late = float(done.stdout.split()[-1])
    assert late < 0.2 + 0.3  # slack for a loaded machine


def test_state_changes_and_frames_are_told_as_on_a_serial_line(server, link, caplog):
    caplog.set_level(logging.DEBUG, logger="kvo_mew")
    changes = []
    link.on_state_change = lambda which, up: changes.append(up)
    server.slave.registers[1][0] = 0x21
    assert link.get_multi_uint16(1, "D0", 1) == [0x21]
    server.faults.extend(["silent", "silent"])
    with pytest.raises(kvo_mew.LineError):
        link.get_multi_uint16(1, "D0", 1)
    assert link.get_multi_uint16(1, "D0", 1) == [0x21]
    assert changes == [False, True]
    logged = [(r.name, r.getMessage()) for r in caplog.records]
    assert ("kvo_mew.frames", server.url + " > station 1 get_multi_uint16 D0") in logged
    assert ("kvo_mew.frames", server.url + " < 0021") in logged
    assert ("kvo_mew.link", "link down: " + server.url + " station 1: no answer within 0.25 s") in logged
    logging.getLogger("kvo_mew").setLevel(logging.NOTSET)


def test_a_machine_rewrites_its_outputs_after_a_lost_connection(server, machines):
    m = kvo_fa.FPMachine(1, 1, 100, server.url, timeout=0.2, retries=0)
    machines.append(m)
    m.start()
    m.set_y("Y0", True)
    m.set_y("Y5", True)
    m.sync_xy_refresher()
    assert server.slave.registers[1][100] == 0x21
    server.faults.extend(["close"] * 3)     # the PLC goes away (and restarts with its outputs cleared)
    eventually(lambda: not server.faults)
    server.slave.registers[1][100] = 0
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert server.slave.registers[1][100] == 0x21 and m.y("Y5")
    assert m.native_machine_handle.health.reopens >= 3
