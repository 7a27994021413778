"""What the page accepts as a machine's report: the payloads of schema.py,
checked field by field before anything renders them.

Any broker client may publish under the prefix, so a payload is checked, not
trusted: JSON that the page's browser can parse again (no NaN or Infinity, no
deep nesting, a bounded size), the exact schema version, and every field the
page shows of the right type. Fields a reader does not know are let through.
`BadReport` says what is wrong, in words an operator can pass on.
"""
import json
import math
from typing import Any, Callable

from .schema import STATES, STATION_STATES, is_version

MAX_REPORT = 1 << 20   # bytes; an info report of a large machine is a few kB
MAX_DEPTH = 16         # a report nests 3 deep; deeper is someone else's data
MAX_INT = 2 ** 53      # above this a browser's numbers are no longer exact

Check = Callable[[Any], bool]


class BadReport(ValueError):
    """A payload the page will not show; its text is the reason."""


def _count(value: Any) -> bool:
    return type(value) is int and 0 <= value < MAX_INT


def _number(value: Any) -> bool:
    return type(value) in (int, float) and math.isfinite(value) and abs(value) < MAX_INT


def _text(value: Any) -> bool:
    return isinstance(value, str)


def _optional(check: Check) -> Check:
    return lambda value: value is None or check(value)


def _one_of(values: tuple[str, ...]) -> Check:
    return lambda value: isinstance(value, str) and value in values


def _list_of(check: Check) -> Check:
    return lambda value: isinstance(value, list) and all(check(item) for item in value)


def _table_of(check: Check) -> Check:
    return lambda value: isinstance(value, dict) and all(check(item) for item in value.values())


def _word(value: Any) -> bool:
    return type(value) is int and 0 <= value <= 0xFFFF


def _link(value: Any) -> bool:
    """A link's health: any table, but what the page shows from it must be a number or a text."""
    if not isinstance(value, dict):
        return False
    numbers = ("transactions", "seconds_since_good", "since_last_good", "seconds_since_last_good")
    return all(_optional(_number)(value.get(key)) for key in numbers) and _optional(_text)(value.get("last_error"))


# The PackML states a reporter may name (ISA-TR88.00.02), and Offline for one that is gone.
PACKML_STATES = ("Undefined", "Clearing", "Stopped", "Starting", "Idle", "Suspended", "Execute", "Stopping",
                 "Aborting", "Aborted", "Holding", "Held", "Unholding", "Suspending", "Unsuspending", "Resetting",
                 "Completing", "Complete")


def _packml_state(value: Any) -> bool:
    return (isinstance(value, dict) and value.get("state") in PACKML_STATES
            and _optional(_count)(value.get("state_number")) and _optional(_text)(value.get("mode")))


def _oee(value: Any) -> bool:
    """OEE factors: numbers (the share of the window, 0..1 or a little over for performance) and the window."""
    return isinstance(value, dict) and all(
        _optional(_number)(value.get(key)) for key in ("availability", "performance", "quality", "oee", "window"))


# kind -> field -> (check, required, what it must be)
FIELDS: dict[str, dict[str, tuple[Check, bool, str]]] = {
    "info": {
        "kind": (_text, True, "a text"),
        "x_names": (_list_of(_text), True, "a list of texts"),
        "y_names": (_list_of(_text), True, "a list of texts"),
        "labels": (_table_of(_text), False, "a table of texts"),
        "commands": (_list_of(_text), False, "a list of texts"),
    },
    "state": {
        "state": (_one_of(STATES), True, "one of " + ", ".join(STATES)),
        "reason": (_optional(_text), False, "a text"),
        "packml": (_packml_state, False, "a table with a PackML state name and number"),
    },
    "fault": {
        "active": (lambda v: isinstance(v, bool), True, "true or false"),
        "message": (_text, True, "a text"),
        "type": (_optional(_text), False, "a text or null"),
        "raised": (_optional(_number), False, "a time or null"),
        "cleared": (_optional(_number), False, "a time or null"),
    },
    "stations": {
        "stations": (_table_of(_one_of(STATION_STATES)), True,
                     "a table of station states (" + ", ".join(STATION_STATES) + ")"),
    },
    "counters": {
        "cycles": (_count, True, "a whole number"),
        "cycle_time": (_optional(_number), False, "a number or null"),
        "cycle_time_mean": (_optional(_number), False, "a number or null"),
        "faults": (_count, True, "a whole number"),
        "link_failures": (_optional(_count), False, "a whole number or null"),
        "link": (_optional(_link), False, "a link health table or null"),
    },
    "io": {
        "x": (_list_of(_word), True, "a list of 16-bit words"),
        "y": (_list_of(_word), True, "a list of 16-bit words"),
    },
    "heartbeat": {
        "interval": (lambda v: _number(v) and v > 0, True, "a positive number of seconds"),
        "uptime": (_optional(_number), False, "a number"),
        "queued": (_optional(_count), False, "a whole number"),
        "dropped": (_optional(_count), False, "a whole number"),
        "published": (_optional(_count), False, "a whole number"),
    },
    "packml": {
        "StateCurrent": (_optional(_count), False, "a whole number"),
        "StateCurrentName": (_optional(_one_of(PACKML_STATES)), False, "a PackML state name"),
        "ProdProcessedCount": (_optional(_count), False, "a whole number"),
        "ProdDefectiveCount": (_optional(_count), False, "a whole number"),
        "StateCurrentTime": (_optional(_number), False, "a number of seconds"),
    },
    "oee": {
        "shift": (_optional(_oee), False, "a table of OEE factors"),
        "hour": (_optional(_oee), False, "a table of OEE factors"),
    },
    "ack": {
        "accepted": (lambda v: isinstance(v, bool), True, "true or false"),
        "id": (_optional(_text), False, "a text or null"),
        "command": (_optional(_text), False, "a text or null"),
        "reason": (_optional(_text), False, "a text"),
    },
}


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is no JSON number")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} is too large a number")
    return value


def _depth(value: Any, depth: int = 0) -> int:
    if depth > MAX_DEPTH:
        return depth
    items = value.values() if isinstance(value, dict) else value if isinstance(value, list) else ()
    return max((_depth(item, depth + 1) for item in items), default=depth)


def decode(raw: bytes) -> dict[str, Any]:
    """The JSON object of a payload; BadReport when it is none the page can pass on."""
    if len(raw) > MAX_REPORT:
        raise BadReport(f"payload of {len(raw)} bytes is over {MAX_REPORT}")
    try:
        body = json.loads(raw, parse_constant=_refuse_constant, parse_float=_finite)
    except RecursionError:
        raise BadReport("payload nests too deep") from None
    except ValueError as error:  # also bad UTF-8 and an integer of too many digits
        raise BadReport(f"payload is not JSON: {error}") from None
    if not isinstance(body, dict):
        raise BadReport(f"payload is a JSON {type(body).__name__}, not an object")
    if _depth(body) > MAX_DEPTH:
        raise BadReport("payload nests too deep")
    return body


def check(kind: str, body: dict[str, Any]) -> dict[str, Any]:
    """`body` if it is a good report of `kind`; BadReport names the first field that is wrong."""
    if not is_version(body.get("v")):
        raise BadReport(f"{kind}: version {_shown(body.get('v'))} is not 1")
    if not _number(body.get("time")):
        raise BadReport(f"{kind}: time must be a number, not {_shown(body.get('time'))}")
    for name, (good, required, what) in FIELDS.get(kind, {}).items():
        if name not in body:
            if required:
                raise BadReport(f"{kind}: {name} is missing")
        elif not good(body[name]):
            raise BadReport(f"{kind}: {name} must be {what}, not {_shown(body[name])}")
    return body


def _shown(value: Any) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."
