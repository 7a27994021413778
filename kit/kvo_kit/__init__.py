"""kvo_kit: testing and commissioning tools for kvo_fa machines.

- `kvo_kit.pytest_plugin` — pytest fixtures: a simulated PLC, machines that close
  themselves and their links, a worker group that stops itself, a thread-leak guard
  and a virtual clock (`kvo_kit.clock.VirtualClock`) that runs station time-outs in
  milliseconds of real time;
- `kvo_kit.iomap.IoMap` — the I/O map of a machine, declared once and checked;
- `kvo_kit.trace` — the simulated PLC's I/O trace as a timing diagram, VCD or CSV;
- `python3 -m kvo_kit watch PORT` — a live table of a PLC's inputs and outputs.

See docs/kit.md.
"""
from typing import Any

__all__ = ["__version__"]


def __getattr__(name: str) -> Any:
    # The version lives in pyproject.toml and is compiled into kvo_mew; read
    # lazily, so that loading the pytest plugin does not import the modules.
    if name == "__version__":
        import kvo_mew

        return kvo_mew.__version__
    raise AttributeError(f"module 'kvo_kit' has no attribute {name!r}")
