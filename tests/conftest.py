import os
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit"))  # kvo_kit, uninstalled


@pytest.fixture(autouse=True)
def no_thread_left_behind():
    """Every test must close its machines and stop its workers."""
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + 2.0
    while True:
        left = [t for t in threading.enumerate() if t not in before and t.is_alive()]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    assert not left, f"test left threads running: {left}"


@pytest.fixture
def plc(request):
    """A simulated PLC of the test's own, dropped afterwards."""
    import kvo_mew

    yield kvo_mew.simulator("test-" + request.node.name)
    kvo_mew.reset_simulators()


@pytest.fixture
def link(plc):
    """A link to the test's simulated PLC, closed afterwards."""
    import kvo_mew

    link = kvo_mew.VedUzavur("sim://" + plc.name)
    yield link
    link.close()


@pytest.fixture
def machines():
    """Collects machines and always closes them (and an FPMachine's link, which its close leaves open)."""
    import kvo_fa

    made = []
    yield made
    for machine in made:
        machine.close()
        if isinstance(machine, kvo_fa.FPMachine):
            machine.native_machine_handle.close()
