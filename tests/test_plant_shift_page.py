"""The shift on the plant page, in a real browser: the demo cell jams and waits
for the plant's reset; its tile shows an Aborted stripe on the state timeline
and the jam in the fault Pareto, and both come back from the history file when
the page server restarts. Screenshots are kept beside the test's logs (and in
build/artifacts/ when that folder exists).
"""
import os
import shutil
from typing import Any, Iterator

import pytest

from plant_support import Broker, Listener, broker, free_port, needs_broker, user_broker, wait_until  # noqa: F401
from test_plant_page import CHROMIUM, ROOT, Processes, needs_chromium

playwright = pytest.importorskip("playwright.sync_api")

pytestmark = [needs_broker, needs_chromium]

JAM = "双控气缸 Y2:Y3 动作超时"


@pytest.fixture
def running(tmp_path: Any) -> Iterator[Processes]:
    found = Processes(str(tmp_path))
    yield found
    found.stop_all()


def keep(page: Any, folder: str, name: str) -> None:
    path = os.path.join(folder, name)
    page.screenshot(path=path, full_page=True)
    artifacts = os.path.join(ROOT, "build", "artifacts")
    if os.path.isdir(artifacts):
        shutil.copy(path, artifacts)


def test_the_jammed_cell_shows_its_fault_on_the_timeline_and_in_the_pareto(user_broker: Broker, running: Processes,
                                                                           tmp_path: Any) -> None:
    port, out = free_port(), str(tmp_path)
    history = os.path.join(out, "plant.db")
    page_args = ("-m", "kvo_kit", "plant", "--broker", user_broker.url("page"), "--port", str(port),
                 "--history", history)
    server = running.start("page", *page_args)
    running.start("cell-b", os.path.join(ROOT, "examples", "cell", "cell.py"), "--fast", "--parts", "100000",
                  "--name", "cell-b", "--out", out, "--jam", "--jam-after", "1", "--plant-reset",
                  "--plant", user_broker.url("cell-b"))
    operator = Listener(user_broker, "operator")
    expect = playwright.expect
    try:
        with playwright.sync_playwright() as p:
            browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            try:
                page = browser.new_page(viewport={"width": 1000, "height": 700})
                errors: list[str] = []
                page.on("pageerror", lambda error: errors.append(str(error)))
                assert wait_until(lambda: _opens(page, port), 20)
                cell = page.locator('.tile[data-machine="demo/cell-b"]')
                expect(cell.locator(".state")).to_have_text("faulted", timeout=30000)
                expect(cell.locator('.timeline .stripe[data-state="Aborted"]')).to_have_count(1, timeout=15000)
                cause = cell.locator(f'.pareto .cause[data-message^="{JAM}"]')
                expect(cause).to_contain_text("1×", timeout=10000)
                expect(cell.locator(".pareto")).to_contain_text(JAM[:10])
                page.locator('#span button[data-span="shift"]').click()  # the cell's life so far, the whole bar
                expect(cell.locator("h3").first).to_contain_text("shift since", timeout=10000)
                expect(cell.locator('.timeline .stripe[data-state="Aborted"]')).to_have_count(1, timeout=10000)
                keep(page, out, "plant-shift-jammed.png")

                operator.publish("kvo/demo/cell-b/command", b'{"v": 1, "command": "reset", "id": "t1"}')
                expect(cell.locator(".state")).to_have_text("running", timeout=20000)
                expect(cell.locator(".timeline .stripe").last).not_to_have_attribute("data-state", "Aborted",
                                                                                     timeout=15000)

                running.stop_all()  # the page and the cell go; the history file stays
                server = running.start("page-again", *page_args)
                assert wait_until(lambda: _opens(page, port), 20)
                cell = page.locator('.tile[data-machine="demo/cell-b"]')
                expect(cell.locator('.timeline .stripe[data-state="Aborted"]')).to_have_count(1, timeout=15000)
                expect(cell.locator(f'.pareto .cause[data-message^="{JAM}"]')).to_contain_text("lost")
                page.locator('#span button[data-span="shift"]').click()
                expect(cell.locator("h3").first).to_contain_text("shift since", timeout=10000)
                expect(cell.locator('.timeline .stripe[data-state="Aborted"]')).to_have_count(1, timeout=10000)
                keep(page, out, "plant-shift-after-restart.png")
                assert errors == []
            finally:
                browser.close()
    finally:
        operator.close()
    assert server.poll() is None, running.log("page-again")


def _opens(page: Any, port: int) -> bool:
    try:
        page.goto(f"http://127.0.0.1:{port}/")
        return True
    except playwright.Error:
        return False


def test_a_jam_over_sparkplug_shows_on_the_timeline_in_the_pareto_and_with_oee(broker: Broker, running: Processes,  # noqa: F811
                                                                              tmp_path: Any, monkeypatch: Any) -> None:
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))  # the edge node's bdSeq file
    port, out = free_port(), str(tmp_path)
    running.start("page", "-m", "kvo_kit", "plant", "--broker", broker.url(), "--port", str(port),
                  "--history", os.path.join(out, "plant.db"))
    running.start("cell-s", os.path.join(ROOT, "examples", "cell", "cell.py"), "--fast", "--parts", "100000",
                  "--name", "cell-s", "--out", out, "--jam", "--jam-after", "2", "--ideal-cycle", "1.5",
                  "--sparkplug", "demo", "--plant", broker.url())  # the jam clears by itself within a moment
    expect = playwright.expect
    with playwright.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1000, "height": 700})
            errors: list[str] = []
            page.on("pageerror", lambda error: errors.append(str(error)))
            assert wait_until(lambda: _opens(page, port), 20)
            cell = page.locator('.tile[data-machine="demo/cell-s"]')
            expect(cell.locator(f'.pareto .cause[data-message^="{JAM}"]')).to_contain_text("1×", timeout=40000)
            page.locator('#span button[data-span="shift"]').click()
            expect(cell.locator('.timeline .stripe[data-state="Aborted"]')).to_have_count(1, timeout=15000)
            expect(cell.locator(".oee .factor.availability")).to_contain_text("%", timeout=15000)
            keep(page, out, "plant-shift-sparkplug.png")
            assert errors == []
        finally:
            browser.close()
