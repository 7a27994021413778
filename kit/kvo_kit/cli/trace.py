"""`python3 -m kvo_kit trace TRACE.csv`: a saved I/O trace as a timing diagram or a VCD file."""
import argparse

from kvo_kit import trace
from kvo_kit.cli import refuse
from kvo_kit.iomap import IoMap, IoMapError

HELP = "draw a saved I/O trace (CSV) as a timing diagram (PNG) or convert it to VCD"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("csv", metavar="TRACE.csv", help="a trace saved with kvo_kit.trace.save_csv")
    p.add_argument("--png", metavar="FILE", help="write the timing diagram here")
    p.add_argument("--vcd", metavar="FILE", help="write a Value Change Dump here (GTKWave, PulseView)")
    p.add_argument("--iomap", metavar="FILE", help="I/O map (TOML) naming the relays")


def run(args: argparse.Namespace) -> int:
    try:
        events = trace.load_csv(args.csv)
    except OSError as error:
        return refuse("trace", f"{args.csv}: {error.strerror or error}")
    except ValueError as error:
        return refuse("trace", error)
    try:
        labels = IoMap.from_toml(args.iomap).labels if args.iomap else None
    except OSError as error:
        return refuse("trace", f"--iomap {args.iomap}: {error.strerror or error}")
    except IoMapError as error:
        return refuse("trace", f"I/O map: {error}")
    if not (args.png or args.vcd):
        return refuse("trace", f"{len(events)} events; give --png FILE and/or --vcd FILE")
    for option, path, write in (("--png", args.png, trace.render), ("--vcd", args.vcd, trace.write_vcd)):
        if path:
            try:
                write(events, path, labels=labels)
            except OSError as error:
                return refuse("trace", f"{option} {path}: {error.strerror or error}")
    return 0
