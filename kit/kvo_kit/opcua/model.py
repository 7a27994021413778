"""The address space of one machine: what its variables hold, and the nodes that hold it.

Every value is given as a flat table, key -> (type, value), with the key the
node's browse path below the machine's object ("PackML.Status.StateCurrent");
the same tables build the nodes and, later, update them. Only values that
changed are written, straight into the address space, so an idle machine costs
the server next to nothing.
"""
import datetime
import math
from collections.abc import Mapping
from typing import Any, Callable, Iterable, Optional

from asyncua import Node, Server, ua

from . import machinery

V = ua.VariantType
Values = dict[str, tuple[ua.VariantType, Any]]
NAMESPACE = "urn:kvo-fa:opcua"
NO_TIME = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)  # OPC UA's null DateTime
STATES = ("Undefined", "Clearing", "Stopped", "Starting", "Idle", "Suspended", "Execute", "Stopping", "Aborting",
          "Aborted", "Holding", "Held", "Unholding", "Suspending", "Unsuspending", "Resetting", "Completing",
          "Complete")
LINK_COUNTERS = ("transactions", "good", "failed", "retries", "reopens")
FAILURE_CAUSES = ("timeout", "crc", "exception", "stray", "closed", "port", "interrupted", "other")


def wall_time(at: Optional[float]) -> datetime.datetime:
    if at is None or not math.isfinite(at):
        return NO_TIME
    return datetime.datetime.fromtimestamp(at, datetime.timezone.utc)


def identification_values(properties: Mapping[str, Any]) -> Values:
    return {f"Identification.{key}": (V.UInt16 if key == "YearOfConstruction" else V.String, value)
            for key, value in properties.items()}


def state_values(packml_state: Optional[str], packml_mode: Optional[str]) -> Values:
    item, mode = machinery.item_state(packml_state), machinery.operation_mode(packml_mode)
    return {
        "MachineryItemState.CurrentState": (V.LocalizedText, ua.LocalizedText(item, "en")),
        "MachineryItemState.CurrentState.Number": (V.UInt32, machinery.ITEM_STATES[item]),
        "MachineryOperationMode.CurrentState": (V.LocalizedText, ua.LocalizedText(mode, "en")),
        "MachineryOperationMode.CurrentState.Number": (V.UInt32, machinery.OPERATION_MODES[mode]),
    }


def packml_values(tags: Mapping[str, Any]) -> Values:
    """PackML's status and admin tags (see kvo_kit.packml's tags())."""
    stop = tags.get("StopReason") or {}
    cumulative = tags.get("StateCumulativeTime") or {}
    alarms = tags.get("Alarm") or []
    values: Values = {
        "PackML.Status.StateCurrent": (V.Int32, int(tags.get("StateCurrent", 0))),
        "PackML.Status.StateCurrentName": (V.String, str(tags.get("StateCurrentName", "Undefined"))),
        "PackML.Status.UnitModeCurrent": (V.Int32, int(tags.get("UnitModeCurrent", 0))),
        "PackML.Status.UnitModeName": (V.String, str(tags.get("UnitModeName", "Invalid"))),
        "PackML.Status.MachSpeed": (V.Double, float(tags.get("MachSpeed", 0.0))),
        "PackML.Status.CurMachSpeed": (V.Double, round(float(tags.get("CurMachSpeed", 0.0)), 3)),
        "PackML.Admin.ProdProcessedCount": (V.Int32, int(tags.get("ProdProcessedCount", 0))),
        "PackML.Admin.ProdDefectiveCount": (V.Int32, int(tags.get("ProdDefectiveCount", 0))),
        "PackML.Admin.StopReason.Type": (V.String, str(stop.get("type") or "")),
        "PackML.Admin.StopReason.Message": (V.String, str(stop.get("message") or "")),
        "PackML.Admin.StopReason.Time": (V.DateTime, wall_time(stop.get("at"))),
        "PackML.Admin.AlarmCount": (V.Int32, len(alarms)),
        # whole seconds: a client subscribed to them hears of a change once a second, not at every poll
        "PackML.Admin.StateCurrentTime": (V.Double, float(round(tags.get("StateCurrentTime", 0.0)))),
        "PackML.Admin.AccTimeSinceReset": (V.Double, float(round(tags.get("AccTimeSinceReset", 0.0)))),
    }
    for state in STATES:
        values[f"PackML.Admin.StateCumulativeTime.{state}"] = (V.Double, float(round(cumulative.get(state, 0.0))))
    return values


def oee_values(shift: Mapping[str, Any], hour: Mapping[str, Any]) -> Values:
    values: Values = {}
    for part, figures in (("Shift", shift), ("LastHour", hour)):
        for key, name in (("availability", "Availability"), ("performance", "Performance"),
                          ("quality", "Quality"), ("oee", "OEE"), ("window", "Window")):
            values[f"PackML.OEE.{part}.{name}"] = (V.Double, round(float(figures.get(key, 0.0)), 4))
    return values


def fault_values(active: bool, exception: Optional[BaseException], at: Optional[float]) -> Values:
    return {
        "Fault.Active": (V.Boolean, active),
        "Fault.Type": (V.String, type(exception).__name__ if active and exception is not None else ""),
        "Fault.Message": (V.String, str(exception) if active and exception is not None else ""),
        "Fault.Time": (V.DateTime, wall_time(at) if active else NO_TIME),
    }


class Bit:
    """One named bit of the image: its node's key, its word and bit, its comment."""

    def __init__(self, key: str, word: int, bit: int, comment: str = "") -> None:
        self.key, self.word, self.bit, self.comment = key, word, bit, comment


def image_bits(machine: Any, iomap: Any) -> tuple[list[Bit], list[Bit]]:
    """The inputs and outputs by name: the I/O map's signals, or every relay by the machine's name for it."""
    if iomap is not None:
        ins = [Bit(f"IO.Inputs.{s.name}", s.word, s.bit, s.comment) for s in iomap if s.direction == "in"]
        outs = [Bit(f"IO.Outputs.{s.name}", s.word, s.bit, s.comment) for s in iomap if s.direction == "out"]
        return ins, outs

    def relays(area: str, words: int, folder: str) -> list[Bit]:
        return [Bit(f"IO.{folder}.{machine.index_to_name(area, i)}", i // 16, i % 16) for i in range(16 * words)]
    return relays("X", machine.x_word_count, "Inputs"), relays("Y", machine.y_word_count, "Outputs")


def io_values(xs: list[int], ys: list[int], inputs: Iterable[Bit], outputs: Iterable[Bit]) -> Values:
    values: Values = {"IO.X": (V.UInt16, list(xs)), "IO.Y": (V.UInt16, list(ys))}
    for bits, words in ((inputs, xs), (outputs, ys)):
        for b in bits:
            values[b.key] = (V.Boolean, bool(words[b.word] >> b.bit & 1) if b.word < len(words) else False)
    return values


class ImageChanges:
    """The I/O image's values that changed since the last look: words are compared first, and only the bits
    that flipped in a word that changed are worked out (an idle image costs two list compares)."""

    def __init__(self, inputs: Iterable[Bit], outputs: Iterable[Bit], xs: list[int], ys: list[int]) -> None:
        self._areas: list[tuple[str, dict[int, list[tuple[str, int]]], list[int]]] = []
        for key, bits, words in (("IO.X", inputs, xs), ("IO.Y", outputs, ys)):
            by_word: dict[int, list[tuple[str, int]]] = {}
            for b in bits:
                by_word.setdefault(b.word, []).append((b.key, b.bit))
            self._areas.append((key, by_word, list(words)))

    def since_last(self, xs: list[int], ys: list[int]) -> Values:
        values: Values = {}
        for area, words in enumerate((xs, ys)):
            key, by_word, seen = self._areas[area]
            if words == seen:
                continue
            values[key] = (V.UInt16, list(words))
            for i, word in enumerate(words):
                flipped = word ^ seen[i] if i < len(seen) else 0xFFFF
                if flipped:
                    for bit_key, bit in by_word.get(i, ()):
                        if flipped >> bit & 1:
                            values[bit_key] = (V.Boolean, bool(word >> bit & 1))
            self._areas[area] = (key, by_word, list(words))
        return values


def link_values(health: Optional[Mapping[str, Any]]) -> Values:
    """The link's health (kvo_kit.plant.sampling.link_health); Available is False for a link that keeps none."""
    h = health or {}
    since = h.get("since_good")
    values: Values = {
        "IO.Link.Available": (V.Boolean, health is not None),
        "IO.Link.Up": (V.Boolean, bool(h.get("up", False))),
        "IO.Link.SinceGood": (V.Double, round(float(since), 1) if isinstance(since, (int, float)) else -1.0),
        "IO.Link.LastError": (V.String, str(h.get("last_error") or "")),
        "IO.Link.LastCause": (V.String, str(h.get("last_cause") or "")),
    }
    for counter in LINK_COUNTERS:
        values[f"IO.Link.{counter.capitalize()}"] = (V.UInt64, _count(h.get(counter)))
    raw = h.get("failures")
    failures = raw if isinstance(raw, Mapping) else {}
    for cause in FAILURE_CAUSES:
        values[f"IO.Link.Failures.{cause}"] = (V.UInt64, _count(failures.get(cause)))
    return values


def _count(value: Any) -> int:
    return int(value) if isinstance(value, (int, float)) and not isinstance(value, bool) and value >= 0 else 0


class Written(ua.DataValue):  # type: ignore[misc]  # asyncua is typed as Any here (pyproject.toml)
    """A value as written into the address space. Nothing changes it afterwards, so a subscription that keeps
    a copy of each value it is sent keeps this one as it is (asyncua deep-copies it otherwise: the largest
    cost of a data change)."""

    __slots__ = ()

    def __deepcopy__(self, memo: Any) -> "Written":
        return self


BOOLEANS = {False: ua.Variant(False, V.Boolean), True: ua.Variant(True, V.Boolean)}  # shared: never changed


class Model:
    """The nodes of one machine under Objects/Machines/<name>, and their last written values."""

    def __init__(self, server: Server, ns: int, name: str) -> None:
        self.server, self.ns, self.name = server, ns, name
        self.root: Optional[Node] = None
        self._parents: dict[str, Node] = {}
        self._nodes: dict[str, tuple[ua.NodeId, ua.VariantType]] = {}
        self._last: dict[str, Any] = {}
        self.written = 0

    def node_id(self, key: str) -> ua.NodeId:
        return ua.NodeId(f"{self.name}.{key}" if key else self.name, self.ns)

    @property
    def nodes(self) -> int:
        """Objects, variables and methods of this machine (the machine's object included)."""
        return len(self._parents)

    async def build_root(self) -> Node:
        objects = self.server.nodes.objects
        folder_id = ua.NodeId("Machines", self.ns)
        try:
            folder = self.server.get_node(folder_id)
            await folder.read_browse_name()
        except ua.UaError:
            folder = await objects.add_folder(folder_id, ua.QualifiedName("Machines", self.ns))
        self.root = await folder.add_object(self.node_id(""), ua.QualifiedName(self.name, self.ns))
        self._parents[""] = self.root
        return self.root

    async def add(self, values: Values, properties: bool = False,
                  descriptions: Optional[Mapping[str, str]] = None) -> None:
        """Nodes for `values` (keys not seen before), with the objects on their paths."""
        for key, (vtype, value) in values.items():
            parent = await self._parent(key.rpartition(".")[0])
            bname = ua.QualifiedName(key.rpartition(".")[2], self.ns)
            variant = ua.Variant(value, vtype)
            under_variable = key.rpartition(".")[0] in self._nodes
            if properties or under_variable:
                node = await parent.add_property(self.node_id(key), bname, variant)
            else:
                node = await parent.add_variable(self.node_id(key), bname, variant)
            if isinstance(value, list):
                await node.write_value_rank(1)
                await node.write_array_dimensions([0])
            text = (descriptions or {}).get(key)
            if text:
                await node.write_attribute(ua.AttributeIds.Description,
                                           ua.DataValue(ua.Variant(ua.LocalizedText(text), V.LocalizedText)))
            self._nodes[key] = (node.nodeid, vtype)
            self._parents[key] = node
            self._last[key] = value

    async def add_method(self, key: str, call: Callable[..., Any], description: str) -> Node:
        parent = await self._parent(key.rpartition(".")[0])
        node = await parent.add_method(self.node_id(key), ua.QualifiedName(key.rpartition(".")[2], self.ns), call,
                                       [], [])
        await node.write_attribute(ua.AttributeIds.Description,
                                   ua.DataValue(ua.Variant(ua.LocalizedText(description), V.LocalizedText)))
        self._parents[key] = node
        return node

    async def update(self, values: Values) -> int:
        """Write the values that changed; returns how many."""
        changed, last, write = 0, self._last, self.server.iserver.aspace.write_attribute_value
        for key, (_, value) in values.items():
            if last.get(key) == value:
                continue
            node_id, vtype = self._nodes[key]
            last[key] = value
            variant = BOOLEANS[bool(value)] if vtype is V.Boolean else ua.Variant(value, vtype)
            await write(node_id, ua.AttributeIds.Value, Written(variant))
            changed += 1
        self.written += changed
        return changed

    async def _parent(self, path: str) -> Node:
        node = self._parents.get(path)
        if node is None:
            parent = await self._parent(path.rpartition(".")[0])
            node = await parent.add_object(self.node_id(path), ua.QualifiedName(path.rpartition(".")[2], self.ns))
            self._parents[path] = node
        return node
