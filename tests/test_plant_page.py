"""The plant page in a real browser: two demo cells report to a real
Mosquitto, one of them jams; the page shows one running and one faulted with
the operator message, and the faulted one running again after the plant's
reset. Then the broker dies and comes back: the page shows the cells offline
and back, and the cells never stop.
"""
import json
import os
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
                    "--plant", user_broker.url("cell-a"))
    jammed = processes.start("cell-b", cell, "--fast", "--parts", "100000", "--name", "cell-b", "--out", out,
                             "--jam", "--jam-after", "1", "--plant-reset", "--plant", user_broker.url("cell-b"))
    operator = Listener(user_broker, "operator")
    try:
        with playwright.sync_playwright() as p:
            browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            try:
                page = browser.new_page()
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

                operator.publish("kvo/demo/cell-b/command", b'{"v": 1, "command": "reset", "id": "t1"}')
                expect(b.locator(".state")).to_have_text("running", timeout=20000)
                expect(b.locator(".fault")).to_have_text("")
                expect(b.locator(".numbers")).to_contain_text("faults 1")

                user_broker.kill()
                expect(page.locator("#broker")).to_contain_text("unreachable", timeout=15000)
                expect(a.locator(".state")).to_have_text("offline")
                expect(b.locator(".state")).to_have_text("offline")
                user_broker.start()
                expect(a.locator(".state")).to_have_text("running", timeout=30000)
                expect(b.locator(".state")).to_have_text("running", timeout=30000)
                parts = _parts(a.locator(".numbers").inner_text())
                wait_until(lambda: _parts(a.locator(".numbers").inner_text()) > parts, 20)
                assert _parts(a.locator(".numbers").inner_text()) > parts, "cell-a stopped making parts"
            finally:
                browser.close()
    finally:
        operator.close()
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
