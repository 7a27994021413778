"""What the reporter reads off a machine, its stations and its link.

Reads only: run flags, worker properties, the image words and the link's
health. None of these takes a machine lock or talks to the PLC, so sampling
them from the reporter's thread adds nothing to the refresh cycle.
"""
import dataclasses
import math
from collections.abc import Mapping
from typing import Any, Optional


def machine_state(machine: Any) -> str:
    """running, paused, stopped or faulted: the fault wins, as it does in the machine's own checks."""
    if getattr(machine, "_exception_flag", False):
        return "faulted"
    if machine.is_stopped():
        return "stopped"
    if machine.is_paused():
        return "paused"
    return "running"


def station_states(group: Any) -> dict[str, str]:
    """Each worker's name and state: dead, working, waiting (tasks queued, none taken) or free."""
    states = {}
    for worker in list(getattr(group, "_workers", ()) if group is not None else ()):
        if worker.dead:
            state = "dead"
        elif worker.working:
            state = "working"
        elif worker.free:
            state = "free"
        else:
            state = "waiting"
        states[str(worker.name)] = state
    return states


def image_words(machine: Any) -> tuple[list[int], list[int]]:
    """The input and output words of the machine's image, word 0 first."""
    xs = [machine.wx(i) for i in range(machine.x_word_count)]
    ys = [machine.wy(i) for i in range(machine.y_word_count)]
    return xs, ys


def machine_link(machine: Any) -> Any:
    """The machine's PLC link (an FPMachine's native_machine_handle, an FEFMachine's plc), or None."""
    for name in ("native_machine_handle", "plc"):
        link = getattr(machine, name, None)
        if link is not None:
            return link
    return None


def link_health(link: Any) -> Optional[dict[str, Any]]:
    """The link's health as plain JSON values, or None when the link keeps none.

    Accepts a mapping, a dataclass, a named tuple or an object with public
    attributes; an exception (the last error) becomes "Type: message"."""
    health = getattr(link, "health", None) if link is not None else None
    if health is None:
        return None
    if callable(health) and not isinstance(health, Mapping):
        health = health()
    plain = _plain(health)
    return plain if isinstance(plain, dict) else {"value": plain}


def link_failures(health: Optional[dict[str, Any]]) -> Optional[int]:
    """The number of failed transactions in `health` (failures by cause added up), or None."""
    if not health:
        return None
    failures = next((health[k] for k in ("failures", "failures_by_cause", "failed", "errors") if k in health), None)
    if isinstance(failures, Mapping):
        return int(sum(v for v in failures.values() if isinstance(v, (int, float))))
    if isinstance(failures, (int, float)):
        return int(failures)
    return None


def _plain(value: Any, depth: int = 0) -> Any:
    if depth > 4:
        return str(value)
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return round(value, 4) if math.isfinite(value) else None
    if isinstance(value, BaseException):
        return f"{type(value).__name__}: {value}"
    if isinstance(value, Mapping):
        return {str(k): _plain(v, depth + 1) for k, v in value.items()}
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return _plain(dataclasses.asdict(value), depth)
    if hasattr(value, "_asdict"):
        return _plain(value._asdict(), depth)
    if isinstance(value, (list, tuple)):
        return [_plain(v, depth + 1) for v in value]
    fields = {name: getattr(value, name, None) for name in dir(value) if not name.startswith("_")}
    return {k: _plain(v, depth + 1) for k, v in fields.items() if not callable(v)}
