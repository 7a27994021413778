"""Where the plant's MQTT broker is and how to log in to it, from one URL.

    mqtt://[user[:password]@]host[:port]
    mqtts://[user[:password]@]host[:port]?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key

`mqtt` is plain TCP (port 1883 by default), `mqtts` TLS (port 8883), with an
optional client certificate that the broker may take as the client's identity.
Both the reporter and the plant page make their paho clients here, so the two
agree on protocol, TLS and credentials.
"""
from dataclasses import dataclass
from typing import Optional
from urllib.parse import parse_qs, unquote, urlsplit

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

DEFAULT_PORTS = {"mqtt": 1883, "mqtts": 8883}


@dataclass(frozen=True)
class BrokerAddress:
    host: str
    port: int
    tls: bool = False
    username: Optional[str] = None
    password: Optional[str] = None
    ca_certs: Optional[str] = None
    certfile: Optional[str] = None
    keyfile: Optional[str] = None

    @property
    def authenticated(self) -> bool:
        """Whether the broker learns who this client is (a user name or a client certificate)."""
        return self.username is not None or self.certfile is not None

    def __str__(self) -> str:  # never shows the password
        user = f"{self.username}@" if self.username else ""
        return f"{'mqtts' if self.tls else 'mqtt'}://{user}{self.host}:{self.port}"


def parse_broker_url(url: str) -> BrokerAddress:
    """The BrokerAddress of `url`; ValueError names what is wrong with it."""
    if not isinstance(url, str):
        raise TypeError(f"broker URL must be a str, not {type(url).__name__}")
    parts = urlsplit(url)
    if parts.scheme not in DEFAULT_PORTS:
        raise ValueError(f"broker URL {url!r}: the scheme must be mqtt:// or mqtts://")
    if not parts.hostname:
        raise ValueError(f"broker URL {url!r} names no host")
    try:
        port = parts.port or DEFAULT_PORTS[parts.scheme]
    except ValueError:
        raise ValueError(f"broker URL {url!r}: the port must be a number from 1 to 65535") from None
    query = {key: values[-1] for key, values in parse_qs(parts.query).items()}
    unknown = set(query) - {"ca", "cert", "key"}
    if unknown:
        raise ValueError(f"broker URL {url!r}: unknown option(s) {', '.join(sorted(unknown))} (known: ca, cert, key)")
    if query and parts.scheme != "mqtts":
        raise ValueError(f"broker URL {url!r}: ca, cert and key need mqtts://")
    return BrokerAddress(
        host=parts.hostname, port=port, tls=parts.scheme == "mqtts",
        username=unquote(parts.username) if parts.username else None,
        password=unquote(parts.password) if parts.password else None,
        ca_certs=query.get("ca"), certfile=query.get("cert"), keyfile=query.get("key"))


def new_client(address: BrokerAddress, client_id: str) -> mqtt.Client:
    """A paho client set up for `address` (not yet connected)."""
    # MQTT 5: the reporter's command subscription needs retain-as-published.
    client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv5)
    if address.username is not None:
        client.username_pw_set(address.username, address.password)
    if address.tls:
        client.tls_set(ca_certs=address.ca_certs, certfile=address.certfile, keyfile=address.keyfile)
    # Reconnect with backoff: 0.5 s, doubling up to 5 s.
    client.reconnect_delay_set(min_delay=0.5, max_delay=5)  # type: ignore[arg-type]
    return client
