"""The serial (Modbus RTU) transport of VedUzavur against pymodbus as an
independent slave over a pseudo-terminal pair: every operation, the element
map, errors of the line and of the slave, threads."""
import os
import threading
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_mew  # noqa: E402
from modbus_peer import (COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, INPUT_REGISTERS, R_COIL_BASE,  # noqa: E402
                         ModbusSlave, PtyPair, line, slave, socat_available)

pytestmark = pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")

FAST = dict(timeout=0.2, retries=1)


@pytest.fixture
def port(line):
    return line[0].master_path


@pytest.fixture
def link(port, slave):
    link = kvo_mew.VedUzavur(port, 115200, **FAST)
    yield link
    link.close()


def test_serial_transport_is_built():
    assert kvo_mew.SERIAL_TRANSPORT is True


# --- every operation, through pymodbus's data store -------------------------

def test_relays_reach_the_slave_tables(link, slave):
    slave.set(2, DISCRETE_INPUTS, 0x1F, [True])
    assert link.get_coil(2, "X1F") is True and link.get_coil(1, "X1F") is False
    link.set_coil(3, "Y12", True)
    link.set_coil(3, "R7", 1)
    assert slave.get(3, COILS, 0x12) == [True]
    assert slave.get(3, COILS, R_COIL_BASE + 7) == [True]
    assert link.get_coil(3, "Y12") is True and link.get_coil(3, "R7") is True
    link.set_coil(3, "Y12", False)
    assert slave.get(3, COILS, 0x12) == [False]
    assert slave.requests == [(2, 2), (1, 2), (3, 5), (3, 5), (3, 1), (3, 1), (3, 5)]


def test_relay_words_are_sixteen_bits(link, slave):
    slave.set_bits_word(1, DISCRETE_INPUTS, 16, 0x8001)
    assert link.get_coil_uint16(1, "WX1") == 0x8001
    link.set_coil_uint16(2, "WY0", 0xA5C3)
    assert slave.get_bits_word(2, COILS, 0) == 0xA5C3
    assert link.get_coil_uint16(2, "WY0") == 0xA5C3
    link.set_coil_uint16(1, "WR2", 0xFFFF)
    assert slave.get_bits_word(1, COILS, R_COIL_BASE + 32) == 0xFFFF
    assert [fc for _, fc in slave.requests] == [2, 15, 1, 15]


def test_data_words_are_holding_registers(link, slave):
    slave.set(1, HOLDING_REGISTERS, 7, [100, 101, 102])
    words = link.get_multi_uint16(1, "D7", 3)
    assert type(words) is list and words == [100, 101, 102]
    link.set_uint16(1, "DT5", 0xBEEF)
    link.set_multi_uint16(1, "D20", (1, 2, 0xFFFF))
    assert slave.get(1, HOLDING_REGISTERS, 5) == [0xBEEF]
    assert slave.get(1, HOLDING_REGISTERS, 20, 3) == [1, 2, 0xFFFF]
    assert [fc for _, fc in slave.requests] == [3, 6, 16]
    assert link.get_multi_uint16(1, "D7", 0) == []


def test_double_words_low_word_first(link, slave):
    link.set_uint32(2, "D10", 0x12345678)
    assert slave.get(2, HOLDING_REGISTERS, 10, 2) == [0x5678, 0x1234]
    assert link.get_uint32(2, "D10") == 0x12345678
    link.set_multi_int32(2, "D40", [-2147483648, -1, 0, 2147483647])
    assert slave.get(2, HOLDING_REGISTERS, 40, 8) == [0, 0x8000, 0xFFFF, 0xFFFF, 0, 0, 0xFFFF, 0x7FFF]
    assert link.get_multi_int32(2, "D40", 4) == [-2147483648, -1, 0, 2147483647]
    link.set_multi_uint32(2, "D60", [0xFFFFFFFF, 0x10000])
    assert link.get_multi_uint32(2, "D60", 2) == [0xFFFFFFFF, 0x10000]


def test_word_operations_on_relay_words(link, slave):
    link.set_multi_uint16(1, "WY1", [0x1234, 0x8000])
    assert slave.get_bits_word(1, COILS, 16) == 0x1234 and slave.get_bits_word(1, COILS, 32) == 0x8000
    slave.set_bits_word(1, DISCRETE_INPUTS, 0, 0x00FF)
    slave.set_bits_word(1, DISCRETE_INPUTS, 16, 0xFF00)
    assert link.get_multi_uint16(1, "WX0", 2) == [0x00FF, 0xFF00]


def test_long_blocks_are_split_into_modbus_sized_requests(link, slave):
    values = [(i * 7919) & 0xFFFF for i in range(300)]
    link.set_multi_uint16(1, "D0", values)
    assert slave.get(1, HOLDING_REGISTERS, 0, 300) == values
    assert link.get_multi_uint16(1, "D0", 300) == values
    assert [fc for _, fc in slave.requests] == [16, 16, 16, 3, 3, 3]  # 123 + 123 + 54 written, 125 + 125 + 50 read


# --- the element map -----------------------------------------------------------

def test_default_element_map_is_published():
    assert kvo_mew.DEFAULT_ELEMENT_MAP == {
        "X": ("discrete_inputs", 0), "Y": ("coils", 0), "R": ("coils", 32768), "D": ("holding_registers", 0)}


def test_custom_element_map(port, slave):
    element_map = {"X": ("input_registers", 0), "R": ("holding_registers", 200), "Y": None}
    link = kvo_mew.VedUzavur(port, 115200, element_map=element_map, **FAST)
    try:
        slave.set(1, INPUT_REGISTERS, 3, [0x8000])
        assert link.get_coil_uint16(1, "WX3") == 0x8000
        assert link.get_coil(1, "X3F") is True and link.get_coil(1, "X3E") is False
        slave.set(1, HOLDING_REGISTERS, 201, [0x00F0])
        link.set_coil(1, "R11", True)    # bit 1 of R word 1 = holding register 201, by mask write
        link.set_coil(1, "R14", False)
        assert slave.get(1, HOLDING_REGISTERS, 201) == [0x00E2]
        assert link.get_coil(1, "R11") is True
        link.set_multi_uint16(1, "D0", [5])  # D keeps its default place
        assert slave.get(1, HOLDING_REGISTERS, 0) == [5]
        assert [fc for _, fc in slave.requests] == [4, 4, 4, 22, 22, 3, 6]
        with pytest.raises(kvo_mew.AddressError, match=r"set_coil\(\) X0 cannot be written: .* input registers"):
            link.set_coil(1, "X0", True)
        with pytest.raises(kvo_mew.AddressError, match=r"get_coil\(\) Y0 has no Modbus address: .* leaves Y out"):
            link.get_coil(1, "Y0")
    finally:
        link.close()


@pytest.mark.parametrize("call, message", [
    (lambda l: l.set_coil(1, "X0", True), r"set_coil\(\) X0 cannot be written: .*discrete inputs, which are read-only"),
    (lambda l: l.set_coil_uint16(1, "WX2", 1), r"set_coil_uint16\(\) WX2 cannot be written"),
    (lambda l: l.set_multi_uint16(1, "WX0", [1]), r"set_multi_uint16\(\) WX0 cannot be written"),
    (lambda l: l.get_uint32(1, "D65535"), r"get_uint32\(\) D65535..D65536 has no Modbus address"),
    (lambda l: l.get_multi_uint16(1, "D70000", 1), r"D70000 has no Modbus address"),
    (lambda l: l.get_coil_uint16(1, "WR2048"), r"outside the PLC's memory"),
    (lambda l: l.get_coil(248, "X0"), r"get_coil\(\) station 248 is not a Modbus slave address \(1..247\)"),
])
def test_what_the_map_cannot_address_is_refused_before_the_line(link, slave, call, message):
    with pytest.raises(kvo_mew.AddressError, match=message):
        call(link)
    assert slave.requests == [] and not link.is_open


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(baudrate=12345), ValueError, r"baudrate 12345 is not a standard baud rate"),
    (dict(baudrate="9600"), TypeError, r"baudrate must be an int, not str"),
    (dict(parity="X"), ValueError, r"parity 'X' is not"),
    (dict(bytesize=9), ValueError, r"bytesize 9"),
    (dict(stopbits=3), ValueError, r"stopbits 3"),
    (dict(timeout=0), ValueError, r"timeout 0 is not"),
    (dict(timeout="1"), TypeError, r"timeout must be a number"),
    (dict(retries=-1), ValueError, r"retries -1"),
    (dict(element_map=[]), TypeError, r"element_map must be a dict"),
    (dict(element_map={"Z": None}), ValueError, r"element_map key 'Z'"),
    (dict(element_map={"D": ("registers", 0)}), ValueError, r"element_map\[D\] table 'registers'"),
    (dict(element_map={"D": ("coils", 65536)}), ValueError, r"element_map\[D\] base 65536"),
    (dict(element_map={"D": "coils"}), TypeError, r"element_map\[D\] must be a \(table, base\) pair"),
    (dict(speed=9600), TypeError, r"unexpected keyword argument 'speed'"),
])
def test_bad_settings_are_refused_at_construction(kwargs, error, message):
    with pytest.raises(error, match=message):
        kvo_mew.VedUzavur("/dev/ttyUSB0", **kwargs)


def test_settings_are_kept_and_the_port_opens_lazily(port, slave):
    link = kvo_mew.VedUzavur(port, 19200, parity="E", stopbits=2, timeout=0.2, retries=0)
    try:
        assert (link.port, link.baudrate, link.options) == (port, 19200, {"parity": "E", "stopbits": 2,
                                                                          "timeout": 0.2, "retries": 0})
        assert not link.is_open and repr(link) == "<kvo_mew.VedUzavur port=%r closed>" % port
        link.start()
        assert link.is_open
    finally:
        link.close()


# --- failures of the slave and of the line --------------------------------------

def test_exception_response_names_station_element_and_cause(link, slave):
    with pytest.raises(kvo_mew.SlaveError) as caught:
        link.get_multi_uint16(2, "D299", 2)
    assert str(caught.value) == ("get_multi_uint16() station 2, D299..D300 (holding registers 299..300): "
                                 "exception response 2 (Illegal data address)")
    assert slave.requests == [(2, 3)]  # an answer is final: not tried again
    assert link.is_open and link.get_multi_uint16(2, "D299", 1) == [0]


def test_unknown_station_is_reported_by_the_slave(link, slave):
    with pytest.raises(kvo_mew.SlaveError, match=r"set_coil\(\) station 9, Y0 \(coil 0\): exception response \d+ "):
        link.set_coil(9, "Y0", True)


def test_silent_slave_times_out_and_recovers(link, slave):
    slave.silent = True
    started = time.monotonic()
    with pytest.raises(kvo_mew.LineError) as caught:
        link.get_coil_uint16(3, "WX0")
    assert str(caught.value) == ("get_coil_uint16() station 3, WX0 (discrete inputs 0..15): "
                                 "no answer within 0.2 s (2 tries)")
    assert time.monotonic() - started >= 0.35
    assert slave.requests == [(3, 2), (3, 2)]
    slave.silent = False
    slave.set_bits_word(3, DISCRETE_INPUTS, 0, 0x0102)
    assert link.get_coil_uint16(3, "WX0") == 0x0102


def test_damaged_answers_are_retried_then_reported(link, slave):
    slave.garble = True
    with pytest.raises(kvo_mew.LineError, match=r"set_uint16\(\) station 1, D3 \(holding register 3\): "
                                                r"damaged answer: Invalid CRC \(2 tries\)"):
        link.set_uint16(1, "D3", 9)
    slave.garble = False
    assert link.get_multi_uint16(1, "D3", 1) == [9]


def test_retries_zero_tries_once(port, slave):
    link = kvo_mew.VedUzavur(port, 115200, timeout=0.1, retries=0)
    try:
        slave.silent = True
        with pytest.raises(kvo_mew.LineError, match=r"\(1 try\)"):
            link.get_coil(1, "X0")
        assert len(slave.requests) == 1
    finally:
        link.close()


def test_missing_port_raises_line_error(tmp_path):
    link = kvo_mew.VedUzavur(str(tmp_path / "ttyUSB9"), **FAST)
    with pytest.raises(kvo_mew.LineError, match=r"cannot open serial port '.*ttyUSB9': No such file or directory"):
        link.start()
    with pytest.raises(kvo_mew.LineError, match="cannot open serial port"):
        link.get_coil(1, "X0")
    assert not link.is_open


def fds_on(path):
    """File descriptors of this process open on the terminal behind `path`."""
    target = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + fd) == target:
                found.append(fd)
        except OSError:
            pass
    return found


def test_close_releases_the_port_and_the_next_call_reopens_it(link, port, slave):
    assert fds_on(port) == []
    link.set_uint16(1, "D1", 4)
    assert link.is_open and len(fds_on(port)) == 1
    link.close()
    assert not link.is_open and fds_on(port) == []
    assert link.get_multi_uint16(1, "D1", 1) == [4]
    assert link.is_open and len(fds_on(port)) == 1


def test_unplugged_port_fails_and_the_link_recovers_when_it_returns(tmp_path):
    pair = PtyPair(tmp_path)
    pair.start()
    slave = ModbusSlave(pair.slave_path, device_ids=(1,))
    link = kvo_mew.VedUzavur(pair.master_path, 115200, **FAST)
    try:
        slave.start()
        link.set_uint16(1, "D0", 1)
        slave.stop()
        pair.stop()                      # the adapter is pulled out
        with pytest.raises(kvo_mew.LineError):
            link.set_uint16(1, "D0", 2)
        with pytest.raises(kvo_mew.LineError, match="cannot open serial port"):
            link.set_uint16(1, "D0", 3)
        assert not link.is_open
        pair.start()                     # and plugged in again
        slave = ModbusSlave(pair.slave_path, device_ids=(1,))
        slave.start()
        deadline = time.monotonic() + 10
        while True:                      # as the refresh loop does: try again after a failure
            try:
                link.set_uint16(1, "D0", 4)
                break
            except kvo_mew.LineError:
                assert time.monotonic() < deadline
                time.sleep(0.2)
        assert link.is_open and slave.get(1, HOLDING_REGISTERS, 0) == [4]
    finally:
        link.close()
        slave.stop()
        pair.stop()


# --- threads ---------------------------------------------------------------------

def test_threads_share_one_link_one_transaction_at_a_time(link, slave):
    errors = []

    def station_loop(station):
        try:
            for i in range(40):
                link.set_uint16(station, "D%d" % station, i)
                assert link.get_multi_uint16(station, "D%d" % station, 1) == [i]
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=station_loop, args=(s,)) for s in (1, 2, 3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(slave.requests) == 240


def test_the_gil_is_released_while_the_line_waits(link, slave):
    slave.silent = True
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.005)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        with pytest.raises(kvo_mew.LineError):
            link.get_coil(1, "X0")
    finally:
        done.set()
        counter.join()
    assert len(ticks) >= 10  # the counter ran during the 0.4 s wait
