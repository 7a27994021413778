"""The rtu+tcp:// transport: RTU frames through a TCP socket, as to a serial
device server, against pymodbus's TCP server taking RTU frames."""
import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, ModbusTcpSlave  # noqa: E402
from pymodbus import FramerType  # noqa: E402


@pytest.fixture(scope="module")
def server():
    peer = ModbusTcpSlave(framer=FramerType.RTU)
    peer.start()
    yield peer
    peer.stop()


@pytest.fixture
def peer(server):
    server.reset()
    yield server
    server.silent = server.garble = False


def url(peer):
    return "rtu+tcp://127.0.0.1:%d" % peer.port


def test_fp_machine_over_rtu_frames(peer, machines):
    m = kvo_fa.FPMachine(2, 1, 100, url(peer), 115200, station=2, timeout=0.3)
    machines.append(m)
    peer.set(2, HOLDING_REGISTERS, 1, [0x0004])
    m.start()
    m.sync_xy_refresher()
    assert m.x("X12")
    m.set_y_sync("Y3", True)
    m.sync_xy_refresher()
    assert peer.get(2, HOLDING_REGISTERS, 100) == [0x0008]
    m.set_uint32("D20", 0xCAFEBABE)
    assert m.get_uint32("D20") == 0xCAFEBABE
    assert {unit for unit, _ in peer.requests} == {2}


def test_fef_machine_and_a_damaged_answer(peer, machines):
    m = kvo_fa.FEFMachine(url(peer), 3)
    machines.append(m)
    m.start()
    peer.set_bits_word(3, DISCRETE_INPUTS, 0, 0x4000)
    m.wait_for_signal(46, True, timeout=5)
    m.set_y(0, True)
    m.sync_xy_refresher()
    assert peer.get_bits_word(1, COILS, 0) == 1
    m.close()
    link = kvo_mew.VedUzavur(url(peer), 115200, timeout=0.2, retries=1, drain=0.05)
    try:
        peer.garble = True
        with pytest.raises(kvo_mew.LineError, match=r"damaged answer: Invalid CRC \(2 tries\)"):
            link.get_multi_uint16(1, "D0", 1)
        peer.garble = False
        peer.set(1, HOLDING_REGISTERS, 0, [42])
        assert link.get_multi_uint16(1, "D0", 1) == [42]
        with pytest.raises(kvo_mew.SlaveError, match="exception response 2"):
            link.get_multi_uint16(1, "D400", 1)
        with pytest.raises(kvo_mew.AddressError, match="not a Modbus slave address"):
            link.get_multi_uint16(248, "D0", 1)
    finally:
        link.close()
