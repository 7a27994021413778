"""A press-fit station: a press cylinder presses a bush into a housing, and a
force sensor confirms the fit. Its I/O map is press_fit.toml.

On the simulated PLC the force sensor is a callback device: force_ok is on
0.2 s after the press is down on a part (press_is_down and part_present), so
a press that comes down on an empty fixture never reports the force, and the
station's wait times out with the framework's operator message. Every
supervised move has the framework's default time-out of 7 s.

    python3 examples/press_fit/station.py        # one part, printed step by step
"""
import os
import sys
from typing import Optional

import kvo_fa
import kvo_mew
from kvo_kit.iomap import IoMap

HERE = os.path.dirname(os.path.abspath(__file__))
IO = IoMap.from_toml(os.path.join(HERE, "press_fit.toml"))
X_WORDS, Y_WORDS, Y_SHIFT = 1, 1, 100
STROKE = 0.6       # seconds the press takes from end to end
FORCE_DELAY = 0.2  # seconds from press down on a part until the force is reached
TIMEOUT = 7.0      # the limit of every supervised move


def build(plc: kvo_mew.SimulatedPlc) -> None:
    """Wire the station's devices to the simulated PLC."""
    plc.map_io(X_WORDS, Y_WORDS, Y_SHIFT)
    plc.add_cylinder(valve=IO.element("press_down"), retracted=IO.element("press_is_up"),
                     extended=IO.element("press_is_down"), stroke=STROKE, name="press")
    plc.add_source(sensor=IO.element("part_present"), take=IO.element("eject"), name="fixture")
    plc.add_callback(sensor=IO.element("force_ok"),
                     relays=[IO.element("press_is_down"), IO.element("part_present")],
                     function=lambda press_down, part_present: press_down and part_present,
                     delay=FORCE_DELAY, name="force")


IO_MAP = IO  # what `python3 -m kvo_kit watch --plant` looks for


class PressFit(kvo_fa.Worker):
    """Presses one part per task; counts the good ones."""

    def __init__(self, group: kvo_fa.WorkerGroup, machine: kvo_fa.MachineBase) -> None:
        super().__init__(group, "press")
        self.machine = machine
        self.good = 0

    def work(self, part: Optional[object]) -> None:
        m = self.machine
        m.wait_for_signal(IO.element("part_present"), True, TIMEOUT)
        m.trigger_cylinder(IO.element("press_down"), True, IO.element("press_is_up"), IO.element("press_is_down"),
                           TIMEOUT)
        m.wait_for_signal(IO.element("force_ok"), True, TIMEOUT)
        m.trigger_cylinder(IO.element("press_down"), False, IO.element("press_is_down"), IO.element("press_is_up"),
                           TIMEOUT)
        m.set_y(IO.element("eject"), True)
        m.wait_for_signal(IO.element("part_present"), False, TIMEOUT)
        m.set_y(IO.element("eject"), False)
        self.good += 1


def main() -> None:
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator("press")
    build(plc)
    machine = kvo_fa.FPMachine(X_WORDS, Y_WORDS, Y_SHIFT, "sim://press")
    IO.check(machine)

    def on_edge(snapshot: kvo_fa.XManager) -> None:
        # Edge handlers get bit indexes; the I/O map gives them by name.
        if snapshot.rising(IO.index("force_ok")):
            print("edge: force_ok came on")

    machine.register_edge_event_handler(on_edge)
    group = kvo_fa.WorkerGroup()
    station = PressFit(group, machine)
    group.add(station)
    try:
        machine.start()
        group.start_all()
        plc.feed("fixture")
        group.put_task("press", "part 1")
        machine.wait_for_signal(IO.element("force_ok"), True, TIMEOUT)
        print("force reached")
        machine.wait_for_signal(IO.element("part_present"), False, TIMEOUT)
        print("part pressed and ejected")
    finally:
        # Machine first: it ends the station's waits, so stop_all returns.
        machine.stop()
        group.stop_all()
        IO.outputs_off(machine)
        machine.close()
        machine.native_machine_handle.close()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # the finally blocks above have stopped everything
        sys.exit(130)
