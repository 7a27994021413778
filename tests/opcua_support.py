"""What the OPC UA tests share: a free port, certificates made as docs/opcua.md shows, and a
python-opcua client (a library that shares no code with asyncua, which the server uses)."""
import os
import socket
import subprocess
import time
from typing import Any, Callable, Optional

import pytest

needs_opcua = pytest.mark.skipif(
    os.environ.get("KVO_SANITIZER_RUN") == "1",
    reason="asyncua's and python-opcua's native dependencies (cryptography, lxml) are not built for the "
           "sanitizer run; the server itself is pure Python and calls only what the reporter's tests cover there")


def free_endpoint() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"opc.tcp://127.0.0.1:{s.getsockname()[1]}"


def make_certificate(folder: str, name: str, uri: str) -> tuple[str, str]:
    """A self-signed certificate and its key, by the openssl command in docs/opcua.md."""
    cert, key = os.path.join(folder, f"{name}-cert.pem"), os.path.join(folder, f"{name}-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "825", "-nodes",
                    "-keyout", key, "-out", cert, "-subj", f"/CN={name}",
                    "-addext", f"subjectAltName=URI:{uri},DNS:localhost,IP:127.0.0.1",
                    "-addext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
                    "-addext", "extendedKeyUsage=serverAuth,clientAuth"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def client(endpoint: str, user: Optional[str] = None, password: Optional[str] = None,
           security: Optional[str] = None) -> Any:
    """A connected python-opcua client; `security` as "Basic256Sha256,SignAndEncrypt,cert,key"."""
    from opcua import Client

    made = Client(endpoint, timeout=10)
    made.application_uri = "urn:kvo-fa:test-client"
    if user is not None:
        made.set_user(user)
        made.set_password(password or "")
    if security is not None:
        made.set_security_string(security)
    made.connect()
    return made


class Notes:
    """A python-opcua subscription handler that keeps what arrives."""

    def __init__(self) -> None:
        self.changes: list[tuple[float, str, Any]] = []
        self.events: list[Any] = []

    def datachange_notification(self, node: Any, value: Any, data: Any) -> None:
        self.changes.append((time.monotonic(), node.nodeid.Identifier, value))

    def event_notification(self, event: Any) -> None:
        self.events.append(event)


def wait_until(condition: Callable[[], Any], timeout: float = 10.0) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() > deadline:
            return result
        time.sleep(0.01)
