"""The tcp:// transport against an independent server: libmodbus's own
Modbus TCP server (tests/modbus_c_server.c), built by the test."""
import pytest

import kvo_fa
import kvo_mew
from modbus_c_peer import CServer, holding, missing

pytestmark = pytest.mark.skipif(missing() is not None, reason=str(missing()))


@pytest.fixture(scope="module")
def server():
    with CServer() as started:
        yield started


@pytest.fixture
def link(server):
    made = kvo_mew.VedUzavur(server.url, timeout=0.5, retries=1)
    yield made
    made.close()


def test_the_raw_link_reads_and_writes_every_table(link):
    assert link.get_multi_uint16(1, "D0", 16) == [holding(i) for i in range(16)]
    assert link.get_multi_uint16(1, "D1000", 200) == [holding(i) for i in range(1000, 1200)]  # two requests
    link.set_multi_uint16(1, "D2000", [1, 0xFFFF, 0x8000])
    link.set_uint32(1, "D2010", 0x12345678)
    assert link.get_multi_uint16(1, "D2000", 3) == [1, 0xFFFF, 0x8000]
    assert link.get_uint32(1, "D2010") == 0x12345678
    assert [link.get_coil(1, "X%X" % i) for i in range(4)] == [True, False, False, True]
    link.set_coil(1, "Y5", True)
    link.set_coil_uint16(1, "WR3", 0xA5C3)
    assert link.get_coil(1, "Y5") is True and link.get_coil_uint16(1, "WR3") == 0xA5C3
    assert link.health.failed == 0 and link.health.reopens == 0


def test_an_fp_machine_reads_inputs_and_writes_outputs(server, machines):
    m = kvo_fa.FPMachine(2, 1, 3000, server.url, station=7, timeout=0.5)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    assert [m.wx(0), m.wx(1)] == [holding(0), holding(1)] and m.x("X0") and not m.x("X1")
    assert m.wy(0) == holding(3000)  # the outputs the PLC holds are taken over at start
    m.set_y_sync("Y3", True)
    m.set_y_sync("YA", True)
    m.sync_xy_refresher()
    check = kvo_mew.VedUzavur(server.url)
    try:
        assert check.get_multi_uint16(7, "D3000", 1) == [holding(3000) | 0x0408]
    finally:
        check.close()
    m.set_multi_int32("D3010", [-5, 70000])
    assert m.get_multi_int32("D3010", 2) == [-5, 70000]


def test_an_fef_machine_of_three_modules_over_one_connection(server, machines):
    m = kvo_fa.FEFMachine(server.url, 3)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    every_third = sum(1 << i for i in range(16) if i % 3 == 0)
    assert [m.wx(k) for k in range(3)] == [every_third] * 3
    assert m.plc.health.failed == 0 and m.plc.health.reopens == 0
