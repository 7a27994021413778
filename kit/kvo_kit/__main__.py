"""`python3 -m kvo_kit COMMAND ...`: one module per command under kvo_kit/cli/.

A command module has `HELP` (one line), `add_arguments(parser)` and
`run(args) -> int`; adding a command is one line in COMMANDS.
"""
import argparse
import importlib
import sys
from typing import Optional

COMMANDS = {
    "watch": "kvo_kit.cli.watch",
    "trace": "kvo_kit.cli.trace",
    "plant": "kvo_kit.cli.plant",
    "serve": "kvo_kit.cli.serve",
}


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m kvo_kit", description="kvo_fa testing and commissioning kit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    modules = {}
    for name, path in COMMANDS.items():
        module = importlib.import_module(path)
        modules[name] = module
        module.add_arguments(sub.add_parser(name, help=module.HELP, description=module.HELP))
    args = parser.parse_args(argv)
    return int(modules[args.command].run(args) or 0)


if __name__ == "__main__":
    sys.exit(main())
