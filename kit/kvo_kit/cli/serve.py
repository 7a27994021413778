"""`python3 -m kvo_kit serve [--plant FILE] tcp://HOST:PORT`: a plant file's
devices on a simulated PLC served over Modbus TCP until Ctrl-C.

Another process then runs the cell against it as against a real PLC: a
machine program with an `FPMachine` on tcp://HOST:PORT, `python3 -m kvo_kit
watch tcp://HOST:PORT`, an HMI or any Modbus TCP client. Without --plant the
demo cell's examples/cell/plant.py is served.
"""
import argparse
import time
from pathlib import Path

from kvo_kit.cli.watch import demo_plant, load_plant

HELP = "serve a plant file's devices on a simulated PLC over Modbus TCP until Ctrl-C"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("port", metavar="PORT", help="tcp://HOST[:PORT] to serve on (port 0: a free one)")
    p.add_argument("--plant", metavar="FILE",
                   help="a plant file whose build(plc) wires the simulated PLC (default: the demo cell)")
    p.add_argument("--name", default="served", help="the simulated PLC's name in this process (default: served)")


def run(args: argparse.Namespace) -> int:
    import kvo_mew

    path = Path(args.plant) if args.plant else demo_plant()
    if path is None:
        print("serve: the demo cell's plant (examples/cell/plant.py) is not here; give --plant FILE")
        return 2
    plant = load_plant(path)
    plc = kvo_mew.simulator(args.name)
    plant.build(plc)
    try:
        address = plc.serve(args.port)
    except kvo_mew.LinkError as e:
        print(f"serve: {e}")
        return 1
    print(f"serving {path} on {address}; Ctrl-C stops", flush=True)
    try:
        while True:
            time.sleep(0.2)
    except KeyboardInterrupt:
        return 0
    finally:
        plc.stop_serving()
