"""A real Mosquitto for the plant tests, on a free local port with its own
configuration, and a small MQTT listener that collects what arrives.

With users, the broker refuses anonymous clients and applies the ACL of
docs/plant.md: each cell writes only its own topics and reads its command
topic, the page reads everything, the operator may also send commands, the
viewer may only read.
"""
import json
import os
import pwd
import shutil
import socket
import subprocess
import threading
import time
from typing import Any, Callable, Iterator, Optional

import pytest

mqtt = pytest.importorskip("paho.mqtt.client")

PREFIX = "kvo"
PASSWORD = "secret"
USERS = ("cell-a", "cell-b", "page", "operator", "viewer")

ACL = """\
# Every cell: its own topics, and its own command topic to read.
pattern write kvo/+/%u/#
pattern read kvo/+/%u/command

user page
topic read kvo/#

user operator
topic read kvo/#
topic write kvo/+/+/command

user viewer
topic read kvo/#
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition: Callable[[], Any], timeout: float = 15.0, interval: float = 0.05) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


class Broker:
    """mosquitto on 127.0.0.1:port; with `users`, password file and ACL."""

    def __init__(self, folder: str, users: bool = False) -> None:
        self.folder, self.users = folder, users
        self.port = free_port()
        self.process: Optional[subprocess.Popen[bytes]] = None
        # Run as whoever runs the test (as root mosquitto would switch to its own user, who may not read tmp_path).
        lines = [f"user {pwd.getpwuid(os.geteuid()).pw_name}", f"listener {self.port} 127.0.0.1", "persistence false",
                 f"log_dest file {os.path.join(folder, 'mosquitto.log')}", "log_type all"]
        if users:
            passwords = os.path.join(folder, "passwords")
            open(passwords, "w").close()
            for user in USERS:
                subprocess.run(["mosquitto_passwd", "-b", passwords, user, PASSWORD], check=True)
            acl = os.path.join(folder, "acl")
            with open(acl, "w") as f:
                f.write(ACL)
            lines += ["allow_anonymous false", f"password_file {passwords}", f"acl_file {acl}"]
        else:
            lines.append("allow_anonymous true")
        self.config = os.path.join(folder, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")

    def url(self, user: Optional[str] = None) -> str:
        login = f"{user}:{PASSWORD}@" if user else ""
        return f"mqtt://{login}127.0.0.1:{self.port}"

    def start(self) -> "Broker":
        self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        if not wait_until(self._accepts, 10):
            raise RuntimeError(f"mosquitto did not start on port {self.port}")
        return self

    def _accepts(self) -> bool:
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def kill(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def log(self) -> str:
        with open(os.path.join(self.folder, "mosquitto.log"), errors="replace") as f:
            return f.read()


class Listener:
    """An MQTT client that keeps every message under `topic_filter` (payloads decoded from JSON)."""

    def __init__(self, broker: Broker, user: Optional[str] = None, topic_filter: str = PREFIX + "/#") -> None:
        self.messages: list[tuple[str, Any, bool]] = []
        self.lock = threading.Lock()
        self.client_id = f"listener-{user or 'anonymous'}-{id(self)}"
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=self.client_id)
        if user:
            self.client.username_pw_set(user, PASSWORD)
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe(topic_filter, qos=1)
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(0.2, 1)  # type: ignore[arg-type]
        self.client.connect_async("127.0.0.1", broker.port, keepalive=10)
        self.client.loop_start()

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        try:
            body = json.loads(message.payload)
        except ValueError:
            body = message.payload
        with self.lock:
            self.messages.append((message.topic, body, bool(message.retain)))

    def of(self, topic_end: str) -> list[Any]:
        with self.lock:
            return [body for topic, body, _ in self.messages if topic.endswith("/" + topic_end)]

    def last(self, topic_end: str) -> Any:
        found = self.of(topic_end)
        return found[-1] if found else None

    def publish(self, topic: str, payload: bytes, **kwargs: Any) -> None:
        if not wait_until(self.client.is_connected):
            raise RuntimeError("the listener could not connect to the broker")
        self.client.publish(topic, payload, qos=1, **kwargs).wait_for_publish(5)

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


needs_broker = pytest.mark.skipif(
    os.environ.get("KVO_SANITIZER_RUN") == "1" or shutil.which("mosquitto") is None,
    reason="needs Debian's mosquitto (not run under the sanitizers)")


@pytest.fixture
def broker(tmp_path: Any) -> Iterator[Broker]:
    """An anonymous broker of the test's own."""
    b = Broker(str(tmp_path)).start()
    yield b
    b.kill()


@pytest.fixture
def user_broker(tmp_path: Any) -> Iterator[Broker]:
    """A broker with users and the ACL."""
    b = Broker(str(tmp_path), users=True).start()
    yield b
    b.kill()


@pytest.fixture
def listener(broker: Broker) -> Iterator[Listener]:
    found = Listener(broker)
    yield found
    found.close()
