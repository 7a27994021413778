"""The simulated PLC's own side: direct access, the I/O program, latency, failures, counters."""
import logging
import threading
import time

import pytest

import kvo_mew


def test_simulator_is_shared_by_name_and_dropped_by_reset(plc):
    plc.set("D1", 5)
    assert kvo_mew.simulator(plc.name).get("D1") == 5
    kvo_mew.reset_simulators()
    assert kvo_mew.simulator(plc.name).get("D1") == 0
    with pytest.raises(ValueError):
        kvo_mew.simulator("")
    with pytest.raises(TypeError):
        kvo_mew.simulator(3)


def test_direct_access_to_relays_words_and_double_words(plc):
    plc.set("X3", True, station=1)
    plc.set("Y1F", 1)
    plc.set("WX0", 0x8001, station=2)
    plc.set_uint32("D10", 0x00020001)
    plc.set_int32("DT20", -3, station=4)
    assert plc.get("X3") is True and plc.get("X2") is False
    assert plc.get("WX0", station=1) == 8 and plc.get("WY1") == 0x8000
    assert plc.get("X0", station=2) is True and plc.get("XF", station=2) is True
    assert (plc.get("D10"), plc.get("D11"), plc.get_uint32("D10")) == (1, 2, 0x00020001)
    assert plc.get_int32("D20", station=4) == -3 and plc.get_uint32("D20", station=4) == 0xFFFFFFFD
    assert plc.counts == {}  # the machine's side is no link transaction


@pytest.mark.parametrize("call, error", [
    (lambda p: p.get("Q1"), kvo_mew.AddressError),
    (lambda p: p.get("D100000"), kvo_mew.AddressError),
    (lambda p: p.get_uint32("D99999"), kvo_mew.AddressError),
    (lambda p: p.get_uint32("X0"), kvo_mew.AddressError),
    (lambda p: p.get("D0", station=0), kvo_mew.AddressError),
    (lambda p: p.set("D0", 65536), ValueError),
    (lambda p: p.set("X0", 2), ValueError),
    (lambda p: p.set("X0", None), TypeError),
    (lambda p: p.set_int32("D0", 1 << 31), ValueError),
    (lambda p: p.map_io(2, 2, 99999), kvo_mew.AddressError),
    (lambda p: p.map_io(1001, 0, 0), kvo_mew.AddressError),
    (lambda p: p.map_io(-1, 0, 0), ValueError),
    (lambda p: p.fail_next(-1), ValueError),
])
def test_direct_access_refuses_bad_arguments(plc, call, error):
    with pytest.raises(error):
        call(plc)
    assert plc.get("D0") == 0 and plc.get_uint32("D99998") == 0


def test_map_io_runs_the_fp_register_map_program(plc, link):
    plc.map_io(x_words=2, y_words=1, y_shift=100, station=1)
    plc.set("X3", True)
    plc.set("X1F", True)
    assert link.get_multi_uint16(1, "D0", 2) == [8, 0x8000]  # inputs copied before serving
    link.set_multi_uint16(1, "D100", [0b101])
    assert (plc.get("Y0"), plc.get("Y1"), plc.get("Y2")) == (True, False, True)  # outputs after serving
    assert link.get_multi_uint16(1, "D100", 1) == [0b101]
    # Only transactions run the program; the program is the station's own.
    plc.set("X0", True)
    assert plc.get("D0") == 8
    link.set_uint16(2, "D100", 1)
    assert plc.get("Y0", station=2) is False


def test_map_io_with_no_words_removes_the_program(plc, link):
    plc.map_io(1, 1, 10)
    plc.map_io(0, 0, 0)
    plc.set("X0", True)
    link.set_uint16(1, "D10", 1)
    assert plc.get("D0") == 0 and plc.get("WY0") == 0


def test_fail_next_fails_that_many_transactions_and_changes_nothing(plc, link):
    plc.map_io(1, 1, 10)
    plc.set("X0", True)
    plc.fail_next(2)
    for _ in range(2):
        with pytest.raises(kvo_mew.LinkError, match="fail_next"):
            link.set_uint16(1, "D10", 3)
    assert (plc.get("D0"), plc.get("D10"), plc.get("WY0")) == (0, 0, 0)
    link.set_uint16(1, "D10", 3)
    assert (plc.get("D0"), plc.get("WY0")) == (1, 3)
    plc.fail_next(5)
    plc.fail_next(0)
    assert link.get_coil(1, "Y0") is True


def test_counts_every_transaction_per_operation(plc, link):
    plc.fail_next(1)
    with pytest.raises(kvo_mew.LinkError):
        link.get_coil_uint16(1, "WX0")
    link.get_coil_uint16(2, "WX0")
    link.set_coil_uint16(1, "WY0", 1)
    link.set_multi_uint16(1, "D0", [1, 2, 3])
    link.start()
    link.close()
    assert plc.counts == {"get_coil_uint16": 2, "set_coil_uint16": 1, "set_multi_uint16": 1}
    plc.reset_counts()
    assert plc.counts == {}


def test_a_call_that_finds_the_link_busy_waits_with_the_gil_released(plc, link):
    """Without latency a transaction keeps the GIL only when it finds the link
    free; a call behind another one lets the GIL go while it waits. Here the
    first transaction holds the link until a timer thread (which needs the
    GIL) ends it: a waiter holding the GIL would never return."""
    inside, release, block = threading.Event(), threading.Event(), []

    def function(x1):
        if block:
            block.clear()
            inside.set()
            release.wait(10)
        return False

    plc.add_callback("X4", ["X1"], function, name="holder")
    block.append(True)
    first = threading.Thread(target=link.get_multi_uint16, args=(1, "D0", 1))
    first.start()
    releaser = threading.Timer(0.1, release.set)
    try:
        assert inside.wait(10)  # the first transaction holds the link's lock
        releaser.start()
        assert link.get_multi_uint16(1, "D0", 1) == [0]
        assert release.is_set()
    finally:
        release.set()
        releaser.cancel()
        if releaser.is_alive():
            releaser.join()
        first.join()


def test_latency_is_slept_with_the_gil_released(plc, link):
    plc.latency = 0.3
    assert plc.latency == 0.3
    progress, stop = [], threading.Event()

    def other_thread():
        while not stop.is_set():
            progress.append(time.monotonic())
            time.sleep(0.005)

    thread = threading.Thread(target=other_thread)
    thread.start()
    try:
        started = time.monotonic()
        link.set_uint16(1, "D0", 1)
        ended = time.monotonic()
    finally:
        stop.set()
        thread.join()
    assert ended - started >= 0.29
    assert any(started + 0.05 < t < ended - 0.05 for t in progress)
    plc.latency = 0
    with pytest.raises(ValueError):
        plc.latency = -1
    with pytest.raises(ValueError):
        plc.latency = float("nan")
    with pytest.raises(ValueError):
        plc.latency = 1e12  # would overflow the sleep


def test_direct_access_is_not_held_up_by_a_slow_transaction(plc, link):
    plc.latency = 0.5
    thread = threading.Thread(target=link.set_uint16, args=(1, "D0", 1))
    thread.start()
    try:
        time.sleep(0.05)
        started = time.monotonic()
        plc.set("X0", True)
        assert plc.get("D0") == 0
        assert time.monotonic() - started < 0.3
    finally:
        thread.join()
    assert plc.get("D0") == 1


def test_opening_a_simulator_nobody_made_warns_and_makes_it(caplog):
    """A sim:// port whose simulator the program never made (a typing
    mistake, most often) is told on kvo_mew.link, with the names there are;
    the link still gets a simulator of its own."""
    kvo_mew.reset_simulators()
    kvo_mew.simulator("warn-cell")
    caplog.set_level(logging.WARNING, logger="kvo_mew.link")

    def warnings():
        return [r.getMessage() for r in caplog.records if r.name == "kvo_mew.link" and r.levelname == "WARNING"]

    made = kvo_mew.VedUzavur("sim://warn-known")
    typo = kvo_mew.VedUzavur("sim://warn-cel")
    try:
        kvo_mew.simulator("warn-known")
        made.start()
        assert warnings() == []
        typo.set_uint16(1, "D0", 7)
        assert warnings() == ["sim://warn-cel: no kvo_mew.simulator('warn-cel') was made, so the link made one; "
                              "the simulators are 'warn-cell', 'warn-known'"]
        assert kvo_mew.simulator("warn-cel").get("D0") == 7
        typo.close()
        typo.start()  # its simulator exists now
        assert len(warnings()) == 1
        kvo_mew.reset_simulators()
        lone = kvo_mew.VedUzavur("sim://warn-lone")
        lone.start()
        lone.close()
        assert warnings()[-1].endswith("so the link made one; there are no other simulators")
    finally:
        made.close()
        typo.close()
        kvo_mew.reset_simulators()
