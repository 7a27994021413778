"""The three stations of the demo cell, each a kvo_fa Worker.

A station's work(task) drives the machine with blocking actions (each with a
time-out and an operator fault message) and hands the part on to the next
station by name with a Job. An action that times out raises the fault through
the machine: once no subscriber takes it, the machine's exception flag is set,
the station's work ends with that fault, and every other station's action
ends with AbortByOtherException.
"""
from typing import TYPE_CHECKING, Optional

import kvo_fa
import kvo_mew

from plant import (BELT, EJECT, EJECTOR_BACK, EJECTOR_OUT, LIFT_DOWN, LIFT_IS_DOWN, LIFT_UP, PART_AT_PICK,
                   PART_IN_NEST, SLIDE_AT_PICK, SLIDE_AT_PLACE, SLIDE_PICK, SLIDE_PLACE, VACUUM, VACUUM_OK, Timing)

if TYPE_CHECKING:
    from cell import Cell  # which imports this module


class Station(kvo_fa.Worker):
    def __init__(
        self, group: kvo_fa.WorkerGroup, name: str, machine: kvo_fa.MachineBase, cell: "Cell", timing: Timing
    ) -> None:
        super().__init__(group, name)
        self.machine, self.cell, self.t = machine, cell, timing
        self.loop_interval = 0.02
        self.put_task_check_interval = 0.02

    # Shorthands for the supervised moves, with the cell's limits.
    def cylinder(self, valve: str, on: bool, leaves: str, reaches: str) -> None:
        self.machine.trigger_cylinder(valve, on, leaves, reaches, timeout=self.t.timeout,
                                      check_interval=self.t.poll)

    def wait(self, sensor: str, value: bool, timeout: Optional[float] = None) -> None:
        self.machine.wait_for_signal(sensor, value, timeout, self.t.poll)


class Feed(Station):
    """Runs the belt until a part reaches the pick position; task: an order for one part."""

    def work(self, order: str) -> kvo_fa.Job:
        self.wait(PART_AT_PICK, False)  # the pick-and-place has taken the last one
        self.machine.set_y(BELT, True)
        self.wait(PART_AT_PICK, True, self.t.timeout)
        self.machine.set_y(BELT, False)
        part = self.cell.part_fed()
        return kvo_fa.Job("pick", part)


class PickAndPlace(Station):
    """Takes the part from the pick position to the nest; task: the part's number."""

    def work(self, part: int) -> kvo_fa.Job:
        m, t = self.machine, self.t
        if not m.x(SLIDE_AT_PICK):  # back from the last part's nest
            m.trigger_dy_cylinder(SLIDE_PICK, True, SLIDE_PLACE, None, SLIDE_AT_PLACE, SLIDE_AT_PICK,
                                  t.timeout, 0.0, t.poll)
        self.wait(PART_AT_PICK, True, t.timeout)
        self.cylinder(LIFT_DOWN, True, LIFT_UP, LIFT_IS_DOWN)
        m.trigger_vacuum(VACUUM, True, VACUUM_OK, True, t.timeout, 0.0, t.poll)
        self.cylinder(LIFT_DOWN, False, LIFT_IS_DOWN, LIFT_UP)
        m.trigger_dy_cylinder(SLIDE_PLACE, True, SLIDE_PICK, None, SLIDE_AT_PICK, SLIDE_AT_PLACE,
                              t.timeout, 0.0, t.poll)
        self.wait(PART_IN_NEST, False)  # the ejector has cleared the nest
        self.cylinder(LIFT_DOWN, True, LIFT_UP, LIFT_IS_DOWN)
        m.trigger_vacuum(VACUUM, False, VACUUM_OK, False, t.timeout, 0.0, t.poll)
        self.cylinder(LIFT_DOWN, False, LIFT_IS_DOWN, LIFT_UP)
        return kvo_fa.Job("unload", part)


class Unload(Station):
    """Pushes the part out of the nest; task: the part's number."""

    def work(self, part: int) -> None:
        self.wait(PART_IN_NEST, True, self.t.timeout)
        self.cylinder(EJECT, True, EJECTOR_BACK, EJECTOR_OUT)
        self.cylinder(EJECT, False, EJECTOR_OUT, EJECTOR_BACK)
        self.cell.part_done(part)


def home(machine: kvo_fa.MachineBase, plc: kvo_mew.SimulatedPlc, timing: Timing) -> None:
    """Bring the cell back to its starting position after a fault: belt off,
    vacuum off (a part on the cup drops), lift up, slide to pick, ejector
    back; then the operator takes away the parts left at the pick position
    and in the nest."""
    t = timing
    machine.set_y(BELT, False)
    machine.trigger_vacuum(VACUUM, False, VACUUM_OK, False, t.timeout, 0.0, t.poll)
    machine.trigger_cylinder(LIFT_DOWN, False, None, LIFT_UP, t.timeout, 0, t.poll)
    machine.trigger_dy_cylinder(SLIDE_PICK, True, SLIDE_PLACE, None, None, SLIDE_AT_PICK, t.timeout, 0.0, t.poll)
    machine.trigger_cylinder(EJECT, False, None, EJECTOR_BACK, t.timeout, 0, t.poll)
    plc.take("feeder")
    plc.take("nest")
    machine.sync_xy_refresher()
