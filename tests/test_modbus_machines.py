"""FPMachine and FEFMachine driving pymodbus over a serial pty pair through
the link's Modbus RTU transport: inputs, outputs, double words, a silent slave
and an exception response in the refresh loop."""
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
from modbus_peer import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, line, slave, socat_available  # noqa: E402,F401

pytestmark = pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")


def eventually(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def printed_lines(capsys, seen):
    seen.extend(capsys.readouterr().out.splitlines())
    return seen


def test_fp_machine_exchanges_its_images_with_holding_registers(line, slave, machines):
    m = kvo_fa.FPMachine(2, 1, 100, line[0].master_path, 115200, station=2, timeout=0.2, retries=1)
    machines.append(m)
    slave.set(2, HOLDING_REGISTERS, 1, [0x0004])
    slave.set(2, HOLDING_REGISTERS, 100, [0x1000])
    m.start()
    m.sync_xy_refresher()
    assert m.x("X12") and m.wx(0) == 0 and m.y("Y0C")
    m.set_y_sync("Y3", True)
    m.sync_xy_refresher()
    assert slave.get(2, HOLDING_REGISTERS, 100) == [0x1008]
    slave.set(2, HOLDING_REGISTERS, 0, [0x8000])  # a sensor comes on
    m.wait_for_signal("XF", True, timeout=3)
    m.set_multi_int32("D10", [-5, 70000])
    assert slave.get(2, HOLDING_REGISTERS, 10, 4) == [0xFFFB, 0xFFFF, 70000 & 0xFFFF, 1]
    assert m.get_multi_int32("D10", 2) == [-5, 70000]
    m.set_uint32("D20", 0xCAFEBABE)
    assert m.get_uint32("D20") == 0xCAFEBABE
    assert {station for station, _ in slave.requests} == {2}


def test_fp_machine_survives_a_silent_slave(line, slave, machines, capsys):
    m = kvo_fa.FPMachine(1, 1, 100, line[0].master_path, 115200, timeout=0.2, retries=1)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    slave.silent = True
    seen = []
    # The silence may begin in the output half of a cycle; the next cycle fails on the inputs.
    failure = "get_multi_uint16() station 1, D0 (holding register 0): no answer within 0.2 s (2 tries)"
    eventually(lambda: failure in printed_lines(capsys, seen))
    m.set_y("Y1", True)                     # changed while the line is down
    slave.silent = False
    slave.set(1, HOLDING_REGISTERS, 0, [0x0020])
    m.wait_for_signal("X5", True, timeout=5)
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert slave.get(1, HOLDING_REGISTERS, 100) == [0x0002]


def test_fef_machine_three_modules_are_three_slaves(line, slave, machines):
    m = kvo_fa.FEFMachine(line[0].master_path, 3)
    machines.append(m)
    m.start()
    slave.set_bits_word(2, DISCRETE_INPUTS, 0, 0b10)
    m.sync_xy_refresher()
    m.sync_xy_refresher()
    assert m.x(17) and [m.wx(k) for k in range(3)] == [0, 2, 0]
    m.set_y(47, True)
    m.set_y(0, True)
    m.sync_xy_refresher()
    assert [slave.get_bits_word(s, COILS, 0) for s in (1, 2, 3)] == [1, 0, 0x8000]
    slave.set_bits_word(2, COILS, 0, 7)      # changed in the module: read back into the image
    eventually(lambda: m.wy(1) == 7)
    m.close()
    assert not m.plc.is_open


def test_fef_machine_survives_a_silent_module_and_reports_an_exception(line, slave, machines, capsys):
    m = kvo_fa.FEFMachine(line[0].master_path, 3)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    slave.silent = True
    seen = []
    failure = "get_coil_uint16() station 1, WX0 (discrete inputs 0..15): no answer within 0.5 s (2 tries)"
    eventually(lambda: failure in printed_lines(capsys, seen))
    slave.silent = False
    slave.set_bits_word(3, DISCRETE_INPUTS, 0, 0x4000)
    m.wait_for_signal(46, True, timeout=5)
    m.reset()                                # closes the link; the next cycles reopen it
    slave.set_bits_word(3, DISCRETE_INPUTS, 0, 0)
    m.wait_for_signal(46, False, timeout=5)
    m.close()

    four = kvo_fa.FEFMachine(line[0].master_path, 4)  # the line has no station 4
    machines.append(four)
    four.start()
    seen = []
    eventually(lambda: any("station 4, WX0" in text for text in printed_lines(capsys, seen)))
    assert any(text.startswith("get_coil_uint16() station 4, WX0 (discrete inputs 0..15): exception response")
               for text in seen)
