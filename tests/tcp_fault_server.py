"""A Modbus TCP server of our own for the tcp:// transport's tests: it
answers like a slave (holding registers, coils, discrete inputs of any unit)
and misbehaves on request. `server.faults` is a queue of faults, one taken
for each request that comes in; an empty queue answers well.

Faults: "stale" (first an answer with the previous transaction id and wrong
values), "duplicate" (the answer twice), "split" (the answer byte by byte
with gaps), "late" (the answer after `late_delay` seconds, once the next
request came), "reset" (half the answer, then a connection reset), "silent"
(no answer, connection kept), "close" (the connection closed on the
request), "garbage" (bytes that are no frame), "long" (a length field of
300), "protocol" (protocol id 1), "unit" (another unit), "function"
(another function code), "count" (one data byte too many), "exception"
(exception response 2). When the queue is empty, `chooser` (if set) is
called for each request and gives a fault or None; `injected` counts the
faults done."""
import collections
import select
import socket
import struct
import threading
import time


class Slave:
    def __init__(self):
        self.registers = collections.defaultdict(lambda: [0] * 65536)
        self.coils = collections.defaultdict(lambda: [False] * 65536)
        self.inputs = collections.defaultdict(lambda: [False] * 65536)

    def serve(self, unit, pdu):
        """The answer PDU to a request PDU."""
        function = pdu[0]
        if function in (1, 2):
            address, count = struct.unpack(">HH", pdu[1:5])
            bits = (self.coils if function == 1 else self.inputs)[unit][address:address + count]
            data = bytearray((count + 7) // 8)
            for i, bit in enumerate(bits):
                data[i // 8] |= bit << (i % 8)
            return bytes([function, len(data)]) + bytes(data)
        if function in (3, 4):
            address, count = struct.unpack(">HH", pdu[1:5])
            values = self.registers[unit][address:address + count]
            return bytes([function, 2 * count]) + struct.pack(">%dH" % count, *values)
        if function == 5:
            address, value = struct.unpack(">HH", pdu[1:5])
            self.coils[unit][address] = value == 0xFF00
            return pdu[:5]
        if function == 6:
            address, value = struct.unpack(">HH", pdu[1:5])
            self.registers[unit][address] = value
            return pdu[:5]
        if function == 15:
            address, count = struct.unpack(">HH", pdu[1:5])
            for i in range(count):
                self.coils[unit][address + i] = bool(pdu[6 + i // 8] >> (i % 8) & 1)
            return pdu[:5]
        if function == 16:
            address, count = struct.unpack(">HH", pdu[1:5])
            self.registers[unit][address:address + count] = struct.unpack(">%dH" % count, pdu[6:6 + 2 * count])
            return pdu[:5]
        if function == 22:
            address, and_mask, or_mask = struct.unpack(">HHH", pdu[1:7])
            old = self.registers[unit][address]
            self.registers[unit][address] = (old & and_mask) | (or_mask & ~and_mask)
            return pdu[:7]
        return bytes([function | 0x80, 1])


def adu(transaction, unit, pdu, protocol=0, length=None):
    return struct.pack(">HHHB", transaction, protocol, len(pdu) + 1 if length is None else length, unit) + pdu


class FaultServer:
    def __init__(self):
        self.slave = Slave()
        self.faults = collections.deque()
        self.chooser = None
        self.injected = collections.Counter()
        self.late_delay = 0.4
        self.split_gap = 0.003
        self.requests = []        # (transaction id, unit, function) of every request
        self.connections = 0      # accepted so far
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._threads = []
        self._lock = threading.Lock()
        self._acceptor = threading.Thread(target=self._accept)
        self._acceptor.start()

    @property
    def url(self):
        return "tcp://127.0.0.1:%d" % self.port

    def stop(self):
        self._stopping.set()
        self._acceptor.join(10)
        for thread in list(self._threads):
            thread.join(10)
        self._listener.close()

    def _accept(self):
        while not self._stopping.is_set():
            ready, _, _ = select.select([self._listener], [], [], 0.02)
            if not ready:
                continue
            connection, _ = self._listener.accept()
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                self.connections += 1
            thread = threading.Thread(target=self._serve, args=(connection,))
            self._threads.append(thread)
            thread.start()

    def _receive(self, connection, buffer):
        """One request ADU, or None when the client went or the server stops."""
        while len(buffer) < 7 or len(buffer) < 6 + struct.unpack(">H", buffer[4:6])[0]:
            if self._stopping.is_set():
                return None
            ready, _, _ = select.select([connection], [], [], 0.02)
            if ready:
                try:
                    chunk = connection.recv(4096)
                except OSError:
                    return None
                if not chunk:
                    return None
                buffer += chunk
        size = 6 + struct.unpack(">H", buffer[4:6])[0]
        request = bytes(buffer[:size])
        del buffer[:size]
        return request

    def _serve(self, connection):
        buffer = bytearray()
        previous = 0
        pending = []  # (time to send, bytes) of late answers
        try:
            while True:
                request = self._receive(connection, buffer)
                if request is None:
                    return
                transaction, _, _, unit = struct.unpack(">HHHB", request[:7])
                pdu = request[7:]
                self.requests.append((transaction, unit, pdu[0]))
                fault = self.faults.popleft() if self.faults else self.chooser() if self.chooser else None
                if fault is not None:
                    self.injected[fault] += 1
                for _, late in pending:
                    connection.sendall(late)
                pending.clear()
                if fault == "close":
                    return
                answer = self.slave.serve(unit, pdu)
                good = adu(transaction, unit, answer)
                if fault == "stale":
                    wrong = bytes([answer[0], answer[1]]) + bytes(b ^ 0x5A for b in answer[2:])
                    connection.sendall(adu(previous, unit, wrong) + good)
                elif fault == "duplicate":
                    connection.sendall(good + good)
                elif fault == "split":
                    for byte in good:
                        connection.sendall(bytes([byte]))
                        time.sleep(self.split_gap)
                elif fault == "late":
                    time.sleep(self.late_delay)
                    pending.append((0, good))
                elif fault == "reset":
                    connection.sendall(good[:len(good) // 2])
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                elif fault == "silent":
                    pass
                elif fault == "garbage":
                    connection.sendall(b"\x00\x01\xff\xff\xff\xff\x13\x37" * 3)
                elif fault == "long":
                    connection.sendall(adu(transaction, unit, answer, length=300))
                elif fault == "protocol":
                    connection.sendall(adu(transaction, unit, answer, protocol=1))
                elif fault == "unit":
                    connection.sendall(adu(transaction, unit + 1, answer))
                elif fault == "function":
                    connection.sendall(adu(transaction, unit, bytes([answer[0] ^ 0x40]) + answer[1:]))
                elif fault == "count":
                    connection.sendall(adu(transaction, unit, bytes([answer[0], answer[1] + 1]) + answer[2:] + b"\0"))
                elif fault == "exception":
                    connection.sendall(adu(transaction, unit, bytes([pdu[0] | 0x80, 2])))
                else:
                    connection.sendall(good)
                previous = transaction
        except OSError:
            return
        finally:
            connection.close()
