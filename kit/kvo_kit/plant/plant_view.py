"""The plant as the page sees it: the latest report of every machine, kept
from the broker, and handed to each open page as it changes.

One paho client subscribes to <prefix>/+/+/+ and keeps, per machine, the
last payload of each kind. It also hears the Sparkplug B edge nodes
(spBv1.0/#), whose births and data sparkplug_host.py turns into the same
reports: a device is the machine "<group>/<device>". When data comes from a
node the page has not seen born, the page asks it for a Rebirth (an NCMD,
at most every few seconds per node; the broker's ACL may refuse it, and the
next birth then brings the machine). Each open page listens through an Outbox of its
own, so a slow browser loses its oldest updates and never holds up the others.
When the broker link drops, every page hears it and keeps the last known
figures, shown stale; the retained reports refresh them on reconnect.

Every payload is checked (reports.py) before it is kept: a bad one is logged,
marks its machine "bad report" (its last good reports stay), and never reaches
a page; the other machines are not touched. A good one is also noted in the
plant history, when there is one (history.py: it only notes, its own thread
writes).
"""
import logging
import threading
import time
from typing import Any, Optional

import paho.mqtt.client as mqtt

from .broker import new_client, parse_broker_url
from .history import History
from .outbox import Outbox
from .reports import BadReport, check, decode
from .schema import KINDS, check_level, is_level, split_topic
from .sparkplug import NAMESPACE, REBIRTH
from .sparkplug_host import SparkplugHost
from .sparkplug_payload import DataType, Metric, Payload, SparkplugError, encode

log = logging.getLogger("kvo_kit.plant")

Event = dict[str, Any]
REBIRTH_EVERY = 5.0  # seconds between two Rebirth requests to one edge node


class PlantView:
    def __init__(self, broker: str, prefix: str = "kvo", listener_queue: int = 500,
                 history: Optional[History] = None) -> None:
        self.address = parse_broker_url(broker)
        for level in prefix.split("/"):
            check_level("prefix", level)
        self.prefix = prefix
        self.listener_queue = listener_queue
        self.history = history
        self._sparkplug = SparkplugHost()
        self._rebirth_asked: dict[tuple[str, str], float] = {}
        self._lock = threading.Lock()
        self._machines: dict[str, dict[str, Any]] = {}   # "line/machine" -> kind -> payload
        self._bad: dict[str, dict[str, str]] = {}         # "line/machine" -> kind -> why its last one was refused
        self._listeners: set[Outbox[Event]] = set()
        self.broker_up = False
        self._closing = False
        self._client: Optional[mqtt.Client] = None

    def start(self) -> None:
        client = new_client(self.address, f"kvo-plant-page-{id(self):x}")
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.connect_async(self.address.host, self.address.port, keepalive=15)
        client.loop_start()
        self._client = client

    def close(self) -> None:
        if self._client is not None:
            self._closing = True
            self._client.disconnect()
            self._client.loop_stop()
            self._client = None

    # What a page gets: the whole picture once, then each change.
    def snapshot(self) -> Event:
        with self._lock:
            machines = {key: dict(kinds) for key, kinds in self._machines.items()}
            for key, bad in self._bad.items():
                if bad:
                    machines.setdefault(key, {})["bad"] = dict(bad)
            return {"type": "snapshot", "broker": self.broker_up, "machines": machines, "now": time.time()}

    def listen(self) -> Outbox[Event]:
        listener: Outbox[Event] = Outbox(self.listener_queue)
        with self._lock:
            self._listeners.add(listener)
        return listener

    def forget(self, listener: Outbox[Event]) -> None:
        with self._lock:
            self._listeners.discard(listener)

    def tell(self, event: Event) -> None:
        with self._lock:
            listeners = list(self._listeners)
        for listener in listeners:
            listener.put(event)

    # paho's thread.
    def _on_connect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                    properties: object) -> None:
        if reason.is_failure:
            log.warning("plant page: broker %s refused the connection: %s", self.address, reason)
            return
        log.info("plant page connected to %s", self.address)
        client.subscribe([(f"{self.prefix}/+/+/+", 1), (f"{NAMESPACE}/#", 1)])
        self.broker_up = True
        self.tell({"type": "broker", "up": True})

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                       properties: object) -> None:
        if self.broker_up and not self._closing:
            log.warning("plant page lost the broker %s: %s", self.address, reason)
        self.broker_up = False  # the pages keep the last known figures, shown stale
        self.tell({"type": "broker", "up": False})

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        try:
            if message.topic.startswith(NAMESPACE + "/"):
                self._take_sparkplug(message.topic, bytes(message.payload))
            else:
                self._take(message.topic, bytes(message.payload))
        except Exception:  # paho's thread must outlive anything a publisher sends
            log.exception("plant page: report on %r", message.topic)

    def _take_sparkplug(self, topic: str, raw: bytes) -> None:
        try:
            reports = self._sparkplug.take(topic, raw)
        except SparkplugError as bad:
            levels = topic.split("/")
            if len(levels) == 5 and is_level(levels[1]) and is_level(levels[4]):
                self._refuse(f"{levels[1]}/{levels[4]}", "sparkplug", f"{levels[2]}: {bad}")
            else:
                log.warning("plant page: %s is no Sparkplug payload: %s", topic, bad)
            return
        for machine, kind, body in reports:
            try:
                self._keep(machine, kind, check(kind, body))
            except BadReport as bad:
                self._refuse(machine, kind, str(bad))
        self._ask_rebirths()

    def _ask_rebirths(self) -> None:
        now = time.monotonic()
        for group, node in list(self._sparkplug.wants_rebirth):
            if now - self._rebirth_asked.get((group, node), -REBIRTH_EVERY) < REBIRTH_EVERY or self._client is None:
                continue
            self._rebirth_asked[(group, node)] = now
            log.info("plant page: asking Sparkplug edge node %s/%s for a rebirth", group, node)
            rebirth = Payload(timestamp=int(time.time() * 1000),
                              metrics=[Metric(REBIRTH, None, DataType.Boolean, True)])
            self._client.publish(f"{NAMESPACE}/{group}/NCMD/{node}", encode(rebirth), qos=0)

    def _take(self, topic: str, raw: bytes) -> None:
        where = split_topic(self.prefix, topic)
        if where is None or where[2] not in KINDS:
            return
        line, machine, kind = where
        key = f"{line}/{machine}"
        if not raw:  # a retained report cleared: that kind is no longer known
            with self._lock:
                known = self._machines.get(key, {}).pop(kind, None) is not None
            if known:
                self.tell({"type": "update", "machine": key, "kind": kind, "payload": None})
            return
        try:
            body = check(kind, decode(raw))
        except BadReport as bad:
            self._refuse(key, kind, str(bad))
            return
        self._keep(key, kind, body)

    def _keep(self, key: str, kind: str, body: dict[str, Any]) -> None:
        with self._lock:
            self._machines.setdefault(key, {})[kind] = body
            self._bad.get(key, {}).pop(kind, None)
        if self.history is not None:
            self.history.note(key, kind, body)
        self.tell({"type": "update", "machine": key, "kind": kind, "payload": body})

    def _refuse(self, key: str, kind: str, reason: str) -> None:
        with self._lock:
            bad = self._bad.setdefault(key, {})
            new = bad.get(kind) != reason
            bad[kind] = reason
        if new:  # once per reason, so a flood of one bad report cannot flood the log
            log.warning("plant page: bad report from %s: %s", key, reason)
        self.tell({"type": "bad", "machine": key, "kind": kind, "reason": reason})
