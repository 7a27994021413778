"""FPMachine and FEFMachine refreshing through a slave that misbehaves once:
whatever the fault, the input image shows the inputs, the output image the
outputs, and the slave gets the outputs the program set. After an outage the
slave, which came back cleared, gets the outputs again."""
import time

import pytest

import kvo_fa
from modbus_peer import socat_available
from rtu_fault_slave import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, fault_line, faulty  # noqa: F401

pytestmark = pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")

FAULTS = [("late", 0.4), "twice", "foreign", "noise", "stray", "bad_crc", "truncated", "silent"]
IDS = ["late", "twice", "foreign", "noise", "stray", "bad_crc", "truncated", "silent"]


def eventually(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def cycles(machine, n=3):
    for _ in range(n):
        machine.sync_xy_refresher()


@pytest.fixture
def fp(fault_line, faulty, machines):
    faulty.set(1, HOLDING_REGISTERS, 0, [0x1111, 0x2222])
    faulty.set(1, HOLDING_REGISTERS, 100, [0x00A0, 0x00B0])
    m = kvo_fa.FPMachine(2, 2, 100, fault_line[0].master_path, 115200, timeout=0.3, retries=1)
    machines.append(m)
    m.start()
    cycles(m, 2)
    return m


@pytest.fixture
def fef(fault_line, faulty, machines):
    for station in (1, 2, 3):
        faulty.set_bits_word(station, DISCRETE_INPUTS, 0, 0x1000 * station + 1)
        faulty.set_bits_word(station, COILS, 0, 0x0010 * station)
    m = kvo_fa.FEFMachine(fault_line[0].master_path, 3)
    machines.append(m)
    m.start()
    cycles(m, 2)
    return m


@pytest.mark.parametrize("fault", FAULTS, ids=IDS)
def test_fp_machine_images_stay_right_through_a_fault(fp, faulty, fault, capsys):
    faulty.inject(fault)
    cycles(fp)
    assert [fp.wx(0), fp.wx(1)] == [0x1111, 0x2222]
    assert [fp.wy(0), fp.wy(1)] == [0x00A0, 0x00B0]
    faulty.inject(fault)
    fp.set_y("Y1", True)
    cycles(fp)
    assert faulty.get(1, HOLDING_REGISTERS, 100, 2) == [0x00A2, 0x00B0]
    assert [fp.wx(0), fp.wx(1), fp.wy(0), fp.wy(1)] == [0x1111, 0x2222, 0x00A2, 0x00B0]


@pytest.mark.parametrize("fault", FAULTS, ids=IDS)
def test_fef_machine_images_stay_right_through_a_fault(fef, faulty, fault, capsys):
    faulty.inject(fault)
    cycles(fef)
    assert [fef.wx(k) for k in range(3)] == [0x1001, 0x2001, 0x3001]
    assert [fef.wy(k) for k in range(3)] == [0x10, 0x20, 0x30]
    faulty.inject(fault)
    fef.set_y(32, True)                    # bit 0 of module 3
    cycles(fef)
    assert [faulty.get_bits_word(s, COILS, 0) for s in (1, 2, 3)] == [0x10, 0x20, 0x31]
    assert [fef.wx(k) for k in range(3)] == [0x1001, 0x2001, 0x3001]


def silence_until_a_cycle_failed(slave, capsys, failure):
    slave.chooser = lambda request: ("silent", None)
    printed = []

    def failed():
        printed.append(capsys.readouterr().out)
        return failure in "".join(printed)

    eventually(failed)


def test_fp_machine_rewrites_its_outputs_after_an_outage(fp, faulty, capsys):
    fp.set_y("Y0", True)
    fp.set_y("Y5", True)
    cycles(fp)
    assert faulty.get(1, HOLDING_REGISTERS, 100) == [0x00A0 | 0x21]
    silence_until_a_cycle_failed(faulty, capsys, "no answer within 0.3 s")
    faulty.set(1, HOLDING_REGISTERS, 100, [0, 0])     # the PLC came back cleared
    faulty.chooser = None
    cycles(fp)
    assert faulty.get(1, HOLDING_REGISTERS, 100, 2) == [0x00A0 | 0x21, 0x00B0]
    assert fp.y("Y0") and fp.y("Y5")


def test_fef_machine_rewrites_its_outputs_after_an_outage(fef, faulty, capsys):
    fef.set_y(1, True)
    cycles(fef)
    assert faulty.get_bits_word(1, COILS, 0) == 0x12
    silence_until_a_cycle_failed(faulty, capsys, "no answer within 0.5 s")
    for station in (1, 2, 3):
        faulty.set_bits_word(station, COILS, 0, 0)
    faulty.chooser = None
    cycles(fef)
    assert [faulty.get_bits_word(s, COILS, 0) for s in (1, 2, 3)] == [0x12, 0x20, 0x30]
    assert fef.y(1)
