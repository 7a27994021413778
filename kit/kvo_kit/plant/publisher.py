"""The way out of a reporter: its messages on their way to the broker.

Messages wait in a bounded Outbox and are handed to paho only while the
broker is connected and paho holds few enough (paho's own queue is bounded
too); when the broker is slow or away the oldest are dropped and counted.
The latest payload of each retained topic is also kept aside: while the broker
is away retained news only updates it, and after a reconnect the whole picture
is published again; only what waited out the outage is dropped then as stale.
Only the reporter's thread calls it; paho's thread only marks the connection.
"""
import time

import paho.mqtt.client as mqtt

from .outbox import Outbox


class Publisher:
    def __init__(self, client: mqtt.Client, queue_size: int) -> None:
        self.client = client
        self.connected = False
        self.published = 0
        self._outbox: Outbox[tuple[str, bytes, bool, int]] = Outbox(queue_size)
        self._connection = 0                     # counts connections; each message notes the one it was put in
        self._retained: dict[str, bytes] = {}   # topic -> its latest payload
        self._stale = 0                          # messages dropped as stale at a reconnect

    @property
    def dropped(self) -> int:
        return self._outbox.dropped + self._stale

    @property
    def queued(self) -> int:
        return len(self._outbox)

    def mark_connected(self) -> None:
        self.connected = True
        self._connection += 1

    def put(self, topic: str, data: bytes, retain: bool) -> None:
        if retain:
            self._retained[topic] = data
            if not self.connected:
                return  # published with the rest of the picture once the broker is back
        self._outbox.put((topic, data, retain, self._connection))

    def republish(self) -> None:
        """After a (re)connect: what waited out the outage is stale; the retained picture goes out again.

        News put since the connection came up is not stale: it stays, in order.
        """
        while True:
            item = self._outbox.peek()
            if item is None or item[3] == self._connection:
                break
            self._outbox.pop()
            self._stale += 1
        for topic, data in self._retained.items():
            self._outbox.put((topic, data, True, self._connection))

    def flush(self) -> None:
        while self.connected:
            item = self._outbox.peek()
            if item is None:
                return
            topic, data, retain, _ = item
            info = self.client.publish(topic, data, qos=1, retain=retain)
            if info.rc == mqtt.MQTT_ERR_QUEUE_SIZE:
                return  # paho holds enough: the rest waits here, where the oldest may be dropped
            self._outbox.pop()
            self.published += 1

    def close(self, last_topic: str, last_data: bytes, timeout: float = 1.0) -> None:
        """Hand paho what waits (if connected, for up to `timeout` s), publish a last retained message,
        disconnect and end paho's thread."""
        deadline = time.monotonic() + timeout
        self.flush()
        while self.connected and self.queued and time.monotonic() < deadline:
            time.sleep(0.01)  # paho holds its most; it takes more as the broker acknowledges
            self.flush()
        if self.connected:
            info = self.client.publish(last_topic, last_data, qos=1, retain=True)
            try:
                info.wait_for_publish(max(0.1, deadline - time.monotonic()))
            except (RuntimeError, ValueError):
                pass  # the broker went away meanwhile: the last will says the same
        self.client.disconnect()
        self.client.loop_stop()
        self.connected = False
