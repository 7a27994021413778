"""python3 -m kvo_kit SUBCOMMAND: the kit's command line (stand-in: only `plant`)."""
import sys


def main(argv: "list[str] | None" = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] != "plant":
        sys.exit("usage: python3 -m kvo_kit plant --broker URL")
    from kvo_kit.plant.cli import main as plant_main
    return plant_main(argv[1:])


if __name__ == "__main__":
    sys.exit(main())
