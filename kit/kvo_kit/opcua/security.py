"""Who may connect to a machine's OPC UA server, and what they may do.

Anonymous sessions browse, read and subscribe; only a user named in
`Security.users` (user name and password) may call the command methods; no
one writes (no variable is writable, and writes are refused before they reach
the address space). Without certificates the server offers the None policy,
on loopback only; with them it offers Basic256Sha256 SignAndEncrypt (and the
None policy only when asked for as well), and with `trusted_clients` only those
client certificates open a session.
"""
import hmac
import ipaddress
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional
from urllib.parse import urlparse

from asyncua import ua
from asyncua.crypto.permission_rules import USER_TYPES, User, UserRole

_CALL = ua.NodeId(ua.ObjectIds.CallRequest_Encoding_DefaultBinary)
_WRITE = ua.NodeId(ua.ObjectIds.WriteRequest_Encoding_DefaultBinary)


@dataclass(frozen=True)
class Security:
    """The server's security: see the module. Paths are PEM or DER files."""
    certificate: Optional[str] = None          # the server's certificate
    private_key: Optional[str] = None          # and its private key
    users: Mapping[str, str] = field(default_factory=dict)  # user name -> password: may call the methods
    anonymous: bool = True                     # anonymous sessions may browse, read and subscribe
    no_security: bool = False                  # with certificates: offer the None policy as well (loopback only)
    trusted_clients: Sequence[str] = ()        # the client certificates accepted (none given: any)

    @property
    def encrypted(self) -> bool:
        return self.certificate is not None

    def check(self, endpoint: str) -> None:
        """Refuse a setting that would let more in than it says."""
        if (self.certificate is None) != (self.private_key is None):
            raise ValueError("give the server's certificate and its private key together")
        for name, password in self.users.items():
            if not isinstance(name, str) or not name or not isinstance(password, str) or not password:
                raise ValueError(f"user {name!r}: a user needs a name and a password (non-empty str)")
        if self.trusted_clients and not self.encrypted:
            raise ValueError("trusted client certificates need the server's certificate and private key")
        if not self.anonymous and not self.users:
            raise ValueError("with anonymous sessions refused, name at least one user")
        if self.offers_none and not is_loopback(endpoint):
            raise ValueError(f"{endpoint} is not a loopback address: off loopback the server needs a certificate "
                             "and a private key (Basic256Sha256 SignAndEncrypt) and no None policy")

    @property
    def offers_none(self) -> bool:
        return self.certificate is None or self.no_security

    def policies(self) -> list[ua.SecurityPolicyType]:
        found = []
        if self.encrypted:
            found.append(ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt)
        if self.offers_none:
            found.append(ua.SecurityPolicyType.NoSecurity)
        return found

    def tokens(self) -> list[type]:
        found: list[type] = [ua.AnonymousIdentityToken] if self.anonymous else []
        if self.users:
            found.append(ua.UserNameIdentityToken)
        return found


def is_loopback(endpoint: str) -> bool:
    host = urlparse(endpoint).hostname or ""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Users:
    """asyncua's user manager: anonymous (when allowed) or a named user whose password matches."""

    def __init__(self, security: Security) -> None:
        self.security = security

    def get_user(self, iserver: Any, username: Optional[str] = None, password: Optional[str] = None,
                 certificate: Any = None) -> Optional[User]:
        if username is None:
            return User(role=UserRole.Anonymous) if self.security.anonymous else None
        expected = self.security.users.get(username)
        given = password if isinstance(password, str) else (password or b"").decode("utf-8", "replace")
        if expected is None or not hmac.compare_digest(expected.encode(), given.encode()):
            return None
        return User(role=UserRole.User, name=username)


class ReadOnlyForAnonymous:
    """asyncua's permission ruleset. Anonymous: browse, read, subscribe. A user: also call methods. No one
    writes or changes the nodes."""

    def __init__(self) -> None:
        services = {ua.NodeId(type_id) for type_id in USER_TYPES} - {_WRITE}
        self._allowed = {UserRole.Anonymous: services - {_CALL}, UserRole.User: services,
                         UserRole.Admin: services}

    def check_validity(self, user: User, action_type_id: ua.NodeId, body: Any) -> bool:
        return action_type_id in self._allowed.get(user.role, set())


def load_certificate(path: str) -> Any:
    from cryptography import x509

    with open(path, "rb") as f:
        data = f.read()
    return x509.load_pem_x509_certificate(data) if b"-----BEGIN" in data else x509.load_der_x509_certificate(data)


class TrustedClients:
    """asyncua's certificate check: only the given client certificates open a session (pinned, byte for byte)."""

    def __init__(self, paths: Sequence[str]) -> None:
        from cryptography.hazmat.primitives.serialization import Encoding

        self._encoding = Encoding.DER
        self._trusted = {load_certificate(path).public_bytes(Encoding.DER) for path in paths}

    async def __call__(self, certificate: Any, application: Any) -> None:
        from asyncua.common.utils import ServiceError

        if certificate.public_bytes(self._encoding) not in self._trusted:
            raise ServiceError(ua.StatusCodes.BadCertificateUntrusted)


def certificate_uri(path: str) -> Optional[str]:
    """The application URI in a certificate's subjectAltName, which the server must name itself with."""
    from cryptography import x509

    cert = load_certificate(path)
    try:
        names = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    except x509.ExtensionNotFound:
        return None
    uris = names.get_values_for_type(x509.UniformResourceIdentifier)
    return uris[0] if uris else None


def check_users(users: Sequence[str], security: Security) -> None:
    """Command methods need someone who may call them."""
    if users and not security.users:
        raise ValueError("command methods need users: give Security(users={name: password}), since anonymous "
                         "sessions may not call them")
