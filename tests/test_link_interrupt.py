"""Ctrl-C and close() always win: a link transaction waits in short slices,
so a close() from another thread, an interrupted thread or a signal on the
main thread ends it at once, on a silent serial slave and on a simulated PLC
with a long latency; a machine's close on a hanging link returns at once."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kvo_fa
import kvo_mew
from modbus_peer import socat_available
from rtu_fault_slave import HOLDING_REGISTERS, fault_line, faulty  # noqa: F401

needs_socat = pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")

SLOW = dict(timeout=4, retries=2)  # a silent slave holds a call for 12 s


def silence(slave):
    slave.chooser = lambda request: ("silent", None)


def ended_by_close(call, link, wait=0.5):
    """Runs `call` in a thread, closes `link` after `wait` seconds: (error, seconds from close to the end)."""
    outcome = []

    def run():
        try:
            call()
            outcome.append(None)
        except Exception as error:  # reported to the test
            outcome.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    time.sleep(wait)
    closed = time.monotonic()
    link.close()
    thread.join(10)
    assert not thread.is_alive()
    return outcome[0], time.monotonic() - closed


@needs_socat
def test_close_from_another_thread_ends_a_serial_transaction(fault_line, faulty):
    link = kvo_mew.VedUzavur(fault_line[0].master_path, 115200, drain=0.2, **SLOW)
    try:
        silence(faulty)
        error, seconds = ended_by_close(lambda: link.get_multi_uint16(1, "D0", 2), link)
        assert type(error) is kvo_mew.LinkError and str(error) == "get_multi_uint16() station 1: link closed"
        assert seconds < 1.5
        assert not link.is_open
        faulty.chooser = None
        faulty.set(1, HOLDING_REGISTERS, 0, [7, 8])
        assert link.get_multi_uint16(1, "D0", 2) == [7, 8]  # reopened, drained, in step
    finally:
        link.close()


def test_close_from_another_thread_ends_the_simulated_latency(plc, link):
    plc.latency = 30
    error, seconds = ended_by_close(lambda: link.get_multi_uint16(1, "D0", 2), link)
    assert type(error) is kvo_mew.LinkError and "link closed" in str(error)
    assert seconds < 1.5
    assert plc.counts == {}  # ended before it reached the PLC


def test_calls_waiting_for_the_link_end_with_the_close_too(plc, link):
    plc.latency = 30
    errors = []

    def call():
        try:
            link.set_uint16(1, "D0", 1)
        except kvo_mew.LinkError as error:
            errors.append(str(error))

    threads = [threading.Thread(target=call) for _ in range(3)]
    for thread in threads:
        thread.start()
    time.sleep(0.3)
    link.close()
    for thread in threads:
        thread.join(5)
    assert errors == ["set_uint16() station 1: link closed"] * 3
    plc.latency = 0
    link.set_uint16(1, "D0", 5)
    assert plc.get("D0") == 5


def test_an_interrupted_thread_fails_its_transactions_until_resumed(plc, link):
    plc.latency = 30
    me = threading.get_ident()
    timer = threading.Timer(0.3, kvo_mew.VedUzavur.interrupt_thread, (me,))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(kvo_mew.LinkError, match=r"^get_coil\(\) station 1: transaction interrupted$"):
            link.get_coil(1, "X0")
        assert time.monotonic() - started < 2
        with pytest.raises(kvo_mew.LinkError, match="transaction interrupted"):
            link.get_coil(1, "X0")
    finally:
        timer.join()
        kvo_mew.VedUzavur.resume_thread(me)
    plc.latency = 0
    assert link.get_coil(1, "X0") is False and link.is_open


# --- Ctrl-C, in a child process of its own -----------------------------------------

CHILD_PRELUDE = """
import json, sys, time
import kvo_fa, kvo_mew
def report(**fields):
    print(json.dumps(fields), flush=True)
"""


def interrupted_child(body, wait, env_port=None):
    """Runs `body` in a child Python, sends it SIGINT after `wait` seconds
    (once it printed "ready"): (reports it printed, seconds from SIGINT to exit)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if env_port:
        env["PORT"] = env_port
    child = subprocess.Popen([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(wait)
        signalled = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        seconds = time.monotonic() - signalled
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    reports = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return reports, seconds, err


@needs_socat
def test_ctrl_c_ends_a_serial_transaction_and_leaves_the_port_clean(fault_line, faulty):
    faulty.set(1, HOLDING_REGISTERS, 0, [0x4321])
    faulty.inject("silent")
    reports, seconds, err = interrupted_child("""
        import os
        link = kvo_mew.VedUzavur(os.environ["PORT"], 115200, timeout=4, retries=2, drain=0.3)
        print("ready", flush=True)
        started = time.monotonic()
        try:
            link.get_multi_uint16(1, "D0", 1)
        except KeyboardInterrupt:
            report(interrupted=time.monotonic() - started)
        report(next=link.get_multi_uint16(1, "D0", 1))
        link.close()
    """, 1.0, fault_line[0].master_path)
    assert [sorted(r) for r in reports] == [["interrupted"], ["next"]], err
    assert reports[0]["interrupted"] < 3 and reports[1]["next"] == [0x4321]
    assert seconds < 5


def test_ctrl_c_ends_the_simulated_latency():
    reports, seconds, err = interrupted_child("""
        plc = kvo_mew.simulator("ctrl-c")
        plc.latency = 30
        link = kvo_mew.VedUzavur("sim://ctrl-c")
        print("ready", flush=True)
        started = time.monotonic()
        try:
            link.get_coil(1, "X0")
        except KeyboardInterrupt:
            report(interrupted=time.monotonic() - started)
    """, 0.5)
    assert len(reports) == 1, err
    assert reports[0]["interrupted"] < 3 and seconds < 5


@needs_socat
def test_ctrl_c_in_sync_xy_refresher_and_close_on_a_hanging_link(fault_line, faulty):
    silence(faulty)
    reports, seconds, err = interrupted_child("""
        import os
        m = kvo_fa.FPMachine(1, 1, 100, os.environ["PORT"], 115200, timeout=4, retries=2)
        m.start()
        print("ready", flush=True)
        try:
            m.sync_xy_refresher()
        except KeyboardInterrupt:
            pass
        finally:
            started = time.monotonic()
            m.close()
            report(close=time.monotonic() - started, link_open=m.native_machine_handle.is_open)
            m.native_machine_handle.close()
    """, 1.0, fault_line[0].master_path)
    assert len(reports) == 1, err
    assert reports[0]["close"] < 2 and reports[0]["link_open"] is True
    assert seconds < 6


# --- a machine's close on a hanging link ------------------------------------------

@needs_socat
@pytest.mark.parametrize("make", [
    lambda port: kvo_fa.FPMachine(2, 1, 100, port, 115200, drain=0.3, **SLOW),
    lambda port: kvo_fa.FEFMachine(port, 2),
], ids=["fp", "fef"])
def test_machine_close_on_a_hanging_link_returns_at_once(fault_line, faulty, machines, make, capsys):
    m = make(fault_line[0].master_path)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    silence(faulty)
    time.sleep(0.6)            # the updater is waiting for an answer now
    started = time.monotonic()
    m.close()
    assert time.monotonic() - started < 1.5
    faulty.chooser = None
    faulty.set(1, HOLDING_REGISTERS, 0, [0x55])
    if isinstance(m, kvo_fa.FPMachine):
        assert m.native_machine_handle.is_open  # its close leaves the link open, and usable
        assert m.get_multi_uint16("D0", 1) == [0x55]
        m.start()              # and the machine refreshes through it again
        m.sync_xy_refresher()
        assert m.wx(0) == 0x55
    else:
        assert not m.plc.is_open


def test_machine_close_ends_the_simulated_latency(plc, machines):
    m = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(m)
    m.start()
    m.sync_xy_refresher()
    plc.latency = 30
    time.sleep(0.3)
    started = time.monotonic()
    m.close()
    assert time.monotonic() - started < 1.5
    plc.latency = 0
    assert m.native_machine_handle.is_open and m.get_multi_uint16("D0", 1) == [0]
