"""The one-shot answer slot handed between threads."""
import threading
import time

import kvo_fa


def read_in_thread(tco, results):
    t = threading.Thread(target=lambda: results.append(tco.result))
    t.start()
    return t


def test_reader_blocks_until_written():
    tco = kvo_fa.ThreadCommunicationObject("question?")
    results = []
    t = read_in_thread(tco, results)
    time.sleep(0.1)
    assert results == [] and t.is_alive()
    tco.result = None
    t.join(5)
    assert results == [None]


def test_all_blocked_readers_wake():
    tco = kvo_fa.ThreadCommunicationObject()
    results = []
    readers = [read_in_thread(tco, results) for _ in range(2)]
    time.sleep(0.05)
    tco.result = "go"
    for t in readers:
        t.join(5)
    assert results == ["go", "go"]


def test_later_writes_replace_the_answer():
    tco = kvo_fa.ThreadCommunicationObject()
    tco.result = 1
    assert tco.result == 1
    tco.result = 2
    assert tco.result == 2


def test_private_state():
    tco = kvo_fa.ThreadCommunicationObject(1, 2, key="v")
    assert tco._ThreadCommunicationObject__args == (1, 2)
    assert tco._ThreadCommunicationObject__kwargs == {"key": "v"}
    assert tco._ThreadCommunicationObject__result is False
    assert not tco._ThreadCommunicationObject__event.is_set()
    assert list(vars(tco)) == ["_ThreadCommunicationObject__args", "_ThreadCommunicationObject__kwargs",
                               "_ThreadCommunicationObject__result", "_ThreadCommunicationObject__event"]
    assert kvo_fa.ThreadCommunicationObject()._ThreadCommunicationObject__args == ()


def test_waiting_reader_does_not_hold_the_gil():
    tco = kvo_fa.ThreadCommunicationObject()
    t = read_in_thread(tco, [])
    counter = 0
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:
        counter += 1
    tco.result = True
    t.join(5)
    assert counter > 1000
