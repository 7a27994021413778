"""The chaos soak's peer for tcp://: the fault-injecting Modbus TCP server
(tests/tcp_fault_server.py) with the interface the soak uses of a serial
fault slave — tables by (unit, table), the values each word held, the faults
injected, a chooser of faults."""
import collections
import threading
import time

from rtu_fault_slave import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS
from tcp_fault_server import FaultServer, Slave

# A value set by the soak still counts as held this long after it was
# replaced: a machine's input image may be that old after an outage. Values
# are random 15-bit words, so a wrong one falls in the window rarely.
HELD_SLACK = 10.0
WRITES = (5, 6, 15, 16, 22)


class RecordingSlave(Slave):
    """Keeps every value the output words (D100, the first 16 coils) took."""

    def __init__(self, peer):
        super().__init__()
        self.peer = peer

    def serve(self, unit, pdu):
        answer = super().serve(unit, pdu)
        if pdu[0] in WRITES:
            with self.peer.lock:
                self.peer.history[unit, HOLDING_REGISTERS, 100].add(self.registers[unit][100])
                self.peer.history[unit, COILS, 0].add(self.peer.word(unit, COILS, 0))
        return answer


class TcpFaultPeer:
    def __init__(self):
        self.lock = threading.Lock()
        self.history = collections.defaultdict(set)  # (unit, table, word) -> every value an output word took
        self.replaced = collections.defaultdict(dict)  # (unit, table, word) -> {value: when it was replaced}
        self.server = FaultServer()
        self.slave = self.server.slave = RecordingSlave(self)
        self.server.late_delay = 0.3

    url = property(lambda self: self.server.url)
    requests = property(lambda self: self.server.requests)
    injected = property(lambda self: self.server.injected)
    chooser = property(lambda self: self.server.chooser,
                       lambda self, chooser: setattr(self.server, "chooser", chooser))

    def table(self, unit, table):
        return {COILS: self.slave.coils, DISCRETE_INPUTS: self.slave.inputs,
                HOLDING_REGISTERS: self.slave.registers}[table][unit]

    def word(self, unit, table, word):
        data = self.table(unit, table)
        if table == HOLDING_REGISTERS:
            return data[word]
        return sum(bit << i for i, bit in enumerate(data[16 * word:16 * word + 16]))

    def _replace(self, unit, table, word, start, values):
        """Under the lock: the old value's end noted first, so that it is never
        neither current nor remembered. A slice assignment is atomic for the
        server's threads."""
        self.replaced[unit, table, word][self.word(unit, table, word)] = time.monotonic()
        self.table(unit, table)[start:start + len(values)] = values

    def set(self, unit, table, start, values):
        with self.lock:
            for i, value in enumerate(values):
                self._replace(unit, table, start + i, start + i, [value])

    def set_bits_word(self, unit, table, start, word):
        with self.lock:
            self._replace(unit, table, start // 16, start, [bool(word >> i & 1) for i in range(16)])

    def get(self, unit, table, start, count=1):
        with self.lock:
            return list(self.table(unit, table)[start:start + count])

    def get_bits_word(self, unit, table, start):
        with self.lock:
            return self.word(unit, table, start // 16)

    def held(self, unit, table, word, value):
        """Whether word `word` holds `value` or held it within HELD_SLACK seconds."""
        with self.lock:
            if value == self.word(unit, table, word):
                return True
            replaced = self.replaced[unit, table, word].get(value)
            return replaced is not None and time.monotonic() - replaced <= HELD_SLACK

    def stop(self):
        self.server.stop()
