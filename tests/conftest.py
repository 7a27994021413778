import os
from importlib.metadata import entry_points

import pytest

# The sanitizer run checks leaks in this process only (its options were read at
# start-up); child processes get the same ASan and UBSan checks without
# LeakSanitizer, whose tracer crashes at the exit of children with many threads.
if os.environ.get("KVO_SANITIZER_RUN") == "1":
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")

# The kit's plugin (kvo_kit.pytest_plugin) comes with the installed package's
# pytest11 entry point; a developer build (PYTHONPATH=build/dev) loads it from
# the source tree instead, and only then, so it is never registered twice.
if not any(ep.name == "kvo_kit" for ep in entry_points(group="pytest11")):
    pytest_plugins = ["kvo_kit.pytest_plugin"]


@pytest.fixture(autouse=True)
def no_thread_left_behind(thread_guard):
    """Every test must close its machines and stop its workers."""
    yield


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
