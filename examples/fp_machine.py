"""An FPMachine on a simulated FP-series PLC.

The simulated PLC runs the program that the FP register map assumes: its
input relays (WX0, ...) are copied into D0, ... and the words from D100 into
its output relays (WY0, ...). A sensor on X3 turns on; the machine sees it
and switches the clamp valve on Y0."""
import sys
import time

import kvo_fa
import kvo_mew

SIM = "fp_example"
Y_SHIFT = 100


def wait_for_input(machine: kvo_fa.MachineBase, name: str, value: bool, timeout: float = 2.0) -> None:
    deadline = time.monotonic() + timeout
    while machine.x(name) != value:
        if time.monotonic() > deadline:
            raise TimeoutError(f"{name} did not become {value}")
        machine.sync_xy_refresher()


def main() -> None:
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(SIM)
    plc.map_io(1, 1, Y_SHIFT)
    machine = kvo_fa.FPMachine(1, 1, Y_SHIFT, "sim://" + SIM)
    try:
        machine.start()
        machine.sync_xy_refresher()
        print("part sensor X3:", machine.x("X3"))
        plc.set("WX0", 1 << 3)  # a part arrives at the sensor
        wait_for_input(machine, "X3", True)
        print("part sensor X3:", machine.x("X3"))
        machine.set_y_sync("Y0", True)  # close the clamp
        machine.sync_xy_refresher()
        print("clamp valve Y0 in the PLC:", bool(plc.get("WY0") & 1), f"(D{Y_SHIFT} = {plc.get('D%d' % Y_SHIFT)})")
        print("PLC words D0..D1:", machine.get_multi_uint16("D0", 2))
    finally:
        machine.close()
    print("closed")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # the finally blocks above have stopped everything
        sys.exit(130)
