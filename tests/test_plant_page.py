"""The plant page in a real browser: two demo cells report to a real
Mosquitto and both jam; one recovers by itself within a moment, the other waits
for the plant's reset. The page shows both faults and keeps each on its card
after it clears, refuses a hostile publisher's report on that machine's tile
alone, and, while the broker is away, shows the cells offline with their last
known figures; then back, and the cells never stop.
"""
import json
import os
import re
import signal
import subprocess
import sys
import urllib.request
from typing import Any, Iterator

import pytest

from plant_support import Broker, Listener, broker, free_port, needs_broker, user_broker, wait_until  # noqa: F401

playwright = pytest.importorskip("playwright.sync_api")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CHROMIUM = "/usr/bin/chromium"

pytestmark = needs_broker
needs_chromium = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="needs Debian's chromium")


def child_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, "kit")] + sys.path)
    env["PYTHONUNBUFFERED"] = "1"
    return env


class Processes:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.running: list[tuple[subprocess.Popen[bytes], str]] = []

    def start(self, name: str, *args: str) -> subprocess.Popen[bytes]:
        log = os.path.join(self.folder, name + ".log")
        with open(log, "wb") as out:
            process = subprocess.Popen([sys.executable, *args], stdout=out, stderr=subprocess.STDOUT,
                                       env=child_env(), cwd=ROOT)
        self.running.append((process, log))
        return process

    def log(self, name: str) -> str:
        with open(os.path.join(self.folder, name + ".log"), errors="replace") as f:
            return f.read()

    def stop_all(self) -> None:
        for process, _ in self.running:
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
        for process, _ in self.running:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.fixture
def processes(tmp_path: object) -> Iterator[Processes]:
    found = Processes(str(tmp_path))
    yield found
    found.stop_all()


@needs_chromium
def test_page_shows_a_jam_and_the_recovery_and_the_broker_outage(user_broker: Broker, processes: Processes,
                                                                 tmp_path: object) -> None:
    port = free_port()
    cell = os.path.join(ROOT, "examples", "cell", "cell.py")
    out = str(tmp_path)
    processes.start("page", "-m", "kvo_kit", "plant", "--broker", user_broker.url("page"), "--port", str(port))
    processes.start("cell-a", cell, "--fast", "--parts", "100000", "--name", "cell-a", "--out", out,
                    "--jam", "--jam-after", "3", "--plant", user_broker.url("cell-a"))  # a fault of a moment
    jammed = processes.start("cell-b", cell, "--fast", "--parts", "100000", "--name", "cell-b", "--out", out,
                             "--jam", "--jam-after", "1", "--plant-reset", "--plant", user_broker.url("cell-b"))
    operator = Listener(user_broker, "operator")
    hostile = Listener(user_broker, "cell-a")  # may write kvo/<any line>/cell-a/
    try:
        with playwright.sync_playwright() as p:
            browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            try:
                page = browser.new_page()
                errors: list[str] = []
                page.on("pageerror", lambda error: errors.append(str(error)))
                wait_until(lambda: _serves(page, port), 20)
                a = page.locator('.tile[data-machine="demo/cell-a"]')
                b = page.locator('.tile[data-machine="demo/cell-b"]')
                expect = playwright.expect
                expect(a.locator(".state")).to_have_text("running", timeout=30000)
                expect(b.locator(".state")).to_have_text("faulted", timeout=30000)
                expect(b.locator(".fault")).to_contain_text("双控气缸 Y2:Y3 动作超时", timeout=5000)
                expect(b.locator(".fault")).to_contain_text("DYCylinderException")
                expect(a.locator(".numbers")).not_to_contain_text("parts 0 ", timeout=15000)
                expect(b.locator(".station.dead").first).to_be_visible()

                a.click()  # the I/O panel, with the cell's labels
                expect(a.locator(".io")).to_contain_text("part_at_pick", timeout=5000)

                # cell-a's jam cleared within a moment of being raised: the card keeps it.
                expect(a.locator(".fault")).to_contain_text("last fault: ", timeout=30000)
                expect(a.locator(".fault")).to_contain_text("(DYCylinderException)")
                expect(a.locator(".fault")).to_contain_text("cleared")
                expect(a.locator(".numbers")).to_contain_text("faults 1")

                hostile.publish("kvo/hostile/cell-a/state", b'{"v": 1, "time": 1, "state": "running"}', retain=True)
                h = page.locator('.tile[data-machine="hostile/cell-a"]')
                expect(h.locator(".state")).to_have_text("running", timeout=10000)
                hostile.publish("kvo/hostile/cell-a/counters",
                                b'{"v": 1, "time": 1, "cycles": 5, "faults": 0, "cycle_time": "1.5"}', retain=True)
                expect(h.locator(".report")).to_contain_text("bad report: counters: cycle_time", timeout=10000)
                expect(h).to_have_class(re.compile(r"\bbad\b"))
                page.reload()  # a page opened afterwards shows every tile, the bad one marked
                expect(h.locator(".report")).to_contain_text("bad report", timeout=10000)
                expect(page.locator(".tile")).to_have_count(3)
                expect(a.locator(".numbers")).not_to_contain_text("parts 0 ", timeout=15000)
                expect(b.locator(".state")).to_have_text("faulted")

                operator.publish("kvo/demo/cell-b/command", b'{"v": 1, "command": "reset", "id": "t1"}')
                expect(b.locator(".state")).to_have_text("running", timeout=20000)
                expect(b.locator(".fault")).to_contain_text("last fault: 双控气缸 Y2:Y3 动作超时")
                expect(b.locator(".fault")).to_contain_text("cleared")
                expect(b.locator(".numbers")).to_contain_text("faults 1")

                user_broker.kill()
                expect(page.locator("#broker")).to_contain_text("unreachable", timeout=15000)
                expect(a.locator(".state")).to_have_text("offline")
                expect(b.locator(".state")).to_have_text("offline")
                expect(a).to_have_class(re.compile(r"\bstale\b"))  # the last known figures, marked
                expect(a.locator(".stale")).to_contain_text("last known figures")
                expect(a.locator(".numbers")).not_to_contain_text("parts 0 ")
                expect(b.locator(".numbers")).to_contain_text("faults 1")
                page.reload()  # a page opened while the broker is away sees them too
                expect(a.locator(".numbers")).not_to_contain_text("parts 0 ", timeout=10000)
                expect(a.locator(".stale")).to_contain_text("last known figures")
                user_broker.start()
                expect(a.locator(".state")).to_have_text("running", timeout=30000)
                expect(b.locator(".state")).to_have_text("running", timeout=30000)
                parts = _parts(a.locator(".numbers").inner_text())
                wait_until(lambda: _parts(a.locator(".numbers").inner_text()) > parts, 20)
                assert _parts(a.locator(".numbers").inner_text()) > parts, "cell-a stopped making parts"
                expect(a.locator(".stale")).to_have_text("")
                assert errors == []
            finally:
                browser.close()
    finally:
        operator.close()
        hostile.close()
    assert jammed.poll() is None, processes.log("cell-b")
    assert "waiting for the plant's reset" in processes.log("cell-b")


def _serves(page: object, port: int) -> bool:
    try:
        page.goto(f"http://127.0.0.1:{port}/")  # type: ignore[attr-defined]
        return True
    except playwright.Error:
        return False


def _parts(numbers: str) -> int:
    return int(numbers.split()[1])


def test_page_server_streams_the_plant_and_ends_its_streams_on_close(broker: Broker, plc: Any,
                                                                     machines: list[Any]) -> None:
    import kvo_fa
    from kvo_kit.plant import PageServer, PlantReporter

    plc.map_io(1, 1, 100)
    machine = kvo_fa.FPMachine(1, 1, 100, "sim://" + plc.name)
    machines.append(machine)
    machine.start()
    server = PageServer(broker.url(), port=free_port())
    server.start()
    try:
        with PlantReporter(machine, None, broker.url(), line="l1", name="m1", poll_interval=0.02):
            def state() -> Any:
                with urllib.request.urlopen(server.url + "api/machines", timeout=5) as answer:
                    return json.load(answer)["machines"].get("l1/m1", {}).get("state", {}).get("state")

            assert wait_until(lambda: state() == "running")
            stream = urllib.request.urlopen(server.url + "events", timeout=10)
            first = json.loads(stream.readline().decode().removeprefix("data: "))
            assert first["type"] == "snapshot" and first["broker"] is True
            assert first["machines"]["l1/m1"]["info"]["kind"] == "FPMachine"
            machine.pause()
            updates = (json.loads(line.decode()[6:]) for line in stream if line.startswith(b"data: "))
            assert any(u["type"] == "update" and u["kind"] == "state" and u["payload"]["state"] == "paused"
                       for u in updates)
    finally:
        server.close()  # ends the open stream too: no thread is left behind
    rest = stream.read()  # returns: the server ended the stream (a hang would time out)
    stream.close()
    assert rest.endswith(b"\n\n") and b"closing" not in rest


@needs_chromium
def test_the_page_renders_any_event_without_throwing() -> None:
    """Whatever reaches the page (the server checks reports first), render() never throws: the other tiles go on."""
    from hypothesis import HealthCheck, given, settings, strategies as st

    from kvo_kit.plant import PageServer
    from kvo_kit.plant.reports import FIELDS

    server = PageServer("mqtt://127.0.0.1:1", port=free_port())  # no broker: the page is fed by hand
    server.start()
    try:
        with playwright.sync_playwright() as p:
            browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            try:
                page = browser.new_page()
                errors: list[str] = []
                page.on("pageerror", lambda error: errors.append(str(error)))
                page.goto(server.url)
                page.evaluate("""() => handle({type: "snapshot", broker: true, machines: {"l/good": {
                    state: {v: 1, time: 1, state: "running"},
                    counters: {v: 1, time: 1, cycles: 7, cycle_time: 0.5, faults: 0}}}})""")
                good = page.locator('.tile[data-machine="l/good"]')
                playwright.expect(good.locator(".numbers")).to_contain_text("parts 7 · cycle 0.50 s")

                names = sorted({name for fields in FIELDS.values() for name in fields} |
                               {"v", "time", "received", "seconds_since_good", "last_error", "transactions"})
                field = st.sampled_from(names) | st.text(max_size=6)
                json_value = st.recursive(
                    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=6),
                    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(field, inner, max_size=3),
                    max_leaves=8)
                def update(kind: str) -> Any:  # a report of `kind` with any of its fields, of any value
                    fields = st.fixed_dictionaries({}, optional={name: json_value for name in FIELDS[kind]})
                    return st.fixed_dictionaries({"type": st.just("update"), "machine": st.just("l/bad"),
                                                  "kind": st.just(kind), "payload": fields | json_value})

                other = st.fixed_dictionaries(
                    {"type": st.sampled_from(["update", "bad", "snapshot", "broker"]), "machine": st.just("l/bad"),
                     "kind": st.sampled_from(["bad", "__proto__", "constructor", "info"])},
                    optional={"payload": json_value, "reason": json_value, "machines": json_value, "up": json_value})
                hostile = st.sampled_from(sorted(FIELDS)).flatmap(update) | other

                @settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
                @given(event=hostile)
                def renders(event: dict[str, Any]) -> None:
                    if event["type"] == "snapshot":  # keeps the good machine, with whatever else comes
                        machines = event.get("machines")
                        event["machines"] = {**(machines if isinstance(machines, dict) else {}),
                                             "l/good": {"counters": {"cycles": 7, "faults": 0}}}
                    page.evaluate("event => { handle(event); document.querySelector('.tile').click(); }", event)
                    assert errors == [], (event, errors)

                renders()
                page.evaluate("() => handle({type: 'update', machine: 'l/good', kind: 'counters', "
                              "payload: {v: 1, time: 2, cycles: 8, faults: 0}})")
                playwright.expect(good.locator(".numbers")).to_contain_text("parts 8")
                assert errors == []
            finally:
                browser.close()
    finally:
        server.close()
