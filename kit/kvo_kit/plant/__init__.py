"""kvo_kit.plant: every machine reports to the plant over MQTT, and one page shows them all.

- PlantReporter (reporter.py): attached to a machine and its worker group,
  publishes state, faults, stations, counters, I/O and a heartbeat to an MQTT
  broker, never making the machine wait; optional reset/pause/resume commands. It keeps the
  machine's PackML state, PackTags and OEE (kvo_kit.packml) and speaks JSON or, with
  dialect="sparkplug", Sparkplug B 3.0 (sparkplug.py; the payload codec sparkplug_payload.py,
  the host's side sparkplug_host.py).
- PageServer (page_server.py): the plant page, `python3 -m kvo_kit plant --broker URL`.

Topics and payloads: docs/plant.md.
"""
from typing import Any

from kvo_kit.extras import needs

from .schema import SCHEMA_VERSION

__all__ = ["BrokerAddress", "PageServer", "PlantReporter", "SCHEMA_VERSION", "parse_broker_url"]


def __getattr__(name: str) -> Any:
    # Imported at first use: the page needs Flask, a machine that only reports does not, and
    # kvo_kit.packml (which uses the command and sampling rules here) needs neither nor paho.
    with needs("plant", "kvo_kit.plant"):
        if name == "PageServer":
            from .page_server import PageServer

            return PageServer
        if name in ("BrokerAddress", "parse_broker_url"):
            from . import broker

            return getattr(broker, name)
        if name == "PlantReporter":
            from .reporter import PlantReporter

            return PlantReporter
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
