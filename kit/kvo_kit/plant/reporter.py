"""The plant reporter: one machine tells the plant's MQTT broker what it is doing.

    reporter = PlantReporter.attach(machine, group, "mqtt://127.0.0.1:1883", line="line1", name="press3")
    ...
    reporter.close()

It publishes the machine's state, faults, stations, counters, I/O words and a
heartbeat under <prefix>/<line>/<name>/ (docs/plant.md), from a thread of its
own. Control never waits on it: the fault subscriber and the edge handler it
adds only note what happened and return (the subscriber returns False, so it
never takes a fault); everything else is read by polling from its thread. What
it publishes goes through a bounded queue that drops the oldest news when the
broker is slow or away; the broker going down, coming back or being
unreachable at start changes nothing on the machine. paho reconnects with
backoff, and the reporter then publishes its retained picture again.
"""
import json
import logging
import threading
import time
from collections import deque
from typing import Any, Optional

import paho.mqtt.client as mqtt
from paho.mqtt.subscribeoptions import SubscribeOptions

from kvo_kit.packml import PackML

from . import commands as plant_commands
from .broker import new_client, parse_broker_url
from .publisher import Publisher
from .sampling import image_words, link_failures, link_health, machine_link, machine_state, station_states
from .schema import COMMAND, RETAINED, SCHEMA_VERSION, check_level, encode, machine_topic, payload

log = logging.getLogger("kvo_kit.plant")

FAULT_SETTLE = 0.05      # a fault is looked at this long after it was raised: the machine sets its flag
                         # only once every subscriber has returned
REPUBLISH_SETTLE = 0.2   # after a reconnect, paho first resends what it still held
DIALECTS = ("json", "sparkplug")


class PlantReporter:
    """Reports one machine (and its worker group) to the plant's MQTT broker."""

    def __init__(
        self,
        machine: Any,
        group: Any = None,
        broker: str = "mqtt://127.0.0.1:1883",
        *,
        line: str = "line1",
        name: str = "machine",
        prefix: str = "kvo",
        link: Any = None,
        labels: Optional[dict[str, str]] = None,
        commands: Optional[plant_commands.AllowList] = None,
        poll_interval: float = 0.1,
        io_interval: float = 0.1,
        counters_interval: float = 1.0,
        heartbeat_interval: float = 5.0,
        queue_size: int = 1000,
        keepalive: int = 15,
        ideal_cycle: Optional[float] = None,
        starved_after: float = 30.0,
        dialect: str = "json",
        sparkplug_group: Optional[str] = None,
        edge_node: Optional[str] = None,
        sparkplug_state: Optional[str] = None,
        primary_host: Optional[str] = None,
    ) -> None:
        self.address = parse_broker_url(broker)
        if dialect not in DIALECTS:
            raise ValueError(f"unknown plant dialect {dialect!r}: known are {', '.join(DIALECTS)}")
        if (dialect == "sparkplug") != (sparkplug_group is not None):
            raise ValueError("the sparkplug dialect needs a Sparkplug group (group=\"GROUP\" at attach), "
                             "and only it takes one")
        for what, level in (("Sparkplug group", sparkplug_group), ("edge node", edge_node),
                            ("primary host", primary_host)):
            if level is not None:
                check_level(what, level)
        self.dialect, self.sparkplug_group, self.edge_node = dialect, sparkplug_group, edge_node
        self.sparkplug_state, self.primary_host = sparkplug_state, primary_host
        for level in prefix.split("/"):
            check_level("prefix", level)
        self.line, self.name, self.prefix = check_level("line", line), check_level("machine name", name), prefix
        for what, value in (("poll_interval", poll_interval), ("io_interval", io_interval),
                            ("counters_interval", counters_interval), ("heartbeat_interval", heartbeat_interval)):
            if not value > 0:
                raise ValueError(f"{what} must be a positive number of seconds, not {value!r}")
        self.machine, self.group = machine, group
        self.packml = PackML(machine, group, ideal_cycle=ideal_cycle, starved_after=starved_after)
        self._actions = plant_commands.allowed_actions(commands, machine, group, self.packml)
        if self._actions and not self.address.authenticated:
            raise ValueError("plant commands need a broker connection that names this reporter (user:password@ "
                             "or a TLS client certificate in the broker URL), so that the broker's ACL decides "
                             "who may send them")
        self._link = link if link is not None else machine_link(machine)
        self._labels = dict(labels or {})
        self.poll_interval, self.io_interval = poll_interval, io_interval
        self.counters_interval, self.heartbeat_interval, self.keepalive = counters_interval, heartbeat_interval, keepalive

        self._wake = threading.Condition(threading.Lock())   # guards the notes below
        self._fault_notes: deque[tuple[BaseException, float, float]] = deque(maxlen=64)
        self._command_notes: deque[tuple[bytes, bool]] = deque(maxlen=16)
        self._inputs_changed = False
        self._reconnected_at: Optional[float] = None
        self._closing = False

        self.queue_size = queue_size
        self._last: dict[str, Any] = {}          # kind -> the content last published
        self._fault_active = False
        self._fault_reported: Optional[BaseException] = None
        self._faults = 0
        self._cycles = 0
        self._cycle_times: deque[float] = deque(maxlen=100)
        self._last_cycle: Optional[float] = None
        self._started_at = time.monotonic()
        self._out: Optional[Publisher] = None
        self._thread: Optional[threading.Thread] = None

    @classmethod
    def attach(cls, machine: Any, *args: Any, **options: Any) -> "PlantReporter":
        """A started reporter for `machine` and its worker group (then the broker URL and the options).

        With dialect="sparkplug", group="GROUP" names the Sparkplug group (the worker group then
        comes second, by position)."""
        if options.get("dialect") == "sparkplug" and isinstance(options.get("group"), str):
            options["sparkplug_group"] = options.pop("group")
        reporter = cls(machine, *args, **options)
        reporter.start()
        return reporter

    # What the application tells the reporter.
    def cycle_done(self, count: int = 1, good: bool = True) -> None:
        """Count `count` finished machine cycles (parts made, scrapped ones with `good=False`); the time
        since the last one is the cycle time."""
        now = time.monotonic()
        self.packml.cycle_done(good, count)
        with self._wake:
            self._cycles += count
            if self._last_cycle is not None:
                self._cycle_times.append(now - self._last_cycle)
            self._last_cycle = now

    @property
    def dropped(self) -> int:
        """Messages dropped because the queue was full (the oldest go first)."""
        return self._out.dropped if self._out is not None else 0

    @property
    def published(self) -> int:
        """Messages handed to the broker."""
        return self._out.published if self._out is not None else 0

    @property
    def connected(self) -> bool:
        return self._out is not None and self._out.connected

    def topic(self, kind: str) -> str:
        return machine_topic(self.prefix, self.line, self.name, kind)

    # Lifecycle.
    def start(self) -> None:
        if self._thread is not None:
            return
        if self.dialect == "sparkplug":
            self._start_sparkplug()
            return
        client = new_client(self.address, f"kvo-{self.prefix.replace('/', '-')}-{self.line}-{self.name}")
        client.will_set(self.topic("state"), encode(payload(state="offline", reason="connection lost")),
                        qos=1, retain=True)
        client.max_inflight_messages_set(20)
        client.max_queued_messages_set(100)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        self._out = Publisher(client, self.queue_size)
        self._closing = False
        self.machine.exception_event.subscribe(self._on_fault)
        self.machine.register_edge_event_handler(self._on_input_change, 0)
        client.connect_async(self.address.host, self.address.port, keepalive=self.keepalive)
        client.loop_start()
        self._thread = threading.Thread(target=self._run, name=f"plant reporter {self.line}/{self.name}")
        self._thread.start()

    def _start_sparkplug(self) -> None:
        from .sparkplug import device_for

        assert self.sparkplug_group is not None
        self._closing = False
        self._out = device_for(self.address, self.sparkplug_group, self.name,  # type: ignore[assignment]
                               [name for name in self._actions if name in plant_commands.PACKML],
                               self._on_sparkplug_command, edge_node=self.edge_node,
                               state_file=self.sparkplug_state, primary_host=self.primary_host,
                               keepalive=self.keepalive)
        self.machine.exception_event.subscribe(self._on_fault)
        self.machine.register_edge_event_handler(self._on_input_change, 0)
        self._thread = threading.Thread(target=self._run, name=f"plant reporter {self.line}/{self.name}")
        self._thread.start()

    def close(self) -> None:
        """Publish `offline`, disconnect and end the reporter's threads; the machine is left as it is."""
        if self._thread is None:
            return
        with self._wake:
            self._closing = True
            self._wake.notify()
        self._thread.join()
        self._thread = None
        self.machine.exception_event.unsubscribe(self._on_fault)
        self.machine.unregister_edge_event_handler(self._on_input_change)

    def __enter__(self) -> "PlantReporter":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # Called from the machine's threads and paho's: note, wake the reporter, return.
    def _on_fault(self, exception: BaseException) -> bool:
        self.packml.note_fault(exception)
        with self._wake:
            self._fault_notes.append((exception, time.time(), time.monotonic() + FAULT_SETTLE))
            self._wake.notify()
        return False  # a reporter only reports: the fault stays the machine's

    def _on_input_change(self, snapshot: object) -> None:
        with self._wake:
            self._inputs_changed = True
            self._wake.notify()

    def _on_connect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                    properties: object) -> None:
        if reason.is_failure:
            log.warning("plant broker %s refused %s/%s: %s", self.address, self.line, self.name, reason)
            return
        log.info("plant reporter %s/%s connected to %s", self.line, self.name, self.address)
        if self._actions:
            # Retain as published: a retained command keeps its flag even when it arrives while subscribed,
            # so that every retained command is refused, not only those the broker holds at subscription.
            client.subscribe(self.topic(COMMAND), options=SubscribeOptions(qos=1, retainAsPublished=True))
        with self._wake:
            if self._out is not None:
                self._out.mark_connected()
            self._reconnected_at = time.monotonic() + REPUBLISH_SETTLE
            self._wake.notify()

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: object, reason: Any,
                       properties: object) -> None:
        with self._wake:
            was = self.connected
            if self._out is not None:
                self._out.connected = False
        if was and not self._closing:
            log.warning("plant reporter %s/%s lost the broker %s: %s", self.line, self.name, self.address, reason)

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        if not message.payload:
            return  # someone cleared a retained command: nothing was asked
        with self._wake:
            self._command_notes.append((bytes(message.payload), bool(message.retain)))
            self._wake.notify()

    def _on_sparkplug_command(self, name: str) -> None:
        """A DCMD of the edge node's thread: carried out like any command, from the reporter's thread."""
        with self._wake:
            self._command_notes.append((json.dumps({"v": SCHEMA_VERSION, "command": name}).encode(), False))
            self._wake.notify()

    # The reporter's thread.
    def _run(self) -> None:
        out = self._out
        assert out is not None
        now = time.monotonic()
        due = {"poll": now, "counters": now, "heartbeat": now}
        last_io = float("-inf")
        io_pending = False
        self._publish("info", self._info())
        while True:
            now = time.monotonic()
            wake_at = min(due.values())
            if io_pending:
                wake_at = min(wake_at, last_io + self.io_interval)
            with self._wake:
                if self._fault_notes:
                    wake_at = min(wake_at, self._fault_notes[0][2])
                if self._reconnected_at is not None:
                    wake_at = min(wake_at, self._reconnected_at)
                if not (self._command_notes or self._inputs_changed or self._closing):
                    self._wake.wait(max(0.0, wake_at - now))
                if self._closing:
                    break
                now = time.monotonic()
                faults = []
                while self._fault_notes and self._fault_notes[0][2] <= now:
                    faults.append(self._fault_notes.popleft())
                commands, self._command_notes = list(self._command_notes), deque(maxlen=16)
                io_pending, self._inputs_changed = io_pending or self._inputs_changed, False
                republish = self._reconnected_at is not None and self._reconnected_at <= now
                if republish:
                    self._reconnected_at = None
            try:
                if faults and self.packml.update():
                    self._publish_packml()
                for exception, at, _ in faults:
                    self._report_fault(exception, at)
                for raw, retained in commands:
                    self._command(raw, retained)
                if now >= due["poll"]:
                    due["poll"] = now + self.poll_interval
                    io_pending = self._sample() or io_pending
                if io_pending and now >= last_io + self.io_interval:
                    io_pending, last_io = False, now
                    self._publish_io()
                if now >= due["counters"]:
                    due["counters"] = now + self.counters_interval
                    self._publish("counters", self._counters())
                    self._publish_packml()
                if now >= due["heartbeat"]:
                    due["heartbeat"] = now + self.heartbeat_interval
                    self._publish("heartbeat", self._heartbeat(), retain=False)
                if republish:
                    out.republish()
                out.flush()
            except Exception:  # the reporter must outlive a bad sample; say what happened and go on
                log.exception("plant reporter %s/%s", self.line, self.name)
        self._shut_down()

    def _shut_down(self) -> None:
        """The last news first (a cycle counted just before close is in the retained counters), then `offline`."""
        assert self._out is not None
        try:
            self._publish("counters", self._counters(), only_if_changed=True)
            self._publish_packml()
        except Exception:
            log.exception("plant reporter %s/%s: the last counters", self.line, self.name)
        self._out.close(self.topic("state"), encode(payload(state="offline", reason="reporter closed")))

    def _sample(self) -> bool:
        """Publish what changed in the state and the stations; True when the image words changed."""
        state = machine_state(self.machine)
        if self.packml.update() or self._last.get("packml", {}).get("ProdProcessedCount") != \
                self.packml.tags()["ProdProcessedCount"]:
            self._publish_packml()
        if state == "faulted" and not self._fault_active:
            self._report_fault(getattr(self.machine, "_MachineBase__exception", None), time.time())
        elif state != "faulted" and self._fault_active:
            self._fault_active = False
            fault = dict(self._last.get("fault", {}))
            fault.update(active=False, cleared=round(time.time(), 3))
            self._publish("fault", fault)
        self._publish("state", self._state(state), only_if_changed=True)
        self._publish("stations", {"stations": station_states(self.group)}, only_if_changed=True)
        xs, ys = image_words(self.machine)
        return bool(self._last.get("io", {}).get("x") != xs or self._last.get("io", {}).get("y") != ys)

    def _report_fault(self, exception: Optional[BaseException], at: float) -> None:
        stored = getattr(self.machine, "_MachineBase__exception", None)
        active = bool(getattr(self.machine, "_exception_flag", False))
        if exception is None:
            exception = stored
        elif active and stored is not None and stored is not exception:
            active = False  # the machine stopped on another fault, which gets its own note
        if exception is not None and exception is self._fault_reported:
            return  # already reported, through its note or by the poll
        self._faults += 1
        self._fault_active, self._fault_reported = active, exception
        self._publish("fault", {
            "active": active, "message": str(exception) if exception is not None else "",
            "type": type(exception).__name__ if exception is not None else None, "raised": round(at, 3)})
        self._publish("state", self._state(machine_state(self.machine)), only_if_changed=True)

    def _state(self, state: str) -> dict[str, Any]:
        packml = self.packml.state
        return {"state": state, "packml": {"state": packml.name, "state_number": int(packml),
                                           "mode": self.packml.mode.name}}

    def _publish_packml(self) -> None:
        """PackTags and OEE: at each change of state or count, and at the counters interval."""
        self._publish("packml", self.packml.tags())
        self._publish("oee", {"shift": self.packml.oee(), "hour": self.packml.oee(3600)})

    def _publish_io(self) -> None:
        xs, ys = image_words(self.machine)
        self._publish("io", {"x": xs, "y": ys})

    def _counters(self) -> dict[str, Any]:
        with self._wake:
            cycles, times = self._cycles, list(self._cycle_times)
        health = link_health(self._link)
        return {
            "cycles": cycles,
            "cycle_time": round(times[-1], 3) if times else None,
            "cycle_time_mean": round(sum(times) / len(times), 3) if times else None,
            "faults": self._faults,
            "link_failures": link_failures(health),
            "link": health,
        }

    def _heartbeat(self) -> dict[str, Any]:
        return {"uptime": round(time.monotonic() - self._started_at, 1), "interval": self.heartbeat_interval,
                "queued": self._out.queued if self._out else 0, "dropped": self.dropped, "published": self.published}

    def _info(self) -> dict[str, Any]:
        m = self.machine
        return {
            "kind": type(m).__name__,
            "x_names": [_bit_name(m, "X", i) for i in range(16 * m.x_word_count)],
            "y_names": [_bit_name(m, "Y", i) for i in range(16 * m.y_word_count)],
            "labels": {_canonical_name(m, name): label for name, label in self._labels.items()},
            "commands": sorted(self._actions),
        }

    def _command(self, raw: bytes, retained: bool) -> None:
        ack = plant_commands.carry_out(raw, retained, self._actions, f"{self.line}/{self.name}")
        self._publish("ack", ack, retain=False)
        if ack["accepted"]:
            self._sample()

    # Publishing, through the Publisher.
    def _publish(self, kind: str, content: dict[str, Any], retain: Optional[bool] = None,
                 only_if_changed: bool = False) -> None:
        if only_if_changed and self._last.get(kind) == content:
            return
        self._last[kind] = content
        if self.dialect == "sparkplug":
            self._out.take(kind, content)  # type: ignore[union-attr]
            return
        retain = kind in RETAINED if retain is None else retain
        topic, data = self.topic(kind), encode(payload(**content))
        assert self._out is not None
        self._out.put(topic, data, retain)


def _canonical_name(machine: Any, name: str) -> str:
    """The machine's own spelling of a bit name (Y3 may read Y03), so labels match the names above."""
    try:
        return _bit_name(machine, name[:1].upper(), machine.name_to_index(name))
    except Exception:
        return name


def _bit_name(machine: Any, area: str, index: int) -> str:
    try:
        return str(machine.index_to_name(area, index))
    except Exception:
        return f"{area}{index}"

