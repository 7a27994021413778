"""Small C programs on Debian's libmodbus, built on first use into
build/modbus_c/ (rebuilt when their source changes): the Modbus TCP test
server (tests/modbus_c_server.c) and the benchmark's client
(bench/modbus_c_client.c)."""
import hashlib
import os
import pathlib
import shutil
import subprocess

ROOT = pathlib.Path(__file__).resolve().parent.parent
SERVER_SOURCE = ROOT / "tests" / "modbus_c_server.c"
CLIENT_SOURCE = ROOT / "bench" / "modbus_c_client.c"


def missing():
    """Why the programs cannot be built here, or None when they can."""
    if shutil.which("cc") is None:
        return "needs a C compiler (cc)"
    if shutil.which("pkg-config") is None:
        return "needs pkg-config"
    if subprocess.run(["pkg-config", "--exists", "libmodbus"]).returncode != 0:
        return "needs libmodbus (libmodbus-dev)"
    return None


def build(source):
    """The path of the program built from `source`, built if not yet."""
    digest = hashlib.sha1(source.read_bytes()).hexdigest()[:12]
    program = ROOT / "build" / "modbus_c" / ("%s-%s" % (source.stem, digest))
    if not program.exists():
        program.parent.mkdir(parents=True, exist_ok=True)
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libmodbus"], check=True,
                               capture_output=True, text=True).stdout.split()
        partial = program.with_suffix(".%d.partial" % os.getpid())
        subprocess.run(["cc", "-O2", "-Wall", "-o", str(partial), str(source), *flags], check=True)
        partial.rename(program)  # another process may be building it too
    return program


class CServer:
    """The libmodbus test server on a free loopback port, in a child process."""

    def __init__(self):
        self.process = None
        self.port = None

    @property
    def url(self):
        return "tcp://127.0.0.1:%d" % self.port

    def start(self):
        self.process = subprocess.Popen([str(build(SERVER_SOURCE)), "0"], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening "):
            self.stop()
            raise RuntimeError("the libmodbus server did not start: %r" % line)
        self.port = int(line.split()[1])
        return self

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process.stdout.close()
            self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def holding(address):
    """The value the server starts with in holding register `address`."""
    return (address * 7 + 1) & 0xFFFF
