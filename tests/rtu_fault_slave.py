"""A Modbus RTU slave of our own that misbehaves on command: pure Python on
one end of a socat pseudo-terminal pair (tests/modbus_peer.py), the link under
test on the other end.

It serves functions 1, 2, 3, 4, 5, 6, 15, 16 and 22 for a few slave addresses,
each with its own coils, discrete inputs, holding and input registers (all
65536 of each). Each request is answered in turn; a fault taken from the queue
(`inject`) or drawn by `chooser` spoils the answer:

    silent             no answer at all
    late, seconds      the answer, that much later
    twice              the answer twice, back to back
    truncated          the first half of the answer, nothing more
    bad_crc            the answer with a broken CRC
    foreign            a well-formed frame of another slave address, then the answer
    noise              a few bytes of line noise, then the answer
    stray              a well-formed frame of this slave that is not the answer, then the answer
    exception, code    an exception response

Every word a write or `set` puts in a table is kept in `history`, so a test can
tell whether a value read was ever held by the slave.
"""
import array
import collections
import os
import select
import termios
import threading
import time
import tty

import pytest

from modbus_peer import PtyPair

COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, INPUT_REGISTERS = "coils", "discrete_inputs", "holding", "input"
FOREIGN_ADDRESS = 200  # served by nobody
NOISE = bytes([0x00, 0xFF, 0x13, 0x37, 0xFF])

READ_TABLES = {1: COILS, 2: DISCRETE_INPUTS, 3: HOLDING_REGISTERS, 4: INPUT_REGISTERS}
FAULTS = ("silent", "late", "twice", "truncated", "bad_crc", "foreign", "noise", "stray", "exception")


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(body):
    crc = crc16(body)
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


def request_size(buffer):
    """The size of the request at the head of `buffer`, or None until it can be told."""
    function = buffer[1]
    if 1 <= function <= 6:
        return 8
    if function in (15, 16):
        return 9 + buffer[6] if len(buffer) >= 7 else None
    if function == 22:
        return 10
    return 0  # no request: drop what is there


class FaultSlave:
    def __init__(self, path, addresses=(1, 2, 3)):
        self.path = path
        self.addresses = tuple(addresses)
        self.lock = threading.RLock()
        self.tables = {}
        for address in self.addresses:
            self.tables[address, COILS] = bytearray(65536)
            self.tables[address, DISCRETE_INPUTS] = bytearray(65536)
            self.tables[address, HOLDING_REGISTERS] = array.array("H", bytes(2 * 65536))
            self.tables[address, INPUT_REGISTERS] = array.array("H", bytes(2 * 65536))
        self.faults = collections.deque()  # one per request, taken in order
        self.chooser = None                # request tuple -> fault or None, when the queue is empty
        self.requests = []                 # (address, function, start, quantity) of each request served
        self.injected = collections.Counter()
        self.history = collections.defaultdict(set)  # (address, table, word) -> every value it held
        self._fd = None
        self._stop = threading.Event()
        self._thread = None

    # --- running -------------------------------------------------------------

    def start(self):
        self._fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self._fd)
        termios.tcflush(self._fd, termios.TCIOFLUSH)
        self._stop.clear()
        self._thread = threading.Thread(target=self._serve_forever)
        self._thread.start()

    def stop(self):
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join(10)
        self._thread = None
        os.close(self._fd)
        self._fd = None

    def inject(self, *faults):
        """Faults for the next requests, in order: "twice" or ("late", 0.4)."""
        with self.lock:
            for fault in faults:
                self.faults.append((fault, None) if isinstance(fault, str) else tuple(fault))

    def reset(self):
        """Every value back to zero, no faults, no requests seen, no history."""
        with self.lock:
            for key, table in self.tables.items():
                self.tables[key] = bytearray(65536) if isinstance(table, bytearray) else array.array(
                    "H", bytes(2 * 65536))
            self.faults.clear()
            self.chooser = None
            del self.requests[:]
            self.injected.clear()
            self.history.clear()

    # --- the tables, from the machine's side ---------------------------------------

    def set(self, address, table, start, values):
        with self.lock:
            self._store(address, table, start, values)

    def get(self, address, table, start, count=1):
        with self.lock:
            return list(self.tables[address, table][start:start + count])

    def set_bits_word(self, address, table, start, word):
        self.set(address, table, start, [word >> i & 1 for i in range(16)])

    def get_bits_word(self, address, table, start):
        return sum(bit << i for i, bit in enumerate(self.get(address, table, start, 16)))

    def held(self, address, table, word, value):
        """Whether word `word` of the table (16 bits from 16 * word on, for a bit table) ever held `value`."""
        with self.lock:
            return value in self.history[address, table, word] or value == self._word(address, table, word)

    def _word(self, address, table, word):
        data = self.tables[address, table]
        if isinstance(data, bytearray):
            return sum(data[16 * word + i] << i for i in range(16))
        return data[word]

    def _store(self, address, table, start, values):
        data = self.tables[address, table]
        data[start:start + len(values)] = (bytearray if isinstance(data, bytearray) else
                                           lambda v: array.array("H", v))(values)
        bits = isinstance(data, bytearray)
        first, last = (start // 16, (start + len(values) - 1) // 16) if bits else (start, start + len(values) - 1)
        for word in range(first, last + 1):
            self.history[address, table, word].add(self._word(address, table, word))

    # --- the line -----------------------------------------------------------------

    def _serve_forever(self):
        buffer = bytearray()
        while not self._stop.is_set():
            ready, _, _ = select.select([self._fd], [], [], 0.02)
            if not ready:
                continue
            try:
                buffer += os.read(self._fd, 512)
            except OSError:      # the other end is gone for a moment
                time.sleep(0.02)
                continue
            while len(buffer) >= 2:
                size = request_size(buffer)
                if size is None or len(buffer) < (size or 0):
                    break
                if size == 0 or crc16(buffer[:size - 2]) != buffer[size - 2] | buffer[size - 1] << 8:
                    del buffer[:]  # a damaged request goes unanswered
                    break
                request = bytes(buffer[:size])
                del buffer[:size]
                if request[0] in self.addresses:
                    self._answer(request)

    def _answer(self, request):
        address, function = request[0], request[1]
        start, quantity = int.from_bytes(request[2:4], "big"), int.from_bytes(request[4:6], "big")
        with self.lock:
            self.requests.append((address, function, start, quantity))
            answer = self._execute(request, address, function, start, quantity)
            fault = self.faults.popleft() if self.faults else (
                self.chooser((address, function, start, quantity)) if self.chooser else None)
            if fault is not None:
                self.injected[fault[0]] += 1
        self._send(answer, fault)

    def _execute(self, request, address, function, start, quantity):
        if function in READ_TABLES:
            table = self.tables[address, READ_TABLES[function]]
            if start + quantity > 65536:
                return with_crc([address, function | 0x80, 2])
            if function in (1, 2):
                data = bytearray((quantity + 7) // 8)
                for i in range(quantity):
                    data[i // 8] |= table[start + i] << (i % 8)
            else:
                data = b"".join(table[start + i].to_bytes(2, "big") for i in range(quantity))
            return with_crc(bytes([address, function, len(data)]) + bytes(data))
        if function == 5:
            self._store(address, COILS, start, [1 if quantity == 0xFF00 else 0])
        elif function == 6:
            self._store(address, HOLDING_REGISTERS, start, [quantity])
        elif function == 15:
            data = request[7:-2]
            self._store(address, COILS, start, [data[i // 8] >> (i % 8) & 1 for i in range(quantity)])
        elif function == 16:
            data = request[7:-2]
            self._store(address, HOLDING_REGISTERS, start,
                        [int.from_bytes(data[2 * i:2 * i + 2], "big") for i in range(quantity)])
        elif function == 22:
            and_mask, or_mask = quantity, int.from_bytes(request[6:8], "big")
            old = self.tables[address, HOLDING_REGISTERS][start]
            self._store(address, HOLDING_REGISTERS, start, [(old & and_mask) | (or_mask & ~and_mask & 0xFFFF)])
            return with_crc(request[:8])
        else:
            return with_crc([address, function | 0x80, 1])
        return with_crc(request[:6])

    def _send(self, answer, fault):
        kind, argument = fault if fault is not None else (None, None)
        if kind == "silent":
            return
        if kind == "late":
            time.sleep(argument)
        elif kind == "exception":
            answer = with_crc([answer[0], answer[1] | 0x80, argument or 4])
        elif kind == "twice":
            answer = answer + answer
        elif kind == "truncated":
            answer = answer[:max(2, len(answer) // 2)]
        elif kind == "bad_crc":
            answer = answer[:-1] + bytes([answer[-1] ^ 0xFF])
        elif kind == "foreign":
            answer = with_crc(bytes([FOREIGN_ADDRESS]) + answer[1:-2]) + answer
        elif kind == "noise":
            self._write(NOISE)
            time.sleep(0.005)
        elif kind == "stray":
            answer = self._stray(answer) + answer
        self._write(answer)

    @staticmethod
    def _stray(answer):
        """A frame of the same slave that answers another request: a read of
        one more word, or a write to the next address."""
        address, function = answer[0], answer[1]
        if function in READ_TABLES and not function & 0x80:
            return with_crc(bytes([address, function, answer[2] + 2]) + answer[3:-2] + b"\x12\x34")
        body = bytearray(answer[:-2])
        if len(body) >= 4:
            body[3] = (body[3] + 1) & 0xFF
        return with_crc(body)

    def _write(self, data):
        try:
            os.write(self._fd, data)
        except OSError:
            pass


# --- fixtures -----------------------------------------------------------------

@pytest.fixture(scope="module")
def fault_line(tmp_path_factory):
    """A pty pair with a FaultSlave serving addresses 1, 2 and 3 on it: (pair, slave)."""
    pair = PtyPair(tmp_path_factory.mktemp("fault_line"))
    pair.start()
    slave = FaultSlave(pair.slave_path)
    try:
        slave.start()
        yield pair, slave
    finally:
        slave.stop()
        pair.stop()


@pytest.fixture
def faulty(fault_line):
    """The FaultSlave of the line, all zero and well-behaved."""
    fault_line[1].reset()
    yield fault_line[1]
    fault_line[1].reset()
