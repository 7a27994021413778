"""An independent Modbus slave for the Modbus transports' tests: pymodbus
serving a few slave addresses on one end of a socat pseudo-terminal pair, the
link under test on the other end, or as a Modbus TCP server on loopback."""
import asyncio
import os
import shutil
import socket
import subprocess
import threading
import time

import pytest
from pymodbus import FramerType
from pymodbus.server import ModbusSerialServer, ModbusTcpServer, ModbusTlsServer
from pymodbus.simulator import DataType, SimData, SimDevice

# Table number -> the function code that reads it from the data store.
COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, INPUT_REGISTERS = 1, 2, 3, 4

HOLDING_COUNT = 300   # D0..D299; D300 and above answer "illegal data address"
R_COIL_BASE = 32768   # where the default element map puts R0


def socat_available():
    return shutil.which("socat") is not None


class PtyPair:
    """Two linked pseudo-terminals, `master_path` for the link under test and
    `slave_path` for the pymodbus slave, made by socat."""

    def __init__(self, directory):
        self.master_path = os.path.join(str(directory), "master")
        self.slave_path = os.path.join(str(directory), "slave")
        self.process = None

    def start(self):
        for path in (self.master_path, self.slave_path):
            if os.path.lexists(path):
                os.unlink(path)
        self.process = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.master_path, "pty,raw,echo=0,link=" + self.slave_path],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.master_path) and os.path.exists(self.slave_path)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("socat did not make the pseudo-terminal pair")
            time.sleep(0.005)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None


def device(device_id):
    """One slave: coils Y0..Y7F and R0..R7F, discrete inputs X0..X7F, holding
    registers D0..D299, input registers 0..63."""
    bits = lambda address, count: SimData(address, count=count, values=False, datatype=DataType.BITS)
    registers = lambda count: SimData(0, count=count, values=0, datatype=DataType.REGISTERS)
    return SimDevice(device_id, simdata=(
        [bits(0, 128), bits(R_COIL_BASE, 128)],
        [bits(0, 128)],
        [registers(HOLDING_COUNT)],
        [registers(64)],
    ))


class ModbusSlave:
    """pymodbus's RTU server in a thread of its own, with direct access to its
    data store and switches for a silent or a garbling slave."""

    def __init__(self, port, device_ids=(1, 2, 3)):
        self.port = port
        self.device_ids = device_ids
        self.silent = False        # swallow every answer
        self.garble = False        # spoil the CRC of every answer
        self.requests = []         # (slave address, function code) of each request served
        self._loop = None
        self._server = None
        self._thread = None

    def start(self):
        ready = threading.Event()
        failure = []

        async def serve():
            self._server = self._make_server([device(i) for i in self.device_ids])
            await self._server.listen()
            ready.set()
            await self._server.serving

        def run():
            self._loop = asyncio.new_event_loop()
            try:
                self._loop.run_until_complete(serve())
            except Exception as error:  # reported to start()
                failure.append(error)
                ready.set()
            finally:
                self._loop.close()

        self._thread = threading.Thread(target=run)
        self._thread.start()
        if not ready.wait(10) or failure:
            self.stop()
            raise RuntimeError("pymodbus slave did not start: %r" % (failure,))

    def _make_server(self, devices):
        return ModbusSerialServer(devices, port=self.port, baudrate=115200, reconnect_delay=0.1,
                                  trace_packet=self._trace_packet, trace_pdu=self._trace_pdu)

    def stop(self):
        if self._thread is None:
            return
        if self._server is not None and self._loop.is_running():
            asyncio.run_coroutine_threadsafe(self._server.shutdown(), self._loop).result(10)
        self._thread.join(10)
        self._thread = None

    def _trace_packet(self, sending, packet):
        if sending and self.silent:
            return b""
        if sending and self.garble:
            return packet[:-1] + bytes([packet[-1] ^ 0xFF])
        return packet

    def _trace_pdu(self, sending, pdu):
        if not sending:
            self.requests.append((pdu.dev_id, pdu.function_code))
        return pdu

    def _call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(10)

    def get(self, device_id, table, address, count=1):
        return list(self._call(self._server.context.async_getValues(device_id, table, address, count)))

    def set(self, device_id, table, address, values):
        result = self._call(self._server.context.async_setValues(device_id, table, address, list(values)))
        assert result is None, result

    def get_bits_word(self, device_id, table, address):
        """16 bits from `address` on as one word, bit 0 the lowest."""
        return sum(1 << i for i, bit in enumerate(self.get(device_id, table, address, 16)) if bit)

    def set_bits_word(self, device_id, table, address, word):
        self.set(device_id, table, address, [bool(word >> i & 1) for i in range(16)])

    def reset(self):
        """Every value back to zero, switches off, no requests seen."""
        for device_id in self.device_ids:
            self.set(device_id, COILS, 0, [False] * 128)
            self.set(device_id, COILS, R_COIL_BASE, [False] * 128)
            self.set(device_id, DISCRETE_INPUTS, 0, [False] * 128)
            self.set(device_id, HOLDING_REGISTERS, 0, [0] * HOLDING_COUNT)
            self.set(device_id, INPUT_REGISTERS, 0, [0] * 64)
        self.silent = self.garble = False
        del self.requests[:]


def free_tcp_port():
    """A loopback port nothing listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ModbusTcpSlave(ModbusSlave):
    """The same slave as pymodbus's Modbus TCP server on a loopback port;
    `framer=FramerType.RTU` makes it take RTU frames over the TCP socket."""

    def __init__(self, device_ids=(1, 2, 3, 7), framer=FramerType.SOCKET):
        super().__init__(free_tcp_port(), device_ids)
        self.framer = framer

    def _make_server(self, devices):
        return ModbusTcpServer(devices, address=("127.0.0.1", self.port), framer=self.framer,
                               trace_packet=self._trace_packet, trace_pdu=self._trace_pdu)


class ModbusTlsSlave(ModbusTcpSlave):
    """The same slave as pymodbus's TLS server: Modbus TCP frames inside TLS,
    a client certificate required (`sslctx`: the server's ssl.SSLContext)."""

    def __init__(self, sslctx, device_ids=(1, 2, 3, 7)):
        super().__init__(device_ids)
        self.sslctx = sslctx

    def _make_server(self, devices):
        return ModbusTlsServer(devices, address=("127.0.0.1", self.port), sslctx=self.sslctx,
                               framer=FramerType.SOCKET, trace_packet=self._trace_packet, trace_pdu=self._trace_pdu)


@pytest.fixture(scope="module")
def line(tmp_path_factory):
    """A pty pair with a pymodbus slave serving addresses 1, 2 and 3 on it."""
    pair = PtyPair(tmp_path_factory.mktemp("line"))
    pair.start()
    peer = ModbusSlave(pair.slave_path)
    try:
        peer.start()
        yield pair, peer
    finally:
        peer.stop()
        pair.stop()


@pytest.fixture
def slave(line):
    """The slave of the line, all zero and answering."""
    line[1].reset()
    yield line[1]
    line[1].silent = line[1].garble = False
