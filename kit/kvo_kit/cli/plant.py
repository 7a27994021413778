"""`python3 -m kvo_kit plant --broker URL`: serve the plant page.

    python3 -m kvo_kit plant --broker mqtt://127.0.0.1:1883 [--port 8080] [--host 127.0.0.1] [--prefix kvo]
                             [--history plant.db | --history postgresql://user@host:5432/plant]

The page shows every machine that reports to the broker under the prefix, and
the shift of each from the plant history (kept in memory without --history).
"""
import argparse
import logging
import sys

HELP = "serve the plant page: every machine that reports to an MQTT broker"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--broker", required=True, help="the broker's URL, e.g. mqtt://127.0.0.1:1883")
    p.add_argument("--host", default="127.0.0.1", help="address to serve the page on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8080, help="port to serve the page on (default 8080)")
    p.add_argument("--prefix", default="kvo", help="topic prefix the machines report under (default kvo)")
    p.add_argument("--history", metavar="FILE|URL",
                   help="keep the plant history in this SQLite file or postgresql:// database "
                        "(default: in memory, lost when the page ends)")


def run(args: argparse.Namespace) -> int:
    # Flask and paho come in with the page, not with `python3 -m kvo_kit --help`.
    from kvo_kit.plant.broker import parse_broker_url
    from kvo_kit.plant.page_server import PageServer

    from kvo_kit.cli import refuse
    from kvo_kit.plant.schema import check_level

    try:
        parse_broker_url(args.broker)
        for level in args.prefix.split("/"):
            check_level("--prefix level", level)
    except ValueError as error:
        return refuse("plant", error)
    if not 0 <= args.port <= 65535:
        return refuse("plant", f"--port must be 0..65535, not {args.port}")
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(message)s")
    try:
        server = PageServer(args.broker, args.host, args.port, args.prefix, history=args.history)
    except OSError as error:
        print(f"plant page: cannot serve on {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1
    try:
        server.history.store.open()  # a history that cannot be opened is said at once
    except Exception as error:
        server.close()
        print(f"plant page: cannot open the history {server.history}: {error}", file=sys.stderr)
        return 1
    print(f"plant page on {server.url} (broker {server.view.address}, history {server.history})", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0
