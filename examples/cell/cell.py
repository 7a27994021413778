"""A simulated production cell run by kvo_fa: the framework's main demo.

One FPMachine on the built-in simulated PLC, whose devices (cylinders, a
vacuum cup, part sources) behave like the plant in plant.py; three stations
(workstations.py) as Workers of one WorkerGroup: feed -> pick-and-place ->
unload. A fault subscriber prints the operator messages. With --jam the
slide cylinder jams halfway through the run: the move times out, the
framework's operator message appears, every station stops; the demo frees
the slide, resets the machine and the stations, homes the cell and finishes
the run. At the end: a summary, the timing diagram of the first parts (and,
with --jam, of the fault and the recovery, both marked on the time axis), and
the whole I/O trace as VCD (for GTKWave or PulseView) and CSV. With
--plant URL the cell reports to the plant's MQTT broker (kvo_kit.plant); with
--opcua URL it is an OPC UA server (kvo_kit.opcua, docs/opcua.md).

    python3 examples/cell/cell.py [--parts N] [--fast] [--jam] [--out DIR] [--plant URL --name NAME]
        [--sparkplug GROUP] [--ideal-cycle SECONDS]
                                  [--opcua opc.tcp://127.0.0.1:4840 [--opcua-reset --opcua-user NAME]]
"""
import argparse
import os
import statistics
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

import kvo_fa
import kvo_mew
from kvo_kit import trace
from kvo_kit.extras import hint, installed

import plant
from workstations import Feed, PickAndPlace, Unload, home

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "..", "..", "build", "demo")


@dataclass
class Summary:
    parts: int = 0                                 # good parts unloaded
    scrapped: int = 0                              # parts cleared out of the cell after a fault
    cycle_times: list[float] = field(default_factory=list)  # seconds between two unloaded parts
    faults: list[str] = field(default_factory=list)     # operator messages
    seconds: float = 0.0
    diagram: str = ""        # the first parts
    fault_diagram: str = ""  # the fault and the recovery, with --jam
    vcd: str = ""
    csv: str = ""


class Cell:
    """Counts the parts through the cell and prints the progress."""

    def __init__(
        self, target: int, trace_parts: int, plc: kvo_mew.SimulatedPlc, out: Callable[[str], object] = print
    ) -> None:
        self.target, self.trace_parts, self.plc, self.out = target, trace_parts, plc, out
        self.lock = threading.Lock()
        self.changed = threading.Event()
        self.begin = self.last = time.monotonic()
        self.serial = 0
        self.in_cell: set[int] = set()
        self.summary = Summary()
        self.marks: list[trace.Mark] = []  # faults and operator actions, on the trace's time axis
        self.trace_origin = 0.0
        self.first_parts_until: Optional[float] = None
        self.on_part: Callable[[], object] = lambda: None  # told of every part unloaded
        self.on_scrap: Callable[[int], object] = lambda count: None  # told of the parts scrapped

    def trace_time(self) -> float:
        return self.plc.now - self.trace_origin

    def mark(self, text: str, kind: str = "operator") -> None:
        self.marks.append(trace.Mark(self.trace_time(), text, kind))

    def part_fed(self) -> int:
        with self.lock:
            self.serial += 1
            self.in_cell.add(self.serial)
            return self.serial

    def part_done(self, part: int) -> None:
        with self.lock:
            now = time.monotonic()
            cycle, self.last = now - self.last, now
            self.in_cell.discard(part)
            s = self.summary
            s.parts += 1
            s.cycle_times.append(cycle)
            self.on_part()
            if s.parts == self.trace_parts:
                self.first_parts_until = self.trace_time()  # the first diagram ends here
            bar = "#" * (20 * s.parts // self.target)
            self.out(f"  part {part:3d} unloaded  t={now - self.begin:6.2f} s  cycle {cycle:5.2f} s  "
                     f"[{bar:<20}] {s.parts}/{self.target}")
        self.changed.set()

    def scrap_parts_in_cell(self) -> int:
        with self.lock:
            scrapped, self.in_cell = len(self.in_cell), set()
            self.summary.scrapped += scrapped
            self.last = time.monotonic()
            if scrapped:
                self.on_scrap(scrapped)
            return scrapped


def run(
    parts: int = 10,
    timing: Optional[plant.Timing] = None,
    jam: bool = False,
    out_dir: str = DEFAULT_OUT,
    trace_parts: int = 2,
    out: Callable[[str], object] = print,
    sim: str = "cell",
    plant_url: Optional[str] = None,
    name: str = "cell",
    reset_from_plant: bool = False,
    jam_after: Optional[int] = None,
    sparkplug: Optional[str] = None,
    ideal_cycle: Optional[float] = None,
    opcua_url: Optional[str] = None,
    opcua_users: Optional[dict[str, str]] = None,
    reset_from_opcua: bool = False,
) -> Summary:
    """Run the cell until `parts` good parts are unloaded; returns the Summary."""
    timing = timing or plant.Timing()
    kvo_mew.reset_simulators()
    plc = kvo_mew.simulator(sim)
    plant.build(plc, timing)
    machine = kvo_fa.FPMachine(plant.X_WORDS, plant.Y_WORDS, plant.Y_SHIFT, "sim://" + sim)
    cell = Cell(parts, trace_parts, plc, out)
    fault = threading.Event()

    def operator_message(exception: Exception) -> bool:
        # A fault subscriber: the first to return a true value takes the fault.
        # This one only tells the operator, so the machine stops on it.
        out(f"operator: {exception}")
        cell.summary.faults.append(str(exception))
        cell.mark(type(exception).__name__, "fault")
        fault.set()
        return False

    machine.exception_event.subscribe(operator_message)
    group = kvo_fa.WorkerGroup()
    for station in (Feed(group, "feed", machine, cell, timing), PickAndPlace(group, "pick", machine, cell, timing),
                    Unload(group, "unload", machine, cell, timing)):
        group.add(station)

    # A station whose work raises ends its thread: say so in one line.
    old_hook = threading.excepthook
    threading.excepthook = lambda a: out(f"  a station stopped: {type(a.exc_value).__name__}")
    jam_after = (jam_after or max(1, parts // 2)) if jam else None
    reporter, plant_reset = None, threading.Event()
    if plant_url:
        from kvo_kit.plant import PlantReporter

        # Over Sparkplug the plant's reset is the PackML Clear (a DCMD).
        resets = {"reset": plant_reset.set, **({"Clear": plant_reset.set} if sparkplug else {})}
        reporter = PlantReporter(machine, group, plant_url, line="demo", name=name, labels=plant.LABELS,
                                 commands=resets if reset_from_plant else None,
                                 ideal_cycle=ideal_cycle, dialect="sparkplug" if sparkplug else "json",
                                 sparkplug_group=sparkplug)
        cell.on_part = reporter.cycle_done
        cell.on_scrap = lambda count: reporter.cycle_done(count, good=False)
    opcua, opcua_reset = None, threading.Event()
    if opcua_url:
        from kvo_kit.opcua import OpcUaServer, Security

        # Reset from a client runs the cell's own recovery below, as the plant's reset does.
        opcua = served = OpcUaServer(
            machine, group, opcua_url, name=name, iomap=plant.IO_MAP,
            identification={"Manufacturer": "kvo_fa", "Model": "demo cell", "SerialNumber": name},
            commands={"Reset": opcua_reset.set} if reset_from_opcua else None,
            security=Security(users=opcua_users or {}), ideal_cycle=ideal_cycle)
        also, also_scrap = cell.on_part, cell.on_scrap

        def count_part() -> None:  # for PackML's counters and OEE, and the plant's
            also()
            served.cycle_done()

        def count_scrap(count: int) -> None:
            also_scrap(count)
            served.cycle_done(good=False, count=count)
        cell.on_part, cell.on_scrap = count_part, count_scrap
    out(f"cell: {parts} parts, strokes lift {timing.lift} s, slide {timing.slide} s, ejector {timing.eject} s"
        + (f"; the slide jams after part {jam_after}" if jam else ""))
    try:
        plant.IO_MAP.check(machine)  # the names fit this machine's image
        machine.start()
        if reporter:
            reporter.start()
        if opcua:
            opcua.start()
            out(f"cell: OPC UA server at {opcua_url}, {opcua.nodes} nodes")
        plc.trace_start()
        cell.trace_origin = plc.now
        group.start_all()
        for _ in range(parts):
            group.put_task("feed", "order")
        deadline = time.monotonic() + 30 + parts * 10 * (timing.slide + timing.lift * 2 + timing.timeout)
        while cell.summary.parts < parts:
            cell.changed.wait(0.05)
            cell.changed.clear()
            # Jammed while it waits at the pick position, the slide fails on its way to the nest.
            if jam_after is not None and cell.summary.parts >= jam_after and plc.get(plant.SLIDE_AT_PICK):
                jam_after = None
                out("simulation: the slide cylinder jams halfway")
                plc.jam("slide", "arrive")
                cell.mark("slide jams", "operator")
            if fault.is_set() and (reset_from_plant or reset_from_opcua):
                out("operator: waiting for the plant's reset" if reset_from_plant else
                    "operator: waiting for Reset from an OPC UA client")
                while not (plant_reset.wait(0.05) or opcua_reset.is_set()):
                    if time.monotonic() > deadline:
                        raise RuntimeError("no reset came from the plant")
                plant_reset.clear()
                opcua_reset.clear()
            if fault.is_set():
                fault.clear()
                recover(machine, group, plc, cell, timing, parts, out)
            if time.monotonic() > deadline:
                raise RuntimeError("the cell did not finish in time")
    finally:
        try:
            shut_down(machine, group)
        finally:  # closed whatever the shut-down met, or the machine's threads keep the program alive
            if reporter:
                reporter.close()
            if opcua:
                opcua.close()
            machine.close()
            plc.trace_stop()
            threading.excepthook = old_hook
    return finish(cell, plc, out_dir, trace_parts, out)


def shut_down(machine: kvo_fa.MachineBase, group: kvo_fa.WorkerGroup) -> None:
    """Stops the cell, also on Ctrl-C: the machine first, which ends the
    stations' waits (a station waiting without a time-out would keep
    stop_all waiting for ever), then the stations, then every output off.
    The caller closes the machine."""
    machine.stop()
    group.stop_all()
    plant.IO_MAP.outputs_off(machine)  # a stopped machine still refreshes: the outputs go out


def recover(
    machine: kvo_fa.MachineBase,
    group: kvo_fa.WorkerGroup,
    plc: kvo_mew.SimulatedPlc,
    cell: Cell,
    timing: plant.Timing,
    parts: int,
    out: Callable[[str], object],
) -> None:
    group.stop_all()  # every station has ended its action by now; stop their threads
    out("operator: the machine has stopped all stations")
    plc.jam("slide", None)
    out("operator: slide freed; reset the machine and the stations, home the cell")
    cell.mark("slide freed, reset")
    machine.reset()
    group.reset_all()  # dead stations come back, their task lists empty
    home(machine, plc, timing)
    scrapped = cell.scrap_parts_in_cell()
    remaining = parts - cell.summary.parts
    out(f"operator: {scrapped} part(s) taken out of the cell; restarting for the remaining {remaining}")
    cell.mark("restart")
    group.start_all()
    for _ in range(remaining):
        group.put_task("feed", "order")


def finish(
    cell: Cell, plc: kvo_mew.SimulatedPlc, out_dir: str, trace_parts: int, out: Callable[[str], object]
) -> Summary:
    s = cell.summary
    s.seconds = time.monotonic() - cell.begin
    os.makedirs(out_dir, exist_ok=True)
    events = plc.trace
    # Without the demo extra (a bare wheel) the cell has run all the same: only
    # the diagrams and the VCD file are left out, and the summary says how to get them.
    if installed("demo"):
        s.diagram = os.path.normpath(os.path.join(out_dir, "cell_timing.png"))
        trace.render(events, s.diagram, labels=plant.LABELS, until=cell.first_parts_until, marks=cell.marks,
                     title=f"demo cell: I/O of the first {trace_parts} parts")
        faults = [m.time for m in cell.marks if m.kind == "fault"]
        if faults:
            s.fault_diagram = os.path.normpath(os.path.join(out_dir, "cell_fault.png"))
            restart = [m.time for m in cell.marks if m.text == "restart"] or faults
            trace.render(events, s.fault_diagram, labels=plant.LABELS, since=max(0.0, faults[0] - 3.0),
                         until=restart[-1] + 3.0, marks=cell.marks, title="demo cell: the fault and the recovery")
        s.vcd = os.path.normpath(os.path.join(out_dir, "cell.vcd"))
        trace.write_vcd(events, s.vcd, labels=plant.LABELS, marks=cell.marks)
    s.csv = os.path.normpath(os.path.join(out_dir, "cell_trace.csv"))
    trace.save_csv(events, s.csv, labels=plant.LABELS)
    out("summary")
    out(f"  parts            {s.parts} good, {s.scrapped} scrapped")
    out(f"  cycle time       mean {statistics.mean(s.cycle_times):.2f} s, max {max(s.cycle_times):.2f} s")
    out(f"  faults           {len(s.faults)}")
    for message in s.faults:
        out(f"    {message}")
    out(f"  run time         {s.seconds:.1f} s")
    if not s.diagram:
        out(f"  timing diagram   not drawn: {hint('demo', 'the timing diagram')}")
        out(f"  I/O trace        {s.csv} (and as VCD with the demo extra)")
        return s
    out(f"  timing diagram   {s.diagram}")
    if s.fault_diagram:
        out(f"  fault diagram    {s.fault_diagram}")
    out(f"  I/O trace        {s.vcd} (GTKWave, PulseView), {s.csv}")
    return s


def main(argv: Optional[list[str]] = None) -> None:
    p = argparse.ArgumentParser(description="Run the simulated production cell.")
    p.add_argument("--parts", type=int, default=10, help="good parts to make (default 10)")
    p.add_argument("--fast", action="store_true", help="short strokes and time-outs")
    p.add_argument("--jam", action="store_true", help="jam the slide cylinder halfway, then recover")
    p.add_argument("--out", default=DEFAULT_OUT, help="folder for the timing diagram (default build/demo)")
    p.add_argument("--jam-after", type=int, help="jam after this many parts (default: half of them)")
    p.add_argument("--plant", metavar="URL", help="report to the plant's MQTT broker, e.g. mqtt://127.0.0.1:1883")
    p.add_argument("--name", default="cell", help="the cell's name in the plant (default cell)")
    p.add_argument("--sparkplug", metavar="GROUP",
                   help="report as a Sparkplug B edge node of this group (with --plant URL --name NAME)")
    p.add_argument("--ideal-cycle", type=float, metavar="SECONDS",
                   help="the cell's ideal cycle time, for OEE's performance")
    p.add_argument("--plant-reset", action="store_true",
                   help="after a fault, wait for the plant's reset command (needs an authenticated --plant URL)")
    p.add_argument("--opcua", metavar="URL", help="serve the cell over OPC UA, e.g. opc.tcp://127.0.0.1:4840")
    p.add_argument("--opcua-reset", action="store_true",
                   help="after a fault, wait for an OPC UA client's Reset (needs --opcua-user)")
    p.add_argument("--opcua-user", metavar="NAME",
                   help="the user who may call Reset; the password comes from KVO_OPCUA_PASSWORD")
    args = p.parse_args(argv)
    if args.parts < (3 if args.jam else 1):
        p.error("--parts must be at least 1 (3 with --jam)")
    if args.plant_reset and not args.plant:
        p.error("--plant-reset needs --plant")
    if args.opcua_reset and not (args.opcua and args.opcua_user):
        p.error("--opcua-reset needs --opcua and --opcua-user")
    if args.opcua_user and not os.environ.get("KVO_OPCUA_PASSWORD"):
        p.error("--opcua-user needs the password in KVO_OPCUA_PASSWORD")
    if args.opcua and not installed("opcua"):
        p.exit(1, hint("opcua", "the demo's --opcua") + "\n")
    if args.sparkplug and not args.plant:
        p.error("--sparkplug needs --plant")
    if args.ideal_cycle is not None and not args.ideal_cycle > 0:
        p.error("--ideal-cycle must be a positive number of seconds")
    if args.plant and not installed("plant"):
        p.exit(1, hint("plant", "the demo's --plant") + "\n")
    try:
        run(args.parts, plant.FAST if args.fast else plant.Timing(), args.jam, args.out, plant_url=args.plant,
            name=args.name, reset_from_plant=args.plant_reset, jam_after=args.jam_after, opcua_url=args.opcua,
            opcua_users={args.opcua_user: os.environ["KVO_OPCUA_PASSWORD"]} if args.opcua_user else None,
            reset_from_opcua=args.opcua_reset, sparkplug=args.sparkplug, ideal_cycle=args.ideal_cycle)
    except KeyboardInterrupt:
        print("cell: interrupted; machine and stations stopped, outputs off")
        sys.exit(130)


if __name__ == "__main__":
    main()
