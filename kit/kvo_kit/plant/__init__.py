"""kvo_kit.plant: every machine reports to the plant over MQTT, and one page shows them all.

- PlantReporter (reporter.py): attached to a machine and its worker group,
  publishes state, faults, stations, counters, I/O and a heartbeat to an MQTT
  broker, never making the machine wait; optional reset/pause/resume commands.
- PageServer (page_server.py): the plant page, `python3 -m kvo_kit plant --broker URL`.

Topics and payloads: docs/plant.md.
"""
from typing import Any

from kvo_kit.extras import needs

from .schema import SCHEMA_VERSION

__all__ = ["BrokerAddress", "PageServer", "PlantReporter", "SCHEMA_VERSION", "parse_broker_url"]


def __getattr__(name: str) -> Any:
    # The page needs Flask; a machine that only reports does not; what reads a machine (.sampling, which
    # the OPC UA server shares) needs neither.
    if name == "PageServer":
        from .page_server import PageServer

        return PageServer
    if name in ("BrokerAddress", "parse_broker_url", "PlantReporter"):
        with needs("plant", "kvo_kit.plant"):
            from . import broker, reporter
        return reporter.PlantReporter if name == "PlantReporter" else getattr(broker, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
