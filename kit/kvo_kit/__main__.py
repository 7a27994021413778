"""`python3 -m kvo_kit COMMAND ...` (or `kvo-kit COMMAND ...`): one module per command under kvo_kit/cli/.

A command module has `HELP` (one line), `add_arguments(parser)` and
`run(args) -> int`; adding a command is one line in COMMANDS, with the pip
extra its run needs (kvo_kit/extras.py).
"""
import argparse
import contextlib
import importlib
import os
import sys
from typing import NoReturn, Optional

from kvo_kit.extras import MissingExtra, needs

COMMANDS = {
    "watch": ("kvo_kit.cli.watch", "watch"),
    "trace": ("kvo_kit.cli.trace", "trace"),
    "plant": ("kvo_kit.cli.plant", "plant"),
    "serve": ("kvo_kit.cli.serve", None),
}


class OneLineParser(argparse.ArgumentParser):
    """Bad options end in one line (no usage block) and status 2, as a bad file does."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def main(argv: Optional[list[str]] = None) -> int:
    prog = "kvo-kit" if os.path.basename(sys.argv[0]) == "kvo-kit" else "python3 -m kvo_kit"
    parser = OneLineParser(prog=prog, description="kvo_fa testing and commissioning kit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    modules = {}
    for name, (path, _) in COMMANDS.items():
        module = importlib.import_module(path)
        modules[name] = module
        module.add_arguments(sub.add_parser(name, help=module.HELP, description=module.HELP))
    args = parser.parse_args(argv)
    try:
        extra = COMMANDS[args.command][1]
        with needs(extra, f"kvo_kit {args.command}") if extra else contextlib.nullcontext():
            return int(modules[args.command].run(args) or 0)
    except MissingExtra as error:
        print(error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
