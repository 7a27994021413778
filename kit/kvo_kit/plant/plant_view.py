"""The plant as the page sees it: the latest report of every machine, kept
from the broker, and handed to each open page as it changes.

One paho client subscribes to <prefix>/+/+/+ and keeps, per machine, the
last payload of each kind. Each open page listens through an Outbox of its
own, so a slow browser loses its oldest updates and never holds up the others.
When the broker link drops, every page hears it (the machines are then shown
offline) and the picture is rebuilt from the retained reports on reconnect.
"""
import json
import logging
import threading
import time
from typing import Any, Optional

import paho.mqtt.client as mqtt

from .broker import new_client, parse_broker_url
from .outbox import Outbox
from .schema import KINDS, split_topic

log = logging.getLogger("kvo_kit.plant")

Event = dict[str, Any]


class PlantView:
    def __init__(self, broker: str, prefix: str = "kvo", listener_queue: int = 500) -> None:
        self.address = parse_broker_url(broker)
        self.prefix = prefix
        self.listener_queue = listener_queue
        self._lock = threading.Lock()
        self._machines: dict[str, dict[str, Any]] = {}   # "line/machine" -> kind -> payload
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
        client.subscribe(f"{self.prefix}/+/+/+", qos=1)
        self.broker_up = True
        self.tell({"type": "broker", "up": True})

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                       properties: object) -> None:
        if self.broker_up and not self._closing:
            log.warning("plant page lost the broker %s: %s", self.address, reason)
        self.broker_up = False
        with self._lock:
            self._machines.clear()  # rebuilt from the retained reports after the reconnect
        self.tell({"type": "broker", "up": False})

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        where = split_topic(self.prefix, message.topic)
        if where is None or where[2] not in KINDS:
            return
        line, machine, kind = where
        try:
            body = json.loads(message.payload)
        except ValueError:
            log.warning("plant page: %s carries no JSON", message.topic)
            return
        if not isinstance(body, dict):
            return
        key = f"{line}/{machine}"
        with self._lock:
            self._machines.setdefault(key, {})[kind] = body
        self.tell({"type": "update", "machine": key, "kind": kind, "payload": body})
