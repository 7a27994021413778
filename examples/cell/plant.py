"""The simulated plant of the demo cell: its I/O map and the devices that
the simulated PLC models on it.

    feeder belt ──> pick position ──(lift + slide + vacuum cup)──> nest ──> ejector

Outputs are valves and motors, inputs are sensors; every name is an FP
element name of PLC station 1.
"""
from dataclasses import dataclass
from typing import Optional

import kvo_mew
from kvo_kit.iomap import IoMap

# Outputs (Y) and inputs (X), with the words shown in the timing diagram.
BELT = "Y0"          # feeder belt runs
LIFT_DOWN = "Y1"     # lift cylinder valve: down while on (single solenoid)
SLIDE_PLACE = "Y2"   # slide cylinder coil: towards the nest (double solenoid)
SLIDE_PICK = "Y3"    # slide cylinder coil: back to the pick position
VACUUM = "Y4"        # vacuum cup valve
EJECT = "Y5"         # ejector cylinder valve: out while on

PART_AT_PICK = "X0"  # a part waits at the end of the feeder belt
LIFT_UP = "X1"
LIFT_IS_DOWN = "X2"
SLIDE_AT_PICK = "X3"
SLIDE_AT_PLACE = "X4"
VACUUM_OK = "X5"     # vacuum built: the cup holds a part
PART_IN_NEST = "X6"
EJECTOR_BACK = "X7"
EJECTOR_OUT = "X8"

# The I/O map, declared once: names for the timing diagram, the VCD and
# `python3 -m kvo_kit watch sim://cell`, checked against the machine at start-up.
# Its order is the order of the diagram's lanes.
IO_MAP = IoMap({
    "belt": (BELT, "out", "feeder belt runs"),
    "part_at_pick": (PART_AT_PICK, "in", "a part waits at the end of the belt"),
    "lift_down": (LIFT_DOWN, "out", "lift cylinder valve: down while on"),
    "lift_is_up": (LIFT_UP, "in", "lift cylinder retracted"),
    "lift_is_down": (LIFT_IS_DOWN, "in", "lift cylinder extended"),
    "slide_to_nest": (SLIDE_PLACE, "out", "slide coil towards the nest"),
    "slide_to_pick": (SLIDE_PICK, "out", "slide coil back to the pick position"),
    "slide_at_pick": (SLIDE_AT_PICK, "in", "slide at the pick position"),
    "slide_at_nest": (SLIDE_AT_PLACE, "in", "slide at the nest"),
    "vacuum": (VACUUM, "out", "vacuum cup valve"),
    "vacuum_ok": (VACUUM_OK, "in", "vacuum built: the cup holds a part"),
    "part_in_nest": (PART_IN_NEST, "in", "a part lies in the nest"),
    "eject": (EJECT, "out", "ejector valve: out while on"),
    "ejector_back": (EJECTOR_BACK, "in", "ejector retracted"),
    "ejector_out": (EJECTOR_OUT, "in", "ejector extended"),
})
LABELS = IO_MAP.labels  # relay -> signal name

X_WORDS, Y_WORDS, Y_SHIFT = 1, 1, 100  # the FP register map: inputs at D0, outputs at D100


@dataclass
class Timing:
    """Seconds the plant takes, and the limits the stations allow for it."""
    lift: float = 0.25      # lift stroke
    slide: float = 0.4      # slide stroke
    eject: float = 0.2      # ejector stroke
    feed: float = 0.3       # belt run until the next part reaches the pick position
    vacuum: float = 0.08    # vacuum build-up and release
    timeout: float = 2.0    # time-out of every supervised move
    poll: float = 0.02      # check interval of the actions


FAST = Timing(lift=0.05, slide=0.08, eject=0.04, feed=0.05, vacuum=0.02, timeout=1.0, poll=0.01)


def build(plc: kvo_mew.SimulatedPlc, timing: Optional[Timing] = None) -> None:
    """Wire the plant's devices to the simulated PLC `plc` (default timing: the demo's)."""
    timing = timing or Timing()
    plc.map_io(X_WORDS, Y_WORDS, Y_SHIFT)  # the PLC program of the FP register map
    plc.add_cylinder(valve=LIFT_DOWN, retracted=LIFT_UP, extended=LIFT_IS_DOWN, stroke=timing.lift, name="lift")
    plc.add_cylinder(valve=SLIDE_PLACE, valve_back=SLIDE_PICK, retracted=SLIDE_AT_PICK, extended=SLIDE_AT_PLACE,
                     stroke=timing.slide, name="slide")
    plc.add_cylinder(valve=EJECT, retracted=EJECTOR_BACK, extended=EJECTOR_OUT, stroke=timing.eject, name="ejector")
    plc.add_source(sensor=PART_AT_PICK, interval=timing.feed, demand=BELT, name="feeder")
    plc.add_source(sensor=PART_IN_NEST, take=EJECTOR_OUT, name="nest")
    plc.add_vacuum(valve=VACUUM, sensor=VACUUM_OK, source="feeder", pick_at=[LIFT_IS_DOWN, SLIDE_AT_PICK],
                   drop_to="nest", drop_at=[LIFT_IS_DOWN, SLIDE_AT_PLACE],
                   build=timing.vacuum, release=timing.vacuum, name="cup")
