"""`python3 -m kvo_kit watch PORT`: a live table of a PLC's inputs and outputs.

PORT is a serial device (Modbus RTU, as for a machine), tcp://HOST[:PORT] (Modbus TCP:
a PLC on Ethernet, or a simulated PLC another process serves with plc.serve()),
rtu+tcp://HOST:PORT (a serial device server) or sim://NAME. A simulated
PLC lives in the process that made it, so for sim://NAME the watch builds the plant
itself from a plant file (--plant FILE: a Python file with `build(plc)`, `IO_MAP`
and, if it likes, `X_WORDS`, `Y_WORDS`, `Y_SHIFT`); sim://cell loads the demo
cell's examples/cell/plant.py by default.
"""
import argparse
import importlib.util
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Any, Optional

from kvo_kit.cli import refuse
from kvo_kit.iomap import IoMap, IoMapError
from kvo_kit.watch import ImageReader, Layout, WatchView, health_text

HELP = "show a PLC's input and output words and bits live, named by an I/O map"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("port", metavar="PORT", help="serial device (/dev/ttyUSB0, COM3), tcp://HOST[:PORT], rtu+tcp://HOST:PORT or sim://NAME")
    p.add_argument("--once", action="store_true", help="print one snapshot and exit")
    p.add_argument("--iomap", metavar="FILE", help="I/O map (TOML, [signals.NAME] tables) naming the relays")
    p.add_argument("--plant", metavar="FILE",
                   help="for sim:// ports: a plant file whose build(plc) wires the simulated PLC "
                        "(default for sim://cell: the demo cell)")
    p.add_argument("--fef", type=int, metavar="MODULES",
                   help="FEF layout: MODULES I/O modules, stations 1..MODULES (WX0/WY0 each)")
    p.add_argument("--x-words", type=int, help="FP layout: input words from D0 (default 1)")
    p.add_argument("--y-words", type=int, help="FP layout: output words (default 1)")
    p.add_argument("--y-shift", type=int, help="FP layout: first output data word (default 100)")
    p.add_argument("--station", type=int, default=1, help="FP layout: the PLC's station (default 1)")
    p.add_argument("--baudrate", type=int, default=9600, help="serial baud rate (default 9600)")
    p.add_argument("--parity", choices="NEO", help="serial parity (default N)")
    p.add_argument("--timeout", type=float, help="serial answer time-out in seconds")
    p.add_argument("--interval", type=float, default=0.1, help="seconds between reads (default 0.1)")


def demo_plant() -> Optional[Path]:
    """The demo cell's plant file: beside the source tree, or in the current folder's examples/."""
    here = Path(__file__).resolve()
    for root in (here.parents[3], Path.cwd()):
        candidate = root / "examples" / "cell" / "plant.py"
        if candidate.is_file():
            return candidate
    return None


class BadPlant(Exception):
    """A plant file that cannot be loaded or built; the text says why."""


def load_plant(path: Path) -> ModuleType:
    if not path.is_file():
        raise BadPlant(f"plant file {path}: no such file")
    sys.path.insert(0, str(path.parent))  # a plant may import its neighbours
    spec = importlib.util.spec_from_file_location(f"kvo_kit_plant_{path.stem}", path)
    if spec is None or spec.loader is None:
        raise BadPlant(f"cannot load plant file {path} (is it a .py file?)")
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except Exception as error:  # the plant's own fault, named in one line
        raise BadPlant(f"plant file {path}: {type(error).__name__}: {error}") from None
    if not callable(getattr(module, "build", None)):
        raise BadPlant(f"plant file {path} has no build(plc)")
    return module


def build_plant(plant: ModuleType, plc: Any, path: Path) -> None:
    try:
        plant.build(plc)
    except Exception as error:
        raise BadPlant(f"plant file {path}: build(plc) failed: {type(error).__name__}: {error}") from None


def check_options(args: argparse.Namespace) -> Optional[str]:
    """What is wrong with the options, or None."""
    if args.port.startswith("sim://") and not args.port[len("sim://"):]:
        return "sim:// needs the simulated PLC's name: sim://NAME"
    if args.plant and not args.port.startswith("sim://"):
        return "--plant is for sim:// ports only"
    for name in ("fef", "x_words", "y_words"):
        value = getattr(args, name)
        if value is not None and value < 1:
            return f"--{name.replace('_', '-')} must be at least 1, not {value}"
    if args.y_shift is not None and args.y_shift < 0:
        return f"--y-shift must be 0 or more, not {args.y_shift}"
    if not 0 <= args.station <= 255:
        return f"--station must be 0..255, not {args.station}"
    if not args.interval > 0:
        return f"--interval must be a positive number of seconds, not {args.interval}"
    if args.timeout is not None and not args.timeout > 0:
        return f"--timeout must be a positive number of seconds, not {args.timeout}"
    return None


def io_map_of(value: Any) -> Optional[IoMap]:
    if value is None or isinstance(value, IoMap):
        return value
    return IoMap(value)


def layout_of(args: argparse.Namespace, plant: Optional[ModuleType]) -> Layout:
    if args.fef:
        return Layout("fef", modules=args.fef)

    def pick(given: Optional[int], name: str, default: int) -> int:
        return given if given is not None else getattr(plant, name, default)

    return Layout("fp", pick(args.x_words, "X_WORDS", 1), pick(args.y_words, "Y_WORDS", 1),
                  pick(args.y_shift, "Y_SHIFT", 100), args.station)


def run(args: argparse.Namespace) -> int:
    import kvo_mew
    from rich.console import Console

    console = Console()
    problem = check_options(args)
    if problem:
        return refuse("watch", problem)
    plant: Optional[ModuleType] = None
    plc = None
    try:
        if args.port.startswith("sim://"):
            path = Path(args.plant) if args.plant else (demo_plant() if args.port == "sim://cell" else None)
            if args.port == "sim://cell" and path is None:
                return refuse("watch", "the demo cell's plant (examples/cell/plant.py) is not here; give --plant FILE")
            plant = load_plant(path) if path is not None else None
            plc = kvo_mew.simulator(args.port[len("sim://"):])
            if plant is not None and path is not None:
                build_plant(plant, plc, path)
        iomap = IoMap.from_toml(args.iomap) if args.iomap else io_map_of(getattr(plant, "IO_MAP", None))
    except BadPlant as bad:
        return refuse("watch", bad)
    except OSError as error:
        return refuse("watch", f"--iomap {args.iomap}: {error.strerror or error}")
    except IoMapError as error:
        return refuse("watch", f"I/O map: {error}")
    layout = layout_of(args, plant)
    keywords = {k: v for k, v in (("parity", args.parity), ("timeout", args.timeout)) if v is not None}
    try:
        link = kvo_mew.VedUzavur(args.port, args.baudrate, **keywords)
    except (kvo_mew.LinkError, TypeError, ValueError) as e:
        console.print(f"watch: {args.port}: {e}")
        return 1
    reader = ImageReader(link, layout)
    view = WatchView(layout, iomap, args.port)
    try:
        if args.once:
            image = reader.read()
            if image is None:
                console.print(f"watch: {args.port}: {reader.last_error}")
                return 1
            view.update(*image)
            console.print(view.render(health_text(link, reader, plc), width=console.width))
            return 0
        return live(console, reader, view, link, plc, args.interval)
    finally:
        link.close()


def live(console: Any, reader: ImageReader, view: WatchView, link: Any, plc: Any, interval: float) -> int:
    from rich.live import Live

    try:
        with Live(view.render(width=console.width), console=console, auto_refresh=False, screen=False) as display:
            while True:
                image = reader.read()
                if image is not None:
                    view.update(*image)
                display.update(view.render(health_text(link, reader, plc), width=console.width), refresh=True)
                time.sleep(interval)
    except KeyboardInterrupt:
        return 0
