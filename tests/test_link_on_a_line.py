"""Link health, the link's log and the link watchdog on a real serial line:
pymodbus as the slave on one end of a socat pty pair, the link on the other."""
import re
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import line, socat_available  # noqa: E402,F401
from test_link_health import failures, kvo_log, records  # noqa: E402,F401
from test_link_watchdog import Stations, wait_until  # noqa: E402

pytestmark = pytest.mark.skipif(not (kvo_mew.SERIAL_TRANSPORT and socat_available()),
                                reason="needs the serial transport and socat")


@pytest.fixture
def line_link(line):
    pair, peer = line
    peer.reset()
    link = kvo_mew.VedUzavur(pair.master_path, 115200, timeout=0.15, retries=1)
    yield link, peer
    peer.silent = peer.garble = False
    link.close()


@pytest.mark.parametrize("fault, call, cause, error, retries", [
    ("silent", lambda link: link.get_multi_uint16(1, "D0", 2), "timeout", kvo_mew.LineError, 1),
    ("garble", lambda link: link.set_uint16(1, "D3", 9), "crc", kvo_mew.LineError, 1),
    (None, lambda link: link.get_multi_uint16(1, "D300", 1), "exception", kvo_mew.SlaveError, 0),
])
def test_serial_failures_are_counted_by_cause(line_link, fault, call, cause, error, retries):
    link, peer = line_link
    assert link.get_multi_uint16(1, "D0", 1) == [0]
    if fault:
        setattr(peer, fault, True)
    with pytest.raises(error) as caught:
        call(link)
    health = link.health
    assert failures(link) == {cause: 1} and health.last_cause == cause and health.up is False
    assert health.retries == retries and health.last_error is caught.value and health.last_station == 1
    setattr(peer, fault or "silent", False)
    assert link.get_multi_uint16(1, "D0", 1) == [0]
    assert link.health.up is True and link.health.good == 2


def test_a_port_that_cannot_be_opened_counts_as_port(tmp_path):
    link = kvo_mew.VedUzavur(str(tmp_path / "ttyUSB9"), timeout=0.1)
    with pytest.raises(kvo_mew.LineError):
        link.get_coil(1, "X0")
    assert failures(link) == {"port": 1} and link.health.last_station == 1


def test_the_serial_frames_and_the_silent_line_are_logged(line_link, kvo_log):
    link, peer = line_link
    port = link.port
    peer.set(1, 3, 0, [0x1234])
    assert link.get_multi_uint16(1, "D0", 1) == [0x1234]
    peer.silent = True
    with pytest.raises(kvo_mew.LineError):
        link.get_multi_uint16(1, "D0", 1)
    assert records(kvo_log, "kvo_mew.frames") == [
        ("DEBUG", port + " > station 1 get_multi_uint16 D0"),
        ("DEBUG", port + " < 1234"),
        ("DEBUG", port + " > station 1 get_multi_uint16 D0"),
        ("DEBUG", port + " < failed (timeout)"),
    ]
    assert ("WARNING", "link down: " + port + " station 1: no answer within 0.15 s") in records(kvo_log, "kvo_mew.link")


def test_an_unanswering_slave_gives_the_link_down_fault_not_a_sensor_timeout(line, machines):
    pair, peer = line
    peer.reset()
    machine = kvo_fa.FPMachine(1, 1, 100, pair.master_path, 115200, timeout=0.2, retries=0)
    machines.append(machine)
    offered = []
    machine.exception_event.subscribe(offered.append)
    machine.start()
    try:
        machine.sync_xy_refresher()
        with kvo_mew.LinkWatchdog(machine, 0.5) as watchdog:
            stations = Stations(machine)
            peer.silent = True
            started = time.monotonic()
            ended = stations.join()
            assert [type(e) for e in ended] == [kvo_fa.AbortByOtherException] * 2
            assert time.monotonic() - started < 5
            fault = watchdog.fault
            assert offered == [fault]
            assert re.fullmatch(r"PLC link down for \d+\.\d s: %s station 1: no answer within 0\.2 s"
                                % re.escape(pair.master_path), str(fault)), str(fault)
            assert fault.cause == "timeout" and machine.native_machine_handle.health.last_cause == "timeout"
            peer.silent = False
            wait_until(lambda: machine.native_machine_handle.health.up)
            machine.reset()
            peer.set(1, 3, 0, [1])                   # X0 on: D0 bit 0
            machine.wait_for_signal("X0", True, timeout=5, check_interval=0.02)
            assert len(offered) == 1
    finally:
        peer.silent = False
