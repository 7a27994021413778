"""pytest fixtures for testing station code on the simulated PLC.

Loaded by the `pytest11` entry point of the installed package (or with
`-p kvo_kit.pytest_plugin`). Fixtures:

- `virtual_clock` — a `kvo_kit.clock.VirtualClock` installed for the test: the
  machine's time-outs and the simulated devices run on virtual time;
- `sim_plc` — a simulated PLC of the test's own (on the virtual clock when the test
  uses one), forgotten afterwards;
- `fp_machine` — makes `FPMachine`s on `sim_plc` (or a given port), closed with their
  links after the test;
- `worker_group` — a `WorkerGroup` whose workers are stopped after the test;
- `thread_guard` — fails the test if it leaves a thread running.

kvo_fa and kvo_mew are imported only when a fixture is used.
"""
import re
import threading
import time
from typing import Any, Iterator, Optional

import pytest

from kvo_kit.clock import VirtualClock


def leftover_threads(before: set[threading.Thread], wait: float = 2.0) -> list[threading.Thread]:
    """Threads started since `before` that are still alive after up to `wait` seconds."""
    deadline = time.monotonic() + wait
    while True:
        left = [t for t in threading.enumerate() if t not in before and t.is_alive()]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.02)


@pytest.fixture
def thread_guard() -> Iterator[None]:
    """Fails the test if it leaves a thread running: close machines, stop workers."""
    before = set(threading.enumerate())
    yield
    left = leftover_threads(before)
    assert not left, f"test left threads running: {left}"


@pytest.fixture
def virtual_clock() -> Iterator[VirtualClock]:
    """A virtual clock in place of kvo_fa's time for the test (see kvo_kit.clock)."""
    clock = VirtualClock()
    with clock:
        yield clock


@pytest.fixture
def sim_plc(request: pytest.FixtureRequest) -> Iterator[Any]:
    """The test's own simulated PLC, on the virtual clock when the test uses one."""
    import kvo_mew

    plc = kvo_mew.simulator("kit-" + re.sub(r"\W", "_", request.node.nodeid))
    if "virtual_clock" in request.fixturenames:
        request.getfixturevalue("virtual_clock").attach(plc)
    yield plc
    kvo_mew.reset_simulators()


class MachineFactory:
    """Makes FPMachines for a test and closes each, with its link, afterwards."""

    def __init__(self, plc: Any) -> None:
        self.plc = plc
        self.made: list[Any] = []

    def __call__(self, x_words: int = 1, y_words: int = 1, y_shift: int = 100, port: Optional[str] = None,
                 **kwargs: Any) -> Any:
        """An FPMachine of `x_words` input and `y_words` output words at D<y_shift>; on
        the test's simulated PLC (given the FP register map's program) unless `port`."""
        import kvo_fa

        if port is None:
            self.plc.map_io(x_words, y_words, y_shift)
            port = "sim://" + self.plc.name
        return self.track(kvo_fa.FPMachine(x_words, y_words, y_shift, port, **kwargs))

    def track(self, machine: Any) -> Any:
        """Close `machine` (and an FPMachine's link, which its close leaves open) after the test."""
        self.made.append(machine)
        return machine

    def close_all(self) -> None:
        import kvo_fa

        for machine in reversed(self.made):
            machine.close()
            if isinstance(machine, kvo_fa.FPMachine):
                machine.native_machine_handle.close()
        self.made.clear()


@pytest.fixture
def fp_machine(sim_plc: Any) -> Iterator[MachineFactory]:
    """`fp_machine(x_words, y_words, y_shift)` makes an FPMachine on `sim_plc`;
    `fp_machine.track(m)` adopts any machine; all are closed after the test."""
    factory = MachineFactory(sim_plc)
    try:
        yield factory
    finally:
        factory.close_all()


@pytest.fixture
def worker_group() -> Iterator[Any]:
    """A kvo_fa.WorkerGroup whose workers are stopped after the test."""
    import kvo_fa

    group = kvo_fa.WorkerGroup()
    try:
        yield group
    finally:
        group.stop_all()

