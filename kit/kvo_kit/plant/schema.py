"""The plant's topics and the JSON payloads a reporter publishes on them.

Every machine reports under <prefix>/<line>/<machine>/ (docs/plant.md
describes each payload). Every payload is a JSON object whose "v" is
SCHEMA_VERSION and whose "time" is the reporter's wall-clock time in seconds
since the epoch; a reader ignores fields it does not know.
"""
import json
import re
import time
from typing import Any

SCHEMA_VERSION = 1

# What a reporter publishes: the retained ones hold the machine's latest
# picture, so a page that opens later sees it at once.
RETAINED = ("info", "state", "fault", "stations", "counters", "io", "packml", "oee")
EVENTS = ("heartbeat", "ack")
COMMAND = "command"
KINDS = RETAINED + EVENTS

STATES = ("running", "paused", "stopped", "faulted", "offline")
STATION_STATES = ("working", "free", "waiting", "dead")

# A topic level names a line or a machine: no MQTT wildcards or separators.
# Matched in full: a trailing newline is no part of a name.
_LEVEL = re.compile(r"[A-Za-z0-9_.\-]{1,64}")


def is_level(value: object) -> bool:
    return isinstance(value, str) and _LEVEL.fullmatch(value) is not None


def check_level(what: str, value: str) -> str:
    if not is_level(value):
        raise ValueError(f"{what} {value!r} cannot be a topic level: use 1 to 64 letters, digits, '_', '-' or '.'")
    return value


def is_version(value: object) -> bool:
    """Whether `value` is this schema's version: the integer itself, not True or 1.0."""
    return type(value) is int and value == SCHEMA_VERSION


def machine_topic(prefix: str, line: str, machine: str, kind: str) -> str:
    return f"{prefix}/{line}/{machine}/{kind}"


def split_topic(prefix: str, topic: str) -> tuple[str, str, str] | None:
    """(line, machine, kind) of a reporter's topic under `prefix`, or None."""
    levels = topic.split("/")
    head = prefix.split("/")
    if len(levels) != len(head) + 3 or levels[:len(head)] != head:
        return None
    line, machine, kind = levels[len(head):]
    if not (is_level(line) and is_level(machine)):
        return None  # no reporter publishes there
    return line, machine, kind


def payload(**fields: Any) -> dict[str, Any]:
    return {"v": SCHEMA_VERSION, "time": round(time.time(), 3), **fields}


def encode(message: dict[str, Any]) -> bytes:
    return json.dumps(message, separators=(",", ":"), default=str).encode()
