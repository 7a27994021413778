"""The host's side of the Sparkplug dialect: births and data back into the JSON dialect's reports.

    reader = SparkplugReader()
    for machine, kind, content in reader.take(message.topic, message.payload):
        ...   # machine "group/device", kind "state", "packml", "oee", "fault", ... as under kvo/<line>/<machine>/

So a reader of the plant (the page, the history) handles one kind of report,
whichever dialect the cells speak: the Sparkplug group stands for the line.
Aliases are resolved from the device's last DBIRTH; data of a device whose
birth was not seen is ignored until it is born. An NDEATH makes every device of
its edge node `offline`, a DDEATH its device.
"""
import json
from typing import Any, Optional

from .sparkplug import COMMAND_PREFIX, FIELDS, NAMESPACE, OEE_FACTORS
from .sparkplug_payload import decode

Report = tuple[str, str, dict[str, Any]]


class SparkplugReader:
    def __init__(self) -> None:
        self._names: dict[tuple[str, str, str], dict[int, str]] = {}    # (group, edge node, device) -> aliases
        self._values: dict[tuple[str, str, str], dict[str, Any]] = {}

    def take(self, topic: str, data: bytes) -> list[Report]:
        """The reports that one Sparkplug message changes; SparkplugError when its payload is none."""
        levels = topic.split("/")
        if len(levels) not in (4, 5) or levels[0] != NAMESPACE or levels[1] == "STATE":
            return []
        group, kind, edge_node = levels[1], levels[2], levels[3]
        if kind == "NDEATH":
            return [self._offline(key) for key in list(self._values) if key[:2] == (group, edge_node)]
        if len(levels) != 5 or kind not in ("DBIRTH", "DDATA", "DDEATH"):
            return []
        key = (group, edge_node, levels[4])
        if kind == "DDEATH":
            return [self._offline(key)] if key in self._values else []
        payload = decode(data)
        if kind == "DBIRTH":
            self._names[key] = {m.alias: m.name for m in payload.metrics if m.alias is not None and m.name}
            self._values[key] = {}
        elif key not in self._names:
            return []
        values, names = self._values[key], self._names[key]
        changed = set()
        for metric in payload.metrics:
            name = metric.name or names.get(metric.alias or -1)
            if name is not None:
                values[name] = metric.value
                changed.add(name)
        kinds = {kind_of(name) for name in changed} - {None}
        if "packml" in kinds:
            kinds.add("state")  # the state's packml field
        return [(f"{group}/{key[2]}", kind, content_of(kind, values)) for kind in sorted(kinds)]  # type: ignore

    def _offline(self, key: tuple[str, str, str]) -> Report:
        self._names.pop(key, None)
        self._values.pop(key, None)
        return f"{key[0]}/{key[2]}", "state", {"state": "offline", "reason": "connection lost"}


_KIND_OF = {name: kind for kind, fields in FIELDS.items() for name, _ in fields.values()}
_PREFIXES = {"Stations/": "stations", "IO/": "io", "Link/": "counters", "PackML/": "packml", "OEE/": "oee"}


def kind_of(name: str) -> Optional[str]:
    """The JSON dialect's kind that metric `name` belongs to, or None (commands, node metrics)."""
    if name.startswith(COMMAND_PREFIX):
        return None
    if name in _KIND_OF:
        return _KIND_OF[name]
    return next((kind for prefix, kind in _PREFIXES.items() if name.startswith(prefix)), None)


def content_of(kind: str, values: dict[str, Any]) -> dict[str, Any]:
    """The content of the JSON dialect's report `kind` from a device's metric values."""
    content: dict[str, Any] = {key: values.get(name) for key, (name, _) in FIELDS.get(kind, {}).items()
                               if name in values}
    if kind == "fault":
        for key in ("raised", "cleared"):
            stamp = content.get(key)
            if stamp is not None:
                content[key] = stamp / 1000
    elif kind == "state":
        content["packml"] = {"state": values.get("PackML/StateCurrentName"),
                             "state_number": values.get("PackML/StateCurrent"),
                             "mode": values.get("PackML/UnitModeName")}
    elif kind == "stations":
        content = {"stations": {n[len("Stations/"):]: v for n, v in values.items() if n.startswith("Stations/")}}
    elif kind == "io":
        content = {area: [values[f"IO/{area.upper()}/{i}"] for i in range(_count(values, f"IO/{area.upper()}/"))]
                   for area in ("x", "y")}
    elif kind == "counters":
        link: dict[str, Any] = {}
        for name, value in values.items():
            if name.startswith("Link/") and name != "Link/Failures":
                *path, last = name[len("Link/"):].split("/")
                table = link
                for level in path:
                    table = table.setdefault(level, {})
                table[last] = value
        content["link"] = link or None
    elif kind == "packml":
        prefix = "PackML/StateCumulativeTime/"
        content["StateCumulativeTime"] = {n[len(prefix):]: v for n, v in values.items() if n.startswith(prefix)}
        at = values.get("PackML/StopReason/At")
        content["StopReason"] = None if values.get("PackML/StopReason/Type") is None else {
            "type": values.get("PackML/StopReason/Type"), "message": values.get("PackML/StopReason/Message"),
            "at": None if at is None else at / 1000}
        try:
            content["Alarm"] = json.loads(values.get("PackML/Alarm") or "[]")
        except ValueError:
            content["Alarm"] = []
    elif kind == "oee":
        content = {window: {key: values.get(f"OEE/{label}/{factor}") for key, factor in OEE_FACTORS.items()}
                   for window, label in (("shift", "Shift"), ("hour", "Hour"))}
    return content


def _count(values: dict[str, Any], prefix: str) -> int:
    count = 0
    while f"{prefix}{count}" in values:
        count += 1
    return count
