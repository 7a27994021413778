"""A Sparkplug B 3.0 edge node: the plant reporter's other dialect.

    PlantReporter.attach(machine, workers, "mqtt://broker", dialect="sparkplug", group="plant1", name="press3")

One edge node per program: every reporter of a process that names the same
broker, group and edge node (by default the first reporter's machine name)
shares one MQTT session, and each machine is a device of it. Topics are
spBv1.0/<group>/<NBIRTH|NDATA|NDEATH|NCMD>/<edge node>[/<device>] with
DBIRTH, DDATA, DDEATH and DCMD for the devices (docs/plant.md lists the
metrics).

The order of birth and death is the edge node's own business, on its own
thread: the MQTT will is the NDEATH of the bdSeq that the next NBIRTH carries,
bdSeq goes up by one at each new connection and is kept in a small state file
so that it survives a restart; NBIRTH has seq 0 and every message after it the
next seq (0 to 255, round); births come again after a reconnect, on a Rebirth
NCMD and when the primary host's STATE says it is online again (while it is
offline the node says NDEATH and reconnects, then waits). Reporters hand their
news to their device from their own threads; it goes out as DDATA of the
metrics whose value changed (report by exception), and not at all while the
node is not born: the next birth carries the latest values.
"""
import json
import logging
import os
import threading
import time
from collections.abc import Mapping
from typing import Any, Callable, Optional

import paho.mqtt.client as mqtt

from .broker import BrokerAddress, new_client
from .sparkplug_payload import DataType, Metric, Payload, SparkplugError, decode, encode

log = logging.getLogger("kvo_kit.plant")

NAMESPACE = "spBv1.0"
REBIRTH = "Node Control/Rebirth"
BDSEQ = "bdSeq"
COMMAND_PREFIX = "PackML/Command/"
QUEUE = 1000  # messages paho may hold; a DDATA that does not fit is sent with the next one


def topic(group: str, kind: str, edge_node: str, device: Optional[str] = None) -> str:
    return "/".join([NAMESPACE, group, kind, edge_node] + ([device] if device else []))


def now_ms() -> int:
    return int(time.time() * 1000)


# ---- the reporter's news as metrics

# kind -> field -> (metric name, datatype); fields not named here are not metrics
FIELDS: dict[str, dict[str, tuple[str, DataType]]] = {
    "info": {"kind": ("Info/Kind", DataType.String)},
    "state": {"state": ("State", DataType.String)},
    "fault": {"active": ("Fault/Active", DataType.Boolean), "type": ("Fault/Type", DataType.String),
              "message": ("Fault/Message", DataType.String), "raised": ("Fault/Raised", DataType.DateTime),
              "cleared": ("Fault/Cleared", DataType.DateTime)},
    "counters": {"cycles": ("Counters/Cycles", DataType.Int64), "cycle_time": ("Counters/CycleTime", DataType.Double),
                 "cycle_time_mean": ("Counters/CycleTimeMean", DataType.Double),
                 "faults": ("Counters/Faults", DataType.Int64), "link_failures": ("Link/Failures", DataType.Int64)},
    "ack": {"command": ("Command/Last", DataType.String), "accepted": ("Command/Accepted", DataType.Boolean),
            "reason": ("Command/Reason", DataType.String)},
    "packml": {"StateCurrent": ("PackML/StateCurrent", DataType.Int32),
               "StateCurrentName": ("PackML/StateCurrentName", DataType.String),
               "UnitModeCurrent": ("PackML/UnitModeCurrent", DataType.Int32),
               "UnitModeName": ("PackML/UnitModeName", DataType.String),
               "MachSpeed": ("PackML/MachSpeed", DataType.Double),
               "CurMachSpeed": ("PackML/CurMachSpeed", DataType.Double),
               "ProdProcessedCount": ("PackML/ProdProcessedCount", DataType.Int64),
               "ProdDefectiveCount": ("PackML/ProdDefectiveCount", DataType.Int64),
               "StateCurrentTime": ("PackML/StateCurrentTime", DataType.Double),
               "AccTimeSinceReset": ("PackML/AccTimeSinceReset", DataType.Double)},
}
OEE_FACTORS = {"availability": "Availability", "performance": "Performance", "quality": "Quality", "oee": "OEE",
               "window": "Window"}


def metrics_of(kind: str, content: Mapping[str, Any]) -> dict[str, tuple[DataType, Any]]:
    """The metrics (name -> (datatype, value)) of one message of the reporter's JSON dialect."""
    found: dict[str, tuple[DataType, Any]] = {}
    for key, (name, datatype) in FIELDS.get(kind, {}).items():
        if key in content:
            found[name] = (datatype, content[key])
    if kind == "fault":
        for key in ("raised", "cleared"):
            name = FIELDS["fault"][key][0]
            if name in found and found[name][1] is not None:
                found[name] = (DataType.DateTime, int(found[name][1] * 1000))
    elif kind == "stations":
        for station, state in content.get("stations", {}).items():
            found[f"Stations/{station}"] = (DataType.String, state)
    elif kind == "io":
        for area in ("x", "y"):
            for i, word in enumerate(content.get(area, [])):
                found[f"IO/{area.upper()}/{i}"] = (DataType.UInt16, word)
    elif kind == "counters":
        _flatten("Link", content.get("link") or {}, found)
    elif kind == "packml":
        for state, seconds in content.get("StateCumulativeTime", {}).items():
            found[f"PackML/StateCumulativeTime/{state}"] = (DataType.Double, seconds)
        reason = content.get("StopReason") or {}
        found["PackML/StopReason/Type"] = (DataType.String, reason.get("type"))
        found["PackML/StopReason/Message"] = (DataType.String, reason.get("message"))
        at = reason.get("at")
        found["PackML/StopReason/At"] = (DataType.DateTime, None if at is None else int(at * 1000))
        alarms = content.get("Alarm", [])
        found["PackML/AlarmCount"] = (DataType.Int32, len(alarms))
        found["PackML/Alarm"] = (DataType.String, json.dumps(alarms, separators=(",", ":")))
    elif kind == "oee":
        for window, label in (("shift", "Shift"), ("hour", "Hour")):
            for key, factor in OEE_FACTORS.items():
                found[f"OEE/{label}/{factor}"] = (DataType.Double, (content.get(window) or {}).get(key))
    return found


def _flatten(prefix: str, table: Mapping[str, Any], into: dict[str, tuple[DataType, Any]]) -> None:
    for key, value in table.items():
        name = f"{prefix}/{key}"
        if isinstance(value, Mapping):
            _flatten(name, value, into)
        elif isinstance(value, bool):
            into[name] = (DataType.Boolean, value)
        elif isinstance(value, int):
            into[name] = (DataType.Int64, value)
        elif isinstance(value, float):
            into[name] = (DataType.Double, value)
        elif value is None or isinstance(value, str):
            into[name] = (DataType.String, value)
        else:
            into[name] = (DataType.String, json.dumps(value, default=str))


def _fit(datatype: DataType, value: Any) -> Any:
    """`value` as `datatype` carries it, or None (sent as null) when it cannot be."""
    if value is None:
        return None
    if datatype in (DataType.Double, DataType.Float):
        return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None
    if datatype in (DataType.Int32, DataType.Int64, DataType.UInt16, DataType.DateTime):
        return int(value) if isinstance(value, int) and not isinstance(value, bool) else None
    if datatype == DataType.Boolean:
        return value if isinstance(value, bool) else None
    return value if isinstance(value, str) else str(value)


# ---- bdSeq, kept across restarts

class BdSeqFile:
    """The bdSeq of the last connection, in a small file: the next one is one more."""

    def __init__(self, path: str) -> None:
        self.path = path

    def next(self) -> int:
        last = -1
        try:
            with open(self.path) as f:
                last = int(json.load(f)["bdSeq"])
        except FileNotFoundError:
            pass
        except (OSError, ValueError, KeyError, TypeError) as error:
            log.warning("sparkplug: cannot read %s (%s): bdSeq starts again from 0", self.path, error)
        value = (last + 1) % 256
        try:
            os.makedirs(os.path.dirname(self.path) or ".", exist_ok=True)
            temporary = f"{self.path}.{os.getpid()}.tmp"
            with open(temporary, "w") as f:
                json.dump({"bdSeq": value}, f)
            os.replace(temporary, self.path)
        except OSError as error:
            log.warning("sparkplug: cannot keep bdSeq in %s: %s", self.path, error)
        return value


def default_state_file(group: str, edge_node: str) -> str:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "kvo_kit", f"sparkplug-{group}-{edge_node}.json")


# ---- a device: one machine

class Device:
    """One machine of an edge node; its reporter's thread hands it news, the node publishes it."""

    def __init__(self, node: "EdgeNode", name: str, commands: list[str],
                 on_command: Callable[[str], object]) -> None:
        self.node, self.name = node, name
        self.commands, self.on_command = commands, on_command
        self.current: dict[str, tuple[DataType, Any]] = {
            COMMAND_PREFIX + command: (DataType.Boolean, False) for command in commands}
        self.sent: dict[str, Any] = {}     # what the host was told since the last birth
        self.born = False
        self.ready = False                 # has a first picture of its machine
        self.dirty = True                  # a value changed since the host was last told
        self.published = self.dropped = 0

    # The reporter's side, like its Publisher's.
    connected = property(lambda self: self.node.born)
    queued = 0

    def take(self, kind: str, content: Mapping[str, Any]) -> None:
        metrics = metrics_of(kind, content)
        with self.node.lock:
            for name, item in metrics.items():
                if self.current.get(name) != item:
                    self.current[name], self.dirty = item, True

    def republish(self) -> None:
        pass  # the node's births do that

    def flush(self) -> None:
        self.node.report(self)

    def close(self, *_: object) -> None:
        self.node.report(self)   # the reporter's last news first
        self.node.detach(self)


# ---- the edge node

class EdgeNode:
    """One MQTT session for the devices of a program; see the module."""

    def __init__(self, address: BrokerAddress, group: str, edge_node: str, state_file: str,
                 primary_host: Optional[str] = None, keepalive: int = 15) -> None:
        self.address, self.group, self.edge_node = address, group, edge_node
        self.primary_host, self.keepalive = primary_host, keepalive
        self.bdseq_file = BdSeqFile(state_file)
        self.lock = threading.RLock()
        self.devices: dict[str, Device] = {}
        self.aliases: dict[tuple[str, str], int] = {}   # (device or "", metric) -> alias, unique in the node
        self.born = False
        self.seq = 0
        self.bdseq = -1
        self._bdseq_used = False
        self._connected = False
        self._host_online: Optional[bool] = None
        self._host_time = -1
        self._wake = threading.Condition(threading.Lock())
        self._notes: list[tuple[str, Any]] = []
        self._closing = False
        self.client = new_client(address, f"kvo-spb-{group}-{edge_node}")
        self.client.max_queued_messages_set(QUEUE)
        self.client.on_connect = self._on_connect
        self.client.on_disconnect = self._on_disconnect
        self.client.on_message = self._on_message
        self._thread: Optional[threading.Thread] = None

    # Devices come and go.
    def attach(self, name: str, commands: list[str], on_command: Callable[[str], object]) -> Device:
        with self.lock:
            if name in self.devices:
                raise ValueError(f"edge node {self.group}/{self.edge_node} has a device {name!r} already")
            device = self.devices[name] = Device(self, name, commands, on_command)
            if self._thread is None:  # the first device opens the session
                self._prepare_connection()
                self.client.connect_async(self.address.host, self.address.port, keepalive=self.keepalive,
                                          clean_start=True)
                self.client.loop_start()
                self._thread = threading.Thread(target=self._run, name=f"sparkplug edge node {self.edge_node}")
                self._thread.start()
        return device

    def detach(self, device: Device) -> None:
        """DDEATH of `device`; the last one ends the session with NDEATH."""
        with self.lock:
            self.devices.pop(device.name, None)
            last = not self.devices
            if not last and self.born and device.born:
                self._publish(topic(self.group, "DDEATH", self.edge_node, device.name),
                              Payload(timestamp=now_ms(), seq=self._next_seq()))
        if last:
            _forget(self)
            with self._wake:
                self._closing = True
                self._wake.notify()
            if self._thread is not None:
                self._thread.join()
                self._thread = None

    # Called from the reporters' threads.
    def report(self, device: Device) -> None:
        with self.lock:
            if not self.born:
                return
            device.ready = True
            if device.born and not device.dirty:
                return
            if not device.born or set(device.current) - set(device.sent):
                self._device_birth(device)
                return
            changed = [name for name, (_, value) in device.current.items() if device.sent.get(name, ...) != value]
            if not changed:
                device.dirty = False
                return
            metrics = [self._metric(device.name, name, *device.current[name], with_name=False) for name in changed]
            if self._publish(topic(self.group, "DDATA", self.edge_node, device.name),
                             Payload(timestamp=now_ms(), seq=self.seq, metrics=metrics), advance=True):
                for name in changed:
                    device.sent[name] = device.current[name][1]
                device.published, device.dirty = device.published + 1, False
            else:
                device.dropped += 1

    # paho's thread: note and wake the node's thread.
    def _on_connect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                    properties: object) -> None:
        if reason.is_failure:
            log.warning("sparkplug broker %s refused edge node %s: %s", self.address, self.edge_node, reason)
            return
        self._note("connected", None)

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                       properties: object) -> None:
        with self.lock:
            self.born = self._connected = False
        if not self._closing:
            log.warning("sparkplug edge node %s lost the broker %s: %s", self.edge_node, self.address, reason)
            self._prepare_connection()  # paho reconnects by itself: with the next bdSeq in its will

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        self._note("message", (message.topic, bytes(message.payload), bool(message.retain)))

    def _note(self, what: str, detail: Any) -> None:
        with self._wake:
            self._notes.append((what, detail))
            self._wake.notify()

    # The node's thread.
    def _run(self) -> None:
        while True:
            with self._wake:
                while not (self._notes or self._closing):
                    self._wake.wait(0.05)
                if self._closing:
                    break
                notes, self._notes = self._notes, []
            for what, detail in notes:
                try:
                    if what == "connected":
                        self._connection_up()
                    elif what == "message":
                        self._message(*detail)
                except Exception:  # the node outlives a bad message; say what happened
                    log.exception("sparkplug edge node %s", self.edge_node)
        self._shut_down()

    def _prepare_connection(self) -> None:
        """The next connection's bdSeq, kept in the state file, and its NDEATH as the will."""
        with self.lock:
            if self.bdseq >= 0 and not self._bdseq_used:
                return
            self.bdseq, self._bdseq_used = self.bdseq_file.next(), False
            self.client.will_set(topic(self.group, "NDEATH", self.edge_node), self._death(), qos=1, retain=False)

    def _death(self) -> bytes:
        return encode(Payload(timestamp=now_ms(), metrics=[Metric(BDSEQ, None, DataType.Int64, self.bdseq)]))

    def _connection_up(self) -> None:
        with self.lock:
            self._connected, self._bdseq_used = True, True
        self.client.subscribe(topic(self.group, "NCMD", self.edge_node), qos=1)
        self.client.subscribe(topic(self.group, "DCMD", self.edge_node, "+"), qos=1)
        if self.primary_host:
            self.client.subscribe(f"{NAMESPACE}/STATE/{self.primary_host}", qos=1)
        else:
            self._births()

    def _births(self) -> None:
        """NBIRTH with seq 0, then a DBIRTH for every device that has its first picture."""
        with self.lock:
            if not self._connected:
                return
            self.seq = 0
            metrics = [self._metric("", BDSEQ, DataType.Int64, self.bdseq),
                       self._metric("", REBIRTH, DataType.Boolean, False)]
            if not self._publish(topic(self.group, "NBIRTH", self.edge_node),
                                 Payload(timestamp=now_ms(), seq=0, metrics=metrics), advance=False):
                return
            self.seq, self.born = 1, True
            for device in self.devices.values():
                device.born, device.sent = False, {}
                if device.ready:
                    self._device_birth(device)

    def _device_birth(self, device: Device) -> None:
        metrics = [self._metric(device.name, name, datatype, value)
                   for name, (datatype, value) in device.current.items()]
        if self._publish(topic(self.group, "DBIRTH", self.edge_node, device.name),
                         Payload(timestamp=now_ms(), seq=self.seq, metrics=metrics), advance=True):
            device.born, device.sent = True, {name: value for name, (_, value) in device.current.items()}
            device.dirty = False

    def _message(self, where: str, raw: bytes, retained: bool) -> None:
        if where.startswith(f"{NAMESPACE}/STATE/"):
            self._host_state(raw)
            return
        try:
            payload = decode(raw)
        except SparkplugError as error:
            log.warning("sparkplug edge node %s: a command on %s that is no payload: %s", self.edge_node, where, error)
            return
        levels = where.split("/")
        if levels[2] == "NCMD":
            if any(self._named("", m) == REBIRTH and m.value is True for m in payload.metrics):
                log.info("sparkplug edge node %s: rebirth asked", self.edge_node)
                self._births()
        elif levels[2] == "DCMD" and len(levels) == 5:
            with self.lock:
                device = self.devices.get(levels[4])
            if device is None:
                return
            for metric in payload.metrics:
                name = self._named(device.name, metric)
                if name and name.startswith(COMMAND_PREFIX) and metric.value is True:
                    device.on_command(name[len(COMMAND_PREFIX):])

    def _host_state(self, raw: bytes) -> None:
        """The primary host's STATE: births when it comes online; NDEATH and a new session when it goes."""
        try:
            state = json.loads(raw)
            online, stamp = state["online"], int(state.get("timestamp", 0))
        except (ValueError, KeyError, TypeError):
            log.warning("sparkplug edge node %s: the primary host's STATE %r is not understood", self.edge_node, raw)
            return
        if not isinstance(online, bool) or stamp < self._host_time:
            return  # an older STATE than the one already seen
        self._host_time, was = stamp, self._host_online
        self._host_online = online
        if online and not self.born:
            self._births()
        elif not online and was:
            log.warning("sparkplug edge node %s: primary host %s offline: a new session", self.edge_node,
                        self.primary_host)
            self._new_session()

    def _new_session(self) -> None:
        with self.lock:
            born, self.born = self.born, False
        if born:
            self.client.publish(topic(self.group, "NDEATH", self.edge_node), self._death(), qos=1)
        self.client.disconnect()
        self.client.loop_stop()
        self._prepare_connection()
        self.client.connect_async(self.address.host, self.address.port, keepalive=self.keepalive, clean_start=True)
        self.client.loop_start()

    def _shut_down(self) -> None:
        with self.lock:
            born, self.born = self.born, False
        if born:
            info = self.client.publish(topic(self.group, "NDEATH", self.edge_node), self._death(), qos=1)
            try:
                info.wait_for_publish(1.0)
            except (RuntimeError, ValueError):
                pass  # the broker went away meanwhile: the will says the same
        self.client.disconnect()
        self.client.loop_stop()

    # Metrics, aliases and seq (lock held).
    def _alias(self, device: str, name: str) -> int:
        key = (device, name)
        if key not in self.aliases:
            self.aliases[key] = len(self.aliases) + 1
        return self.aliases[key]

    def _named(self, device: str, metric: Metric) -> Optional[str]:
        if metric.name is not None:
            return metric.name
        with self.lock:
            return next((n for (d, n), a in self.aliases.items() if d == device and a == metric.alias), None)

    def _metric(self, device: str, name: str, datatype: DataType, value: Any, with_name: bool = True) -> Metric:
        value = _fit(datatype, value)
        return Metric(name if with_name else None, self._alias(device, name), datatype, value, now_ms(),
                      is_null=value is None)

    def _next_seq(self) -> int:
        seq, self.seq = self.seq, (self.seq + 1) % 256
        return seq

    def _publish(self, where: str, payload: Payload, advance: bool = False) -> bool:
        """Hand one message to paho; False when paho holds too many (then nothing is sent, seq stays)."""
        try:
            data = encode(payload)
        except SparkplugError:
            log.exception("sparkplug edge node %s: %s", self.edge_node, where)
            return False
        info = self.client.publish(where, data, qos=0)
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            return False
        if advance:
            self._next_seq()
        return True


# One session per broker, group and edge node in a process.
_sessions: dict[tuple[BrokerAddress, str, str], EdgeNode] = {}
_sessions_lock = threading.Lock()


def device_for(address: BrokerAddress, group: str, name: str, commands: list[str],
               on_command: Callable[[str], object], *, edge_node: Optional[str] = None,
               state_file: Optional[str] = None, primary_host: Optional[str] = None,
               keepalive: int = 15) -> Device:
    """A device `name` of this process's edge node for (`address`, `group`, `edge_node`), made if need be.

    Without `edge_node` the process's edge node for that broker and group is used, or one named
    after this first device."""
    with _sessions_lock:
        if edge_node is None:
            edge_node = next((e for (a, g, e) in _sessions if a == address and g == group), name)
        node = _sessions.get((address, group, edge_node))
        if node is None:
            node = _sessions[(address, group, edge_node)] = EdgeNode(
                address, group, edge_node, state_file or default_state_file(group, edge_node), primary_host,
                keepalive)
    return node.attach(name, commands, on_command)


def _forget(node: EdgeNode) -> None:
    with _sessions_lock:
        if _sessions.get((node.address, node.group, node.edge_node)) is node:
            del _sessions[(node.address, node.group, node.edge_node)]
