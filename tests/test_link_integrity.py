"""Every answer belongs to its request, or the transaction fails: the serial
link against a slave that answers late, twice, cut short, with a bad CRC, from
another address, after noise, with a stray frame or not at all. A fault costs
at most the transaction it meets; the next one is in step again."""
import threading
import time

import pytest

import kvo_mew
from modbus_peer import socat_available
from rtu_fault_slave import COILS, HOLDING_REGISTERS, fault_line, faulty  # noqa: F401

pytestmark = pytest.mark.skipif(not socat_available(), reason="needs socat for a pseudo-terminal pair")

INPUTS = [0x1111, 0x2222]   # D0..D1
OUTPUTS = [0x00AA, 0x00BB]  # D100..D101: as many words, so a shifted answer would fit


@pytest.fixture
def words(faulty):
    faulty.set(1, HOLDING_REGISTERS, 0, INPUTS)
    faulty.set(1, HOLDING_REGISTERS, 100, OUTPUTS)
    return faulty


def make_link(fault_line, **settings):
    options = dict(timeout=0.3, retries=1)
    options.update(settings)
    return kvo_mew.VedUzavur(fault_line[0].master_path, 115200, **options)


@pytest.fixture
def link(fault_line):
    link = make_link(fault_line)
    yield link
    link.close()


def reads_in_step(link):
    assert link.get_multi_uint16(1, "D0", 2) == INPUTS
    assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS


# --- the findings: a frame left on the line must not answer the next request ------

def test_late_answer_is_drained_and_the_next_read_is_right(link, words):
    words.inject(("late", 0.4))  # later than the time-out: the retry must not take it
    assert link.get_multi_uint16(1, "D0", 2) == INPUTS
    assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS
    assert [r[2] for r in words.requests] == [0, 0, 100]


def test_duplicated_answer_does_not_answer_the_next_read(link, words):
    words.inject("twice")
    assert link.get_multi_uint16(1, "D0", 2) == INPUTS
    time.sleep(0.1)
    assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS


def test_frame_of_another_address_is_skipped_and_the_wait_goes_on(fault_line, words):
    link = make_link(fault_line, retries=0)
    try:
        words.inject("foreign")
        assert link.get_multi_uint16(1, "D0", 2) == INPUTS
        assert len(words.requests) == 1  # no retry needed
        assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS
    finally:
        link.close()


def test_noise_costs_one_try(link, words):
    words.inject("noise")
    assert link.get_multi_uint16(1, "D0", 2) == INPUTS
    assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS
    assert len(words.requests) == 3


# --- each fault fails the try, never reports a wrong value -----------------------------

@pytest.mark.parametrize("fault, message", [
    ("stray", r"stray frame: function 3 answer with 6 data bytes where 4 were asked \(2 tries\)"),
    ("bad_crc", r"damaged answer: Invalid CRC \(2 tries\)"),
    ("truncated", r"damaged answer: cut short after 4 of 9 bytes \(2 tries\)"),
    ("silent", r"no answer within 0.3 s \(2 tries\)"),
])
def test_faults_on_every_try_fail_the_read_and_the_next_one_is_right(link, words, fault, message):
    words.inject(fault, fault)
    with pytest.raises(kvo_mew.LineError, match=r"^get_multi_uint16\(\) station 1, D0..D1 \(holding registers "
                                                r"0..1\): " + message):
        link.get_multi_uint16(1, "D0", 2)
    reads_in_step(link)


@pytest.mark.parametrize("fault", ["late", "twice", "foreign", "noise", "stray", "bad_crc", "truncated", "silent"])
def test_one_fault_costs_at_most_a_retry(link, words, fault):
    words.inject((fault, 0.4) if fault == "late" else fault)
    reads_in_step(link)
    reads_in_step(link)


@pytest.mark.parametrize("call, check", [
    (lambda l: l.set_uint16(1, "D7", 0x1234), lambda s: s.get(1, HOLDING_REGISTERS, 7) == [0x1234]),
    (lambda l: l.set_multi_uint16(1, "D7", [5, 6]), lambda s: s.get(1, HOLDING_REGISTERS, 7, 2) == [5, 6]),
    (lambda l: l.set_coil(1, "Y3", True), lambda s: s.get(1, COILS, 3) == [1]),
    (lambda l: l.set_coil_uint16(1, "WY1", 0x8001), lambda s: s.get_bits_word(1, COILS, 16) == 0x8001),
])
def test_a_write_answered_by_a_stray_echo_is_tried_again(link, words, call, check):
    words.inject("stray")    # the echo of a write to the next address
    call(link)
    assert check(words) and len(words.requests) == 2
    words.inject("stray", "stray")
    with pytest.raises(kvo_mew.LineError, match=r"stray frame: function \d+ answer for address \d+, "
                                                r"(value|quantity) \d+ where address \d+, .* was asked \(2 tries\)"):
        call(link)
    reads_in_step(link)


def test_mask_write_echo_is_checked(fault_line, words):
    link = make_link(fault_line, element_map={"R": ("holding_registers", 200)})
    try:
        words.inject("stray", "stray")
        with pytest.raises(kvo_mew.LineError, match=r"stray frame: function 22 answer for address 201, "
                                                    r"masks FFFD/0002 where address 200"):
            link.set_coil(1, "R1", True)
        reads_in_step(link)
    finally:
        link.close()


def test_exception_response_is_final(link, words):
    words.inject(("exception", 6))
    with pytest.raises(kvo_mew.SlaveError, match=r"exception response 6 \(Slave device or server is busy\)$"):
        link.get_multi_uint16(1, "D0", 2)
    assert len(words.requests) == 1
    reads_in_step(link)


# --- the one limit and the setting that rules it out -----------------------------------

def test_drain_longer_than_the_slave_is_late_keeps_the_next_read_right(fault_line, words):
    # 0.5 s late with a 0.2 s time-out: only the drain period keeps this
    # answer away from the next request of the same size.
    link = make_link(fault_line, timeout=0.2, retries=0, drain=0.6)
    try:
        words.inject(("late", 0.5))
        with pytest.raises(kvo_mew.LineError, match="no answer within 0.2 s"):
            link.get_multi_uint16(1, "D0", 2)
        assert link.get_multi_uint16(1, "D100", 2) == OUTPUTS
    finally:
        link.close()


@pytest.mark.parametrize("drain, error, message", [
    (-0.1, ValueError, r"drain -0.1 is not a drain period in seconds \(0 <= drain <= 3600\)"),
    (4000, ValueError, r"drain 4000 is not"),
    ("1", TypeError, r"drain must be a number of seconds, not str"),
])
def test_bad_drain_is_refused(drain, error, message):
    with pytest.raises(error, match=message):
        kvo_mew.VedUzavur("/dev/ttyUSB0", drain=drain)


def test_threads_sharing_a_link_through_faults_never_read_a_wrong_word(link, words):
    errors, wrong = [], []
    for station in (1, 2, 3):
        words.set(station, HOLDING_REGISTERS, 10, [station * 0x1000 + 1, station * 0x1000 + 2])
    words.chooser = lambda request: ("twice", None) if request[2] == 10 and request[0] == 2 else None

    def station_loop(station):
        for _ in range(15):
            try:
                values = link.get_multi_uint16(station, "D10", 2)
                if values != [station * 0x1000 + 1, station * 0x1000 + 2]:
                    wrong.append((station, values))
            except kvo_mew.LinkError as error:
                errors.append(error)

    threads = [threading.Thread(target=station_loop, args=(s,)) for s in (1, 2, 3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == [] and errors == []
