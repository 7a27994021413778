"""A simulated PLC served over Modbus TCP (plc.serve): pymodbus's client and
our own tcp:// link read and write it, unsupported functions get exception
responses, hostile clients do not stop it, stop_serving and reset stop it."""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402


@pytest.fixture
def served(plc):
    address = plc.serve("tcp://127.0.0.1:0")
    yield address
    plc.stop_serving()


def port_of(address):
    return int(address.rsplit(":", 1)[1])


@pytest.fixture
def client(served):
    made = ModbusTcpClient("127.0.0.1", port=port_of(served), timeout=2)
    assert made.connect()
    yield made
    made.close()


def test_pymodbus_reads_and_writes_the_served_plc(plc, served, client):
    assert served.startswith("tcp://127.0.0.1:") and plc.serving == served
    plc.set("D10", 1234, station=3)
    plc.set("X1F", True, station=3)
    assert client.read_holding_registers(10, count=2, device_id=3).registers == [1234, 0]
    assert client.read_discrete_inputs(16, count=16, device_id=3).bits[15] is True
    client.write_register(20, 0xBEEF, device_id=3)
    client.write_registers(30, [1, 2, 3], device_id=3)
    client.write_coil(5, True, device_id=3)
    client.write_coils(32768 + 16, [True, False, True], device_id=3)
    client.mask_write_register(address=20, and_mask=0x00FF, or_mask=0x0100, device_id=3)
    assert plc.get("D20", station=3) == 0x01EF and plc.get("D32", station=3) == 3
    assert plc.get("Y5", station=3) is True and plc.get("WR1", station=3) == 0b101
    assert client.read_coils(5, count=1, device_id=3).bits[0] is True
    assert plc.counts["read_holding_registers"] == 1 and plc.counts["write_multiple_coils"] == 1


@pytest.mark.parametrize("call, code", [
    (lambda c: c.read_input_registers(0, count=1, device_id=1), 1),     # not in the element map
    (lambda c: c.read_holding_registers(65530, count=10, device_id=1), 2),
    (lambda c: c.read_coils(16000, count=1, device_id=1), 2),           # past Y999F
    (lambda c: c.read_holding_registers(0, count=1, device_id=0), 10),
])
def test_what_the_element_map_does_not_have_gets_an_exception_response(client, call, code):
    answer = call(client)
    assert answer.isError() and answer.exception_code == code


@pytest.mark.parametrize("pdu", [
    struct.pack(">BHH", 3, 0, 126),              # more registers than a request may read
    struct.pack(">BHHB", 16, 0, 2, 3) + b"abc",  # a byte count that is not the quantity's
    struct.pack(">BHH", 6, 0, 1) + b"x",         # a request longer than its function
])
def test_a_malformed_request_gets_exception_3(served, pdu):
    with socket.create_connection(("127.0.0.1", port_of(served))) as raw:
        raw.sendall(struct.pack(">HHHB", 5, 0, len(pdu) + 1, 1) + pdu)
        raw.settimeout(5)
        assert raw.recv(100) == struct.pack(">HHHBBB", 5, 0, 3, 1, pdu[0] | 0x80, 3)


def test_fail_next_becomes_a_server_failure(plc, client):
    plc.fail_next(1)
    answer = client.read_holding_registers(0, count=1, device_id=1)
    assert answer.isError() and answer.exception_code == 4
    assert not client.read_holding_registers(0, count=1, device_id=1).isError()


def test_a_machine_over_tcp_runs_the_io_program_of_the_served_plc(plc, served, machines):
    plc.map_io(1, 1, 100, station=2)
    m = kvo_fa.FPMachine(1, 1, 100, served, station=2, timeout=0.5)
    machines.append(m)
    m.start()
    plc.set("X3", True, station=2)
    m.wait_for_signal("X3", True, timeout=5)
    m.set_y_sync("Y1", True)
    m.sync_xy_refresher()
    deadline = time.monotonic() + 5
    while not plc.get("Y1", station=2):
        assert time.monotonic() < deadline
        time.sleep(0.01)


def test_hostile_clients_do_not_stop_the_server(served, client):
    port = port_of(served)
    hostile = []
    try:
        for _ in range(50):
            hostile.append(socket.create_connection(("127.0.0.1", port)))  # silent
        garbage = socket.create_connection(("127.0.0.1", port))
        garbage.sendall(b"\x13\x37" * 100)
        longest = socket.create_connection(("127.0.0.1", port))
        longest.sendall(struct.pack(">HHHB", 1, 0, 65535, 1) + b"\x03" * 20)
        for dropped in (garbage, longest):
            dropped.settimeout(5)
            assert dropped.recv(100) == b""  # disconnected, nothing answered
            dropped.close()
        half = socket.create_connection(("127.0.0.1", port))
        half.sendall(struct.pack(">HHHB", 9, 0, 6, 1)[:5])  # a header cut short, then silence
        hostile.append(half)
        results = []

        def read():
            one = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
            one.connect()
            results.append(one.read_holding_registers(0, count=2, device_id=1).registers)
            one.close()

        readers = [threading.Thread(target=read) for _ in range(20)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join(30)
        assert results == [[0, 0]] * 20
        assert client.read_holding_registers(0, count=1, device_id=1).registers == [0]
    finally:
        for connection in hostile:
            connection.close()


def test_stop_serving_and_reset_stop_the_server(plc):
    address = plc.serve("tcp://127.0.0.1:0")
    with pytest.raises(kvo_mew.LinkError, match="serves " + address + " already"):
        plc.serve("tcp://127.0.0.1:0")
    link = kvo_mew.VedUzavur(address, timeout=0.3, retries=0, connect_timeout=1)
    try:
        link.set_uint16(1, "D0", 5)
        plc.stop_serving()
        assert plc.serving is None
        plc.stop_serving()
        with pytest.raises(kvo_mew.LineError):
            link.get_multi_uint16(1, "D0", 1)
        address = plc.serve(address)  # the same port again
        assert link.get_multi_uint16(1, "D0", 1) == [5]
        kvo_mew.reset_simulators()
        assert plc.serving is None
        with pytest.raises(kvo_mew.LineError):
            link.get_multi_uint16(1, "D0", 1)
    finally:
        link.close()


@pytest.mark.parametrize("port, why", [
    ("sim://x", "a simulated PLC serves tcp://HOST[:PORT] or rtu+tcp://HOST:PORT"),
    ("rtu+tcp://127.0.0.1", "no port number"),
    ("tcp://", "no host"),
    ("tcp://127.0.0.1:70000", "port 70000 is not 0..65535"),
])
def test_serve_refuses_other_ports(plc, port, why):
    with pytest.raises(kvo_mew.LinkError, match=re.escape("cannot serve '%s': %s" % (port, why))):
        plc.serve(port)
    with pytest.raises(TypeError):
        plc.serve(5020)


def test_watch_shows_the_plc_another_process_serves(plc, served):
    plc.map_io(1, 1, 100)  # the PLC program moves X into D0 at every served transaction
    plc.set("X3", True)
    plc.set("D100", 0x0005)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "kvo_kit", "watch", served, "--once"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "0x0008" in done.stdout and "0x0005" in done.stdout


def test_kit_serve_runs_the_demo_cell_for_another_process_until_ctrl_c():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    serving = subprocess.Popen([sys.executable, "-m", "kvo_kit", "serve", "tcp://127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = serving.stdout.readline()
        assert line.startswith("serving ") and "plant.py on tcp://127.0.0.1:" in line, line + serving.stderr.read()
        address = line.split(" on ")[1].split(";")[0]
        link = kvo_mew.VedUzavur(address, timeout=2)
        try:
            # the demo cell at rest: lift up, slide at pick, ejector back (X1, X3, X7), moved into D0
            assert link.get_multi_uint16(1, "D0", 1) == [0x008A]
            link.set_uint16(1, "D100", 0x0002)  # lift down: the cylinder moves in the other process
            deadline = time.monotonic() + 10
            while not link.get_coil(1, "X2"):
                assert time.monotonic() < deadline
                time.sleep(0.05)
        finally:
            link.close()
        serving.send_signal(signal.SIGINT)
        assert serving.wait(10) == 0
    finally:
        if serving.poll() is None:
            serving.kill()
            serving.wait()
        serving.stdout.close()
        serving.stderr.close()


def test_served_with_rtu_frames_for_a_serial_device_server_client(plc):
    from pymodbus import FramerType

    address = plc.serve("rtu+tcp://127.0.0.1:0")
    link = kvo_mew.VedUzavur(address, 115200, timeout=0.5, drain=0.05)
    client = ModbusTcpClient("127.0.0.1", port=port_of(address), framer=FramerType.RTU, timeout=2)
    try:
        assert address.startswith("rtu+tcp://127.0.0.1:") and plc.serving == address
        link.set_multi_uint16(4, "D10", [1, 2, 3])
        link.set_coil(4, "Y7", True)
        assert plc.get("D11", station=4) == 2 and plc.get("Y7", station=4)
        assert link.get_multi_uint16(4, "D10", 3) == [1, 2, 3] and link.get_coil(4, "Y7") is True
        inputs = kvo_mew.VedUzavur(address, 115200, timeout=0.5, element_map={"D": ("input_registers", 0)})
        with pytest.raises(kvo_mew.SlaveError, match=r"exception response 1 \(Illegal function\)"):
            inputs.get_multi_uint16(4, "D10", 1)
        inputs.close()
        assert client.connect()
        assert client.read_holding_registers(10, count=3, device_id=4).registers == [1, 2, 3]
        with socket.create_connection(("127.0.0.1", port_of(address))) as raw:
            good = bytes([4, 3, 0, 10, 0, 1])
            crc = crc16(good)
            raw.sendall(good + bytes([crc & 0xFF ^ 0xFF, crc >> 8]))  # a bad CRC: no answer
            raw.settimeout(0.3)
            with pytest.raises(socket.timeout):
                raw.recv(100)
            raw.settimeout(5)
            raw.sendall(good + bytes([crc & 0xFF, crc >> 8]))
            assert raw.recv(100)[:5] == bytes([4, 3, 2, 0, 1])
    finally:
        client.close()
        link.close()
        plc.stop_serving()


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc
