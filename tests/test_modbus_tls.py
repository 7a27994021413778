"""The tls:// transport (Modbus/TCP Security): Modbus TCP inside TLS with
mutual authentication, against pymodbus's TLS server, with certificates the
test makes with the openssl command."""
import shutil
import socket
import ssl
import subprocess
import threading
import time

import pytest

pytest.importorskip("pymodbus")
import kvo_fa  # noqa: E402
import kvo_mew  # noqa: E402
from modbus_peer import COILS, DISCRETE_INPUTS, HOLDING_REGISTERS, ModbusTlsSlave  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_ca(folder, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", name + ".key", "-out", name + ".pem", "-days", "2", "-subj", "/CN=" + name, cwd=folder)


def make_signed(folder, ca, name, extensions):
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, cwd=folder)
    (folder / (name + ".ext")).write_text(extensions + "\n")
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
            "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext", cwd=folder)


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tls")
    make_ca(folder, "ca")
    make_ca(folder, "other-ca")
    make_signed(folder, "ca", "server", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth")
    make_signed(folder, "ca", "client", "extendedKeyUsage=clientAuth")
    return folder


@pytest.fixture(scope="module")
def server(certificates):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(certificates / "server.pem"), str(certificates / "server.key"))
    context.verify_mode = ssl.CERT_REQUIRED
    context.load_verify_locations(str(certificates / "ca.pem"))
    peer = ModbusTlsSlave(context)
    peer.start()
    yield peer
    peer.stop()


@pytest.fixture
def peer(server):
    server.reset()
    yield server


def url(peer, certificates, ca="ca"):
    return "tls://127.0.0.1:%d?ca=%s&cert=%s&key=%s" % (
        peer.port, certificates / (ca + ".pem"), certificates / "client.pem", certificates / "client.key")


def test_fp_and_fef_machines_over_tls(peer, certificates, machines):
    m = kvo_fa.FPMachine(2, 1, 100, url(peer, certificates), station=7, timeout=0.5)
    machines.append(m)
    peer.set(7, HOLDING_REGISTERS, 1, [0x0004])
    m.start()
    m.sync_xy_refresher()
    assert m.x("X12")
    m.set_y_sync("Y3", True)
    m.sync_xy_refresher()
    assert peer.get(7, HOLDING_REGISTERS, 100) == [0x0008]
    fef = kvo_fa.FEFMachine(url(peer, certificates), 3)
    machines.append(fef)
    fef.start()
    peer.set_bits_word(2, DISCRETE_INPUTS, 0, 0b10)
    fef.wait_for_signal(17, True, timeout=5)
    fef.set_y(47, True)
    fef.sync_xy_refresher()
    assert peer.get_bits_word(3, COILS, 0) == 0x8000


def test_a_server_the_ca_does_not_sign_fails_start(peer, certificates):
    link = kvo_mew.VedUzavur(url(peer, certificates, ca="other-ca"), connect_timeout=5)
    try:
        with pytest.raises(kvo_mew.LineError, match="the server's certificate does not verify against ca '.*other-ca.pem'"):
            link.start()
        assert not link.is_open
    finally:
        link.close()


@pytest.mark.parametrize("query, why", [
    ("", "a tls:// port needs ?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key"),
    ("?ca=a.pem&cert=b.pem", "a tls:// port needs"),
    ("?ca=a.pem&ca=b.pem&cert=c&key=d", "ca= given twice"),
    ("?ca=a.pem&cert=b.pem&key=c.key&pin=1", "unknown query key 'pin'"),
])
def test_a_tls_port_needs_its_files(query, why):
    with pytest.raises(kvo_mew.LinkError) as raised:
        kvo_mew.VedUzavur("tls://127.0.0.1" + query)
    assert why in str(raised.value) and "tls://HOST[:PORT]?ca=CA.pem" in str(raised.value)


def test_a_missing_file_fails_start(tmp_path):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        link = kvo_mew.VedUzavur("tls://127.0.0.1:%d?ca=%s&cert=x.pem&key=x.key" % (port, tmp_path / "none.pem"))
        try:
            with pytest.raises(kvo_mew.LineError, match="cannot connect to tls://127.0.0.1:%d: cannot read ca '" % port):
                link.start()
        finally:
            link.close()


def test_close_ends_a_tls_handshake_that_hangs(certificates):
    with socket.socket() as listener:  # connects are taken by the kernel, nobody ever answers the hello
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        link = kvo_mew.VedUzavur("tls://127.0.0.1:%d?ca=%s&cert=%s&key=%s" % (
            port, certificates / "ca.pem", certificates / "client.pem", certificates / "client.key"), connect_timeout=30)
        failures = []

        def start():
            try:
                link.start()
            except kvo_mew.LinkError as error:
                failures.append(error)

        starter = threading.Thread(target=start)
        starter.start()
        time.sleep(0.3)
        closed = time.monotonic()
        link.close()
        starter.join(5)
        assert time.monotonic() - closed < 0.5 and "link closed" in str(failures[0])
