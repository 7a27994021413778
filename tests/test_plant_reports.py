"""What the plant page accepts as a machine's report: hostile payloads from any
broker client are refused with a reason, mark only their own machine, and never
reach a page as something its browser cannot render."""
import json
import logging
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

pytest.importorskip("paho.mqtt.client")

from kvo_kit.plant.plant_view import PlantView  # noqa: E402
from kvo_kit.plant.reports import FIELDS, BadReport, check, decode  # noqa: E402
from kvo_kit.plant.schema import encode, payload  # noqa: E402

GOOD = {
    "info": {"kind": "FPMachine", "x_names": ["X0"], "y_names": ["Y0"], "labels": {"X0": "part"}, "commands": []},
    "state": {"state": "running", "packml": {"state": "Execute", "state_number": 6, "mode": "Production"}},
    "fault": {"active": False, "message": "jam", "type": "XException", "raised": 1.0, "cleared": 2.0},
    "stations": {"stations": {"feed": "working"}},
    "counters": {"cycles": 3, "cycle_time": 0.5, "cycle_time_mean": None, "faults": 0, "link_failures": None,
                 "link": {"transactions": 4, "last_error": None}},
    "io": {"x": [1], "y": [0xFFFF]},
    "heartbeat": {"uptime": 1.0, "interval": 5.0, "queued": 0, "dropped": 0, "published": 9},
    "ack": {"id": "t1", "command": "reset", "accepted": True},
    "packml": {"StateCurrent": 6, "StateCurrentName": "Execute", "ProdProcessedCount": 7, "ProdDefectiveCount": 1,
               "StateCurrentTime": 2.5},
    "oee": {"shift": {"availability": 0.9, "performance": 1.0, "quality": 0.9, "oee": 0.81, "window": 60.0},
            "hour": None},
}


def report(kind: str, **changes: Any) -> bytes:
    return encode(payload(**{**GOOD[kind], **changes}))


@pytest.mark.parametrize("kind", sorted(GOOD))
def test_what_a_reporter_publishes_is_accepted(kind: str) -> None:
    assert check(kind, decode(report(kind)))["v"] == 1


@pytest.mark.parametrize("kind, raw, reason", [
    ("counters", report("counters", cycle_time="1.5"), 'cycle_time must be a number or null, not "1.5"'),
    ("counters", report("counters", cycles=-1), "cycles must be a whole number"),
    ("counters", report("counters", cycles=True), "cycles must be a whole number, not true"),
    ("state", report("state", packml={"state": "<b>Running</b>"}), "packml must be a table with a PackML state"),
    ("oee", report("oee", hour={"oee": "90 %"}), "hour must be a table of OEE factors"),
    ("counters", report("counters", link={"transactions": "many"}), "link must be a link health table"),
    ("counters", b'{"v":1,"time":1,"cycles":1,"faults":0,"cycle_time":NaN}', "NaN is no JSON number"),
    ("counters", b'{"v":1,"time":1,"cycles":1,"faults":0,"cycle_time":1e999}', "too large a number"),
    ("state", report("state", v=True), "version true is not 1"),
    ("state", report("state", v=1.0), "version 1.0 is not 1"),
    ("state", report("state", state="exploded"), "state must be one of running"),
    ("state", b'{"v":1,"state":"running"}', "time must be a number"),
    ("stations", report("stations", stations={"feed": 5}), "stations must be a table of station states"),
    ("fault", report("fault", message=None), "message must be a text"),
    ("io", report("io", x=[70000]), "x must be a list of 16-bit words"),
    ("io", report("io", y="0"), "y must be a list of 16-bit words"),
    ("info", report("info", x_names=[1]), "x_names must be a list of texts"),
    ("heartbeat", report("heartbeat", interval=0), "interval must be a positive number"),
    ("ack", b'{"v":1,"time":1}', "accepted is missing"),
    ("state", b"[1]", "JSON list, not an object"),
    ("state", b"\xff\xfe\xfa", "not JSON"),
    ("state", b"[" * 100_000, "nests too deep"),
    ("state", b'{"v":1,"time":1,"state":"running","x":' + b"[" * 40 + b"]" * 40 + b"}", "nests too deep"),
    ("state", b'{"v":1,"time":1,"n":' + b"9" * 5000 + b"}", "not JSON"),
    ("info", b" " * (2 << 20), "is over"),
])
def test_a_bad_report_is_refused_with_what_is_wrong(kind: str, raw: bytes, reason: str) -> None:
    with pytest.raises(BadReport) as refused:
        check(kind, decode(raw))
    assert reason in str(refused.value)


JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
                    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
                    max_leaves=12)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kind=st.sampled_from(sorted(FIELDS)), fields=st.data())
def test_any_payload_is_accepted_or_refused_and_what_is_accepted_renders(kind: str, fields: Any) -> None:
    names = list(FIELDS[kind]) + ["v", "time", "other"]
    body = {**payload(**GOOD[kind]), **fields.draw(st.dictionaries(st.sampled_from(names), JSON, max_size=4))}
    raw = json.dumps(body).encode()  # NaN and Infinity too, as Python writes them
    try:
        accepted = check(kind, decode(raw))
    except BadReport:
        return
    json.dumps(accepted, allow_nan=False)  # what the page's browser can parse
    for name, (good, _, _) in FIELDS[kind].items():
        assert name not in accepted or good(accepted[name])


@settings(deadline=None)
@given(raw=st.binary(max_size=64))
def test_any_bytes_decode_or_are_refused(raw: bytes) -> None:
    try:
        decode(raw)
    except BadReport:
        pass


class Message:
    def __init__(self, topic: str, raw: bytes) -> None:
        self.topic, self.payload, self.retain = topic, raw, True


def test_a_bad_report_marks_its_machine_only_and_is_logged_once(caplog: Any) -> None:
    view = PlantView("mqtt://127.0.0.1:1")  # never started: fed by hand
    listener = view.listen()
    feed = lambda topic, raw: view._on_message(None, None, Message(topic, raw))  # noqa: E731
    feed("kvo/l1/good/counters", report("counters"))
    feed("kvo/l1/bad/counters", report("counters"))
    with caplog.at_level(logging.WARNING, "kvo_kit.plant"):
        for _ in range(3):
            feed("kvo/l1/bad/counters", report("counters", cycle_time="1.5"))
    assert caplog.text.count("bad report from l1/bad: counters: cycle_time") == 1
    for hostile in ("kvo/l1/bad\n/state", "kvo/l 1/x/state", "kvo/l1/bad/command", "kvo/l1/bad/state/x"):
        feed(hostile, report("state"))  # not a reporter's topic: ignored
    snapshot = view.snapshot()
    assert set(snapshot["machines"]) == {"l1/good", "l1/bad"}
    assert snapshot["machines"]["l1/good"]["counters"]["cycles"] == 3
    bad = snapshot["machines"]["l1/bad"]
    assert bad["counters"]["cycle_time"] == 0.5 and "cycle_time" in bad["bad"]["counters"]  # the last good one stays
    json.dumps(snapshot, allow_nan=False)
    feed("kvo/l1/bad/counters", report("counters"))
    assert "bad" not in view.snapshot()["machines"]["l1/bad"]
    events = [listener.pop() for _ in range(len(listener))]
    assert [e["type"] for e in events] == ["update", "update", "bad", "bad", "bad", "update"]
    feed("kvo/l1/good/counters", b"")  # a retained report cleared
    assert "counters" not in view.snapshot()["machines"]["l1/good"]
    view.forget(listener)


@pytest.mark.parametrize("prefix", ["kvo/#", "kvo\n", "", "kvo/+/x"])
def test_the_page_refuses_a_prefix_that_is_no_topic(prefix: str) -> None:
    with pytest.raises(ValueError, match="cannot be a topic level"):
        PlantView("mqtt://127.0.0.1:1", prefix)
