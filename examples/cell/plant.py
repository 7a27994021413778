"""The simulated plant of the demo cell: its I/O map and the devices that
the simulated PLC models on it.

    feeder belt ──> pick position ──(lift + slide + vacuum cup)──> nest ──> ejector

Outputs are valves and motors, inputs are sensors; every name is an FP
element name of PLC station 1.
"""
from dataclasses import dataclass

import kvo_mew

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

LABELS = {
    BELT: "belt", PART_AT_PICK: "part at pick",
    LIFT_DOWN: "lift down", LIFT_UP: "lift is up", LIFT_IS_DOWN: "lift is down",
    SLIDE_PLACE: "slide to nest", SLIDE_PICK: "slide to pick",
    SLIDE_AT_PICK: "slide at pick", SLIDE_AT_PLACE: "slide at nest",
    VACUUM: "vacuum", VACUUM_OK: "vacuum ok",
    PART_IN_NEST: "part in nest", EJECT: "eject", EJECTOR_BACK: "ejector back", EJECTOR_OUT: "ejector out",
}

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


def build(plc: kvo_mew.SimulatedPlc, timing: Timing) -> None:
    """Wire the plant's devices to the simulated PLC `plc`."""
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
