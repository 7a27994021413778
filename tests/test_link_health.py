"""A link's health view, its state callback and its log on the simulated PLC:
the counters under injected failures, the transitions up and down, and what
the kvo_mew loggers show (the serial line: test_link_on_a_line.py)."""
import logging
import sys
import threading
import time

import pytest

import kvo_mew

CAUSES = {"timeout", "crc", "exception", "stray", "closed", "port", "interrupted", "other"}


def failures(link):
    return {cause: n for cause, n in link.health.failures.items() if n}


# --- the simulated PLC ---------------------------------------------------------

def test_a_new_link_is_up_and_has_done_nothing(link):
    health = link.health
    assert (health.transactions, health.good, health.failed, health.retries, health.reopens) == (0, 0, 0, 0, 0)
    assert health.up is True and health.since_good is None and health.last_error is None
    assert health.last_cause is None and health.last_station == 0
    assert set(health.failures) == CAUSES and not any(health.failures.values())


def test_good_and_failed_transactions_are_counted_and_the_last_error_kept(plc, link):
    link.set_uint16(1, "D0", 7)
    assert link.get_multi_uint16(1, "D0", 2) == [7, 0]
    assert link.health.good == 2 and link.health.up and 0 <= link.health.since_good < 5
    plc.fail_next(2)
    raised = []
    for _ in range(2):
        with pytest.raises(kvo_mew.LinkError) as caught:
            link.get_coil(3, "X0")
        raised.append(caught.value)
    health = link.health
    assert (health.transactions, health.good, health.failed) == (4, 2, 2)
    assert failures(link) == {"other": 2}
    assert health.up is False and health.last_cause == "other" and health.last_station == 3
    assert health.last_error is raised[-1]          # the very object the caller got
    time.sleep(0.05)
    assert link.health.since_good >= 0.05
    link.get_coil(1, "X0")
    assert link.health.up is True and link.health.last_error is raised[-1]


def test_refused_calls_never_reach_the_plc_and_are_not_counted(link):
    with pytest.raises(kvo_mew.AddressError):
        link.get_multi_uint16(1, "Q0", 1)
    with pytest.raises(TypeError):
        link.set_uint16(1, "D0", "7")
    assert link.health.transactions == 0


def test_health_is_a_copy_taken_when_read(plc, link):
    before = link.health
    link.get_coil(1, "X0")
    assert before.transactions == 0 and link.health.transactions == 1
    assert "up, 1 transactions, 0 failed" in repr(link.health)


def test_reopens_count_every_open_after_the_first(link):
    link.start()
    link.get_coil(1, "X0")
    link.close()
    link.get_coil(1, "X0")
    link.close()
    link.start()
    assert link.health.reopens == 2


def test_the_health_view_is_read_while_a_transaction_waits(plc, link):
    plc.latency = 0.5
    worker = threading.Thread(target=link.get_coil, args=(1, "X0"))
    worker.start()
    try:
        time.sleep(0.1)
        started = time.monotonic()
        assert link.health.transactions == 0
        assert time.monotonic() - started < 0.3    # not behind the link's mutex
    finally:
        worker.join()


def test_state_callback_hears_each_transition_once_on_the_transaction_thread(plc, link):
    heard = []

    def on_state_change(which, up):
        heard.append((which is link, up, threading.get_ident()))
        if up:  # the link's lock is not held: a transaction from the callback goes through
            assert which.get_multi_uint16(1, "D0", 1) == [0]

    link.on_state_change = on_state_change
    assert link.on_state_change is on_state_change
    link.get_coil(1, "X0")                       # up already: no transition
    plc.fail_next(2)
    for _ in range(2):
        with pytest.raises(kvo_mew.LinkError):
            link.get_coil(1, "X0")
    link.get_coil(1, "X0")
    link.get_coil(1, "X0")
    me = threading.get_ident()
    assert heard == [(True, False, me), (True, True, me)]


def test_a_failing_state_callback_is_reported_and_the_call_goes_on(plc, link, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    link.on_state_change = lambda which, up: 1 / 0
    plc.fail_next(1)
    with pytest.raises(kvo_mew.LinkError):
        link.get_coil(1, "X0")
    assert link.get_coil(1, "X0") is False
    assert [type(u.exc_value) for u in unraisable] == [ZeroDivisionError, ZeroDivisionError]
    link.on_state_change = None
    with pytest.raises(TypeError, match="on_state_change must be callable or None"):
        link.on_state_change = 5


# --- the log ---------------------------------------------------------------------

@pytest.fixture
def kvo_log(caplog):
    caplog.set_level(logging.DEBUG, logger="kvo_mew")
    yield caplog
    logging.getLogger("kvo_mew").setLevel(logging.NOTSET)


def records(caplog, name):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == name]


def test_frames_are_logged_in_hex_at_debug(plc, link, kvo_log):
    plc.set("D1", 0xBEEF)
    link.set_multi_uint16(2, "D0", [1, 0x21])
    link.get_multi_uint16(1, "D0", 2)
    link.set_coil(1, "Y3", True)
    port = "sim://" + plc.name
    assert records(kvo_log, "kvo_mew.frames") == [
        ("DEBUG", port + " > station 2 set_multi_uint16 D0..D1: 0001 0021"),
        ("DEBUG", port + " < done"),
        ("DEBUG", port + " > station 1 get_multi_uint16 D0..D1"),
        ("DEBUG", port + " < 0000 BEEF"),
        ("DEBUG", port + " > station 1 set_coil Y3: 1"),
        ("DEBUG", port + " < done"),
    ]


def test_down_up_and_each_failure_are_logged(plc, link, kvo_log):
    port = "sim://" + plc.name
    plc.fail_next(2)
    for _ in range(2):
        with pytest.raises(kvo_mew.LinkError):
            link.get_coil(4, "X0")
    link.get_coil(4, "X0")
    logged = records(kvo_log, "kvo_mew.link")
    failure = ("simulated PLC '%s' failed the get_coil transaction of station 4 (fail_next)" % plc.name)
    assert logged[0] == ("DEBUG", port + " station 4: get_coil() failed (other): " + failure)
    assert logged[1] == ("WARNING", "link down: " + port + " station 4: " + failure)
    assert logged[2][0] == "DEBUG"
    assert logged[3][0] == "INFO" and logged[3][1].startswith("link up: " + port + " answers again after ")
    assert len(logged) == 4
    assert ("DEBUG", port + " < failed (other)") in records(kvo_log, "kvo_mew.frames")


def test_a_disabled_logger_formats_no_frame(plc, link, caplog):
    """With kvo_mew below DEBUG not one record is made for a frame: the link
    asks the logger and goes on."""
    frames = logging.getLogger("kvo_mew.frames")
    made = []
    original = frames.log
    frames.log = lambda *args, **kwargs: (made.append(args), original(*args, **kwargs))
    try:
        caplog.set_level(logging.INFO, logger="kvo_mew")
        for _ in range(50):
            link.get_multi_uint16(1, "D0", 4)
        assert made == []
        caplog.set_level(logging.DEBUG, logger="kvo_mew")
        link.get_multi_uint16(1, "D0", 4)
        assert len(made) == 2
    finally:
        del frames.log
        logging.getLogger("kvo_mew").setLevel(logging.NOTSET)


def test_a_broken_log_handler_never_fails_a_transaction(plc, link, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    frames = logging.getLogger("kvo_mew.frames")
    frames.setLevel(logging.DEBUG)
    frames.log = lambda *args, **kwargs: 1 / 0
    try:
        assert link.get_multi_uint16(1, "D0", 1) == [0]
    finally:
        del frames.log
        frames.setLevel(logging.NOTSET)
    assert unraisable and isinstance(unraisable[0].exc_value, ZeroDivisionError)


def test_the_frame_log_follows_every_change_of_the_logger(plc, link, caplog):
    """Whether frames are logged follows the logger at every transaction: its
    level, its `disabled` flag, logging.disable and an isEnabledFor of its own."""
    frames = logging.getLogger("kvo_mew.frames")

    def logged():
        caplog.clear()
        link.get_multi_uint16(1, "D0", 1)
        return len(records(caplog, "kvo_mew.frames"))

    caplog.set_level(logging.DEBUG, logger="kvo_mew")
    try:
        assert logged() == 2 and logged() == 2  # the second answer comes from logging's cache
        frames.disabled = True
        assert logged() == 0
        frames.disabled = False
        assert logged() == 2
        logging.disable(logging.DEBUG)
        assert logged() == 0
        logging.disable(logging.NOTSET)
        assert logged() == 2
        frames.setLevel(logging.INFO)
        assert logged() == 0
        frames.setLevel(logging.NOTSET)
        frames.isEnabledFor = lambda level: False
        assert logged() == 0
        del frames.isEnabledFor
        assert logged() == 2
        logging.getLogger("kvo_mew").setLevel(logging.INFO)
        assert logged() == 0
    finally:
        frames.disabled = False
        logging.disable(logging.NOTSET)
        frames.setLevel(logging.NOTSET)
        logging.getLogger("kvo_mew").setLevel(logging.NOTSET)


class _InterruptingHandler(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("link down"):
            raise KeyboardInterrupt


@pytest.mark.parametrize("where", ["state callback", "link log"])
def test_a_ctrl_c_in_the_state_callback_or_the_link_log_reaches_the_program(plc, link, monkeypatch, where):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    if where == "state callback":
        def interrupted(which, up):
            raise KeyboardInterrupt
        link.on_state_change = interrupted
    else:
        handler = _InterruptingHandler()
        logging.getLogger("kvo_mew.link").addHandler(handler)
        monkeypatch.setattr(logging.getLogger("kvo_mew.link"), "level", logging.WARNING)
    plc.fail_next(1)
    try:
        with pytest.raises(KeyboardInterrupt):
            try:
                link.get_coil(1, "X0")
            except kvo_mew.LinkError:
                pass
            for _ in range(50):  # the pending Ctrl-C is raised at the next check
                time.sleep(0.001)
    finally:
        link.on_state_change = None
        if where == "link log":
            logging.getLogger("kvo_mew.link").removeHandler(handler)
    assert unraisable == []
