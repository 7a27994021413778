"""An FEFMachine with three I/O modules on a simulated link.

Module k is station k; bit index n is bit n % 16 of module n // 16 + 1. A
sensor on module 2 (bit 17) turns on; an edge handler reports it and the
machine switches an output of module 3 (bit 33)."""
import sys

import kvo_fa
import kvo_mew

SIM = "fef_example"


def main() -> None:
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(SIM)
    machine = kvo_fa.FEFMachine("sim://" + SIM, 3)
    edges: list[list[int]] = []

    def on_edge(snapshot: kvo_fa.XManager) -> None:
        rising = [n for n in range(48) if snapshot.rising(n)]
        edges.append(rising)
        print("rising inputs:", rising)

    machine.register_edge_event_handler(on_edge)
    try:
        machine.start()
        machine.sync_xy_refresher()
        plc.set("WX0", 0b10, station=2)  # module 2, bit 1
        machine.sync_xy_refresher()
        print("input 17:", machine.x(17), "- module words:", [machine.wx(k) for k in range(3)])
        machine.set_y(33, True)  # module 3, bit 1
        machine.sync_xy_refresher()
        print("module outputs:", [plc.get("WY0", station=k) for k in (1, 2, 3)])
    finally:
        machine.close()
    print("closed")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # the finally blocks above have stopped everything
        sys.exit(130)
