"""The plant page as a Sparkplug B host: births, data and deaths of edge nodes
turned back into the reports of the JSON dialect, so that the page, its checks
and the history treat both dialects alike.

    host = SparkplugHost()
    for machine, kind, report in host.take(topic, payload_bytes): ...   # each report that changed
    host.wants_rebirth                                                  # edge nodes to ask for new births

A device is the machine "<group>/<device>". Its DBIRTH names every metric and
its alias; DDATA then sends the aliases of what changed (report by exception),
which the host keeps per device and rebuilds the reports of (sparkplug.py's
metric names). A DDEATH makes the device offline, an NDEATH each device of
its node when its bdSeq is that of the node's NBIRTH (an older session's will
says nothing of the present one; of a node not seen born, any). Data from a
node or device not born since the host started, or a DBIRTH whose NBIRTH it
did not see (the page came between the births), puts the node in
`wants_rebirth`: the page then asks it for a Rebirth.
"""
import json
import time
from typing import Any, Iterator, Optional

from .schema import SCHEMA_VERSION, is_level
from .sparkplug import BDSEQ, FIELDS, NAMESPACE, OEE_FACTORS
from .sparkplug_payload import Payload, SparkplugError, decode

# metric name -> (kind, field) for the metrics that map one to one onto a report's field
_FIELD_OF = {name: (kind, key) for kind, fields in FIELDS.items() for key, (name, _) in fields.items()}
_PREFIX_KINDS = (("Stations/", "stations"), ("IO/", "io"), ("Link/", "counters"), ("PackML/Command/", "info"),
                 ("PackML/", "packml"), ("OEE/", "oee"))
_STATE_METRICS = {"PackML/StateCurrent", "PackML/StateCurrentName", "PackML/UnitModeName"}


def kind_of(name: str) -> Optional[str]:
    if name in _FIELD_OF:
        return _FIELD_OF[name][0]
    return next((kind for prefix, kind in _PREFIX_KINDS if name.startswith(prefix)), None)


class _Device:
    def __init__(self) -> None:
        self.names: dict[int, str] = {}   # alias -> metric name, from the DBIRTH
        self.values: dict[str, Any] = {}


class SparkplugHost:
    def __init__(self) -> None:
        self._nodes: dict[tuple[str, str], Optional[int]] = {}        # (group, node) -> its NBIRTH's bdSeq
        self._devices: dict[tuple[str, str, str], _Device] = {}
        self.wants_rebirth: set[tuple[str, str]] = set()

    def take(self, topic: str, raw: bytes) -> list[tuple[str, str, dict[str, Any]]]:
        """(machine, kind, report) for each report that the message changed; SparkplugError when it is none."""
        levels = topic.split("/")
        if len(levels) not in (4, 5) or levels[0] != NAMESPACE:
            return []
        group, kind, node = levels[1], levels[2], levels[3]
        device = levels[4] if len(levels) == 5 else None
        if kind in ("NCMD", "DCMD") or not is_level(group):
            return []
        payload = decode(raw)
        at = (payload.timestamp or 0) / 1000 or None
        if kind == "NBIRTH":
            self._nodes[(group, node)] = _bdseq(payload)
            self.wants_rebirth.discard((group, node))
            for key in [key for key in self._devices if key[:2] == (group, node)]:
                del self._devices[key]  # its devices are born again after it
            return []
        if kind == "NDEATH":
            if (group, node) in self._nodes and self._nodes[(group, node)] != _bdseq(payload):
                return []  # the will of an older session
            self._nodes.pop((group, node), None)  # (a node never seen born has nothing to compare: it is gone)
            # Heard now: as the MQTT will, its time stamp is that of the connection it ends.
            return [self._offline(key, "node death", None) for key in list(self._devices) if key[:2] == (group, node)]
        if kind == "NDATA" and (group, node) not in self._nodes:
            self.wants_rebirth.add((group, node))
        if device is None or not is_level(device):
            return []
        key = (group, node, device)
        if kind == "DBIRTH":
            if (group, node) not in self._nodes:
                self.wants_rebirth.add((group, node))  # the host came between its node's birth and this one
            found = self._devices[key] = _Device()
            for metric in payload.metrics:
                if metric.name is not None:
                    if metric.alias is not None:
                        found.names[metric.alias] = metric.name
                    found.values[metric.name] = None if metric.is_null else metric.value
            return list(self._reports(key, set(found.values), at))
        if kind == "DDEATH":
            return [self._offline(key, "device death", at)] if self._devices.pop(key, None) is not None else []
        if kind == "DDATA":
            known = self._devices.get(key)
            if known is None:
                self.wants_rebirth.add((group, node))
                return []
            changed = set()
            for metric in payload.metrics:
                name = metric.name if metric.name is not None else known.names.get(metric.alias or -1)
                if name is None:
                    self.wants_rebirth.add((group, node))  # an alias its birth did not name
                    continue
                known.values[name] = None if metric.is_null else metric.value
                changed.add(name)
            return list(self._reports(key, changed, at))
        return []

    def _offline(self, key: tuple[str, str, str], reason: str, at: Optional[float]) -> tuple[str, str, dict[str, Any]]:
        self._devices.pop(key, None)
        return f"{key[0]}/{key[2]}", "state", _report(at, state="offline", reason=reason)

    def _reports(self, key: tuple[str, str, str], changed: set[str], at: Optional[float]) -> Iterator[
            tuple[str, str, dict[str, Any]]]:
        values = self._devices[key].values
        kinds = {kind for kind in map(kind_of, changed) if kind is not None}
        if changed & _STATE_METRICS:
            kinds.add("state")  # the state report carries the PackML state
        machine = f"{key[0]}/{key[2]}"
        for kind in sorted(kinds):
            report = _rebuild(kind, values)
            if report is not None:
                yield machine, kind, _report(at, **report)


def _bdseq(payload: Payload) -> Optional[int]:
    return next((m.value for m in payload.metrics if m.name == BDSEQ), None)


def _report(at: Optional[float], **fields: Any) -> dict[str, Any]:
    return {"v": SCHEMA_VERSION, "time": round(at if at else time.time(), 3), **fields}


def _seconds(ms: Any) -> Optional[float]:
    return ms / 1000 if isinstance(ms, int) and not isinstance(ms, bool) else None


def _rebuild(kind: str, values: dict[str, Any]) -> Optional[dict[str, Any]]:
    """The report of `kind` that the device's metrics stand for; None when they hold none."""
    report = {key: values[name] for key, (name, _) in FIELDS.get(kind, {}).items() if name in values}
    if kind == "state":
        if "state" not in report:
            return None
        if isinstance(values.get("PackML/StateCurrentName"), str):
            report["packml"] = {"state": values["PackML/StateCurrentName"],
                                "state_number": values.get("PackML/StateCurrent"),
                                "mode": values.get("PackML/UnitModeName")}
    elif kind == "fault":
        if "message" not in report:
            return None
        report["raised"], report["cleared"] = _seconds(report.get("raised")), _seconds(report.get("cleared"))
    elif kind == "stations":
        report["stations"] = {name[9:]: value for name, value in values.items() if name.startswith("Stations/")}
    elif kind == "io":
        for area in ("X", "Y"):
            words = sorted((int(name.rsplit("/", 1)[1]), value) for name, value in values.items()
                           if name.startswith(f"IO/{area}/") and name.rsplit("/", 1)[1].isdigit())
            report[area.lower()] = [value for _, value in words]
    elif kind == "counters":
        link: dict[str, Any] = {}
        for name, value in values.items():
            if name.startswith("Link/") and name != FIELDS["counters"]["link_failures"][0]:
                *path, leaf = name[5:].split("/")
                table = link
                for level in path:
                    table = table.setdefault(level, {}) if isinstance(table.get(level, {}), dict) else {}
                table[leaf] = value
        if "cycles" not in report:
            return None
        report["link"] = link or None
    elif kind == "packml":
        report["StateCumulativeTime"] = {name[27:]: value for name, value in values.items()
                                         if name.startswith("PackML/StateCumulativeTime/")}
        stop = {key: values.get(f"PackML/StopReason/{key.title()}") for key in ("type", "message")}
        stop["at"] = _seconds(values.get("PackML/StopReason/At"))
        report["StopReason"] = stop if stop["type"] or stop["message"] else None
        try:
            report["Alarm"] = json.loads(values.get("PackML/Alarm") or "[]")
        except ValueError:
            report["Alarm"] = []
    elif kind == "oee":
        for window, label in (("shift", "Shift"), ("hour", "Hour")):
            factors = {key: values.get(f"OEE/{label}/{factor}") for key, factor in OEE_FACTORS.items()}
            report[window] = factors if any(value is not None for value in factors.values()) else None
    elif kind == "info":
        report.setdefault("kind", "machine")
        report.update(x_names=[], y_names=[], commands=sorted(
            name[15:].lower() for name in values if name.startswith("PackML/Command/")))
    elif kind == "ack" and not isinstance(report.get("accepted"), bool):
        return None
    return report


__all__ = ["SparkplugError", "SparkplugHost", "kind_of"]
