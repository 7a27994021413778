"""PLC link for kvo_fa machines.

VedUzavur(port, baudrate=9600, **kwargs) reads and writes relays (X, Y, R), relay words
(WX, WY, WR) and data words (D, DT) of a PLC station by FP element name. A port
"sim://NAME" talks to the in-process simulated PLC NAME (see simulator()); a serial
device ("/dev/ttyUSB0", "COM3") is a Modbus RTU line, each station a slave address.
The link opens lazily on its first call; after close() the next call reopens it.

Failures raise LinkError; unknown names, elements of the wrong kind, addresses outside
the PLC's memory and bad stations raise AddressError (a LinkError); a failed serial
line LineError, an exception response SlaveError (both LinkErrors); bad values raise
TypeError or ValueError. A refused call changes nothing.

What a link does shows in link.health (counters by failure cause, the last error, the
seconds since the last good answer), link.on_state_change, and the loggers kvo_mew.link
and kvo_mew.frames; LinkWatchdog turns a silent link into a machine fault."""

# Type stubs of the kvo_mew extension module; the docstrings are the module's own.
from typing import Any, Callable, Literal

# The package's version (pyproject.toml's).
__version__: str
# Whether this build has the serial (Modbus RTU) transport.
SERIAL_TRANSPORT: bool
# Where element names live in a Modbus slave: area (X, Y, R, D) -> (table, base address),
# None for an area left out.
DEFAULT_ELEMENT_MAP: dict[str, tuple[str, int] | None]

class LinkError(Exception):
    """A PLC link failure: no transport for the port, or a failed transaction."""

class AddressError(LinkError):
    """An element name the PLC does not know, an element of the wrong kind for the operation, an address outside the PLC's memory or the element map, or a station out of range."""

class LineError(LinkError):
    """The serial line failed: the port could not be opened or failed, or the station did not answer in time or answered with a damaged frame."""

class SlaveError(LinkError):
    """The station answered with a Modbus exception response."""

class LinkDownError(LinkError):
    """A LinkWatchdog's machine fault: the link gave no good answer within the watchdog's limit. Attributes: port, station, seconds, cause, last_error."""

    port: Any
    station: int
    seconds: float
    cause: str | None
    last_error: LinkError | None

class LinkHealth:
    """LinkHealth: a copy of a link's health counters, taken when VedUzavur.health is read.

    transactions (run to their end), good, failed, failures (dict cause -> count; causes "timeout",
    "crc", "exception", "stray", "closed", "port", "interrupted", "other"), retries (serial tries beyond the
    first), reopens (opens after the first), up (False from a failed transaction until the next
    good one), last_error (the exception object last raised by a transaction, or None), last_cause,
    last_station (of the last failure, 0 before any), since_good (seconds since the last good
    answer, None before the first)."""

    @property
    def transactions(self) -> int: ...
    @property
    def good(self) -> int: ...
    @property
    def failed(self) -> int: ...
    @property
    def failures(self) -> dict[str, int]: ...
    @property
    def retries(self) -> int: ...
    @property
    def reopens(self) -> int: ...
    @property
    def up(self) -> bool: ...
    @property
    def last_error(self) -> LinkError | None: ...
    @property
    def last_cause(self) -> str | None: ...
    @property
    def last_station(self) -> int: ...
    @property
    def since_good(self) -> float | None: ...

class VedUzavur:
    """VedUzavur(port, baudrate=9600, **kwargs)

    Link to a PLC. Every operation takes the station number (1..255) first, then an FP
    element name: X/Y/R relays (X1F = bit 15 of word 1), WX/WY/WR relay words, D/DT data words.
    32-bit values occupy two consecutive words, low word first.

    port "sim://NAME" attaches to the simulated PLC NAME (kvo_mew.simulator(NAME)). A serial
    device ("/dev/ttyUSB0", "COM3") opens a Modbus RTU master on it; the station is the
    slave address (1..247). Serial keywords: parity="N" ("E", "O"), bytesize=8,
    stopbits=1, timeout=0.5 (seconds to wait for an answer), retries=1 (after a time-out, a
    damaged answer or a stray frame), drain (seconds of silence awaited after a failed try
    before the next request; default the timeout), element_map (see DEFAULT_ELEMENT_MAP).
    "tcp://HOST[:PORT]" is a Modbus TCP client (port 502; the station is the unit
    identifier), "tls://HOST[:PORT]?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key" the same in TLS
    (port 802), "rtu+tcp://HOST:PORT" an RTU master through a serial device server; they
    take timeout, retries, element_map and connect_timeout=3.0 (rtu+tcp also the serial
    keywords) and reconnect on the next call after a lost connection.
    Other ports raise LinkError ("no transport for port ..."). baudrate and the keywords
    are kept (baudrate, options).

    The link opens on start() or lazily on its first call. After close() the link reopens
    on its next call, so a machine may close a link and keep refreshing through it.
    Calls from several threads are served one transaction at a time; the GIL is released
    while a call waits for the PLC. A close() from another thread ends the transaction in
    progress with LinkError ("link closed"); Ctrl-C ends it with KeyboardInterrupt."""

    # The serial keywords arrive in **kwargs at run time; they are spelled out for
    # editors and type checkers (a simulated PLC's port ignores them).
    def __init__(
        self,
        port: str,
        baudrate: int = 9600,
        *,
        parity: Literal["N", "E", "O"] = "N",
        bytesize: int = 8,
        stopbits: Literal[1, 2] = 1,
        timeout: float = 0.5,
        retries: int = 1,
        drain: float = ...,
        element_map: dict[str, tuple[str, int] | None] = ...,
        **kwargs: Any,
    ) -> None: ...
    def start(self) -> None:
        """Open the link now (it also opens on its first call). Does nothing when open."""
    def close(self) -> None:
        """Close the link. Its next call reopens it. A transaction in progress or waiting in another
        thread ends at once with LinkError ("link closed")."""
    @staticmethod
    def interrupt_thread(ident: int) -> None:
        """Make the link transactions of thread `ident` (threading.get_ident()), on every link, fail
        at once with LinkError ("transaction interrupted"), the one it runs now included, until
        resume_thread(ident). A machine's close uses it to end its updater's transfer."""
    @staticmethod
    def resume_thread(ident: int) -> None:
        """Let thread `ident` run link transactions again after interrupt_thread(ident)."""
    @property
    def is_open(self) -> bool:
        """Whether the link is open."""
    @property
    def port(self) -> str:
        """The port given to the constructor."""
    @property
    def baudrate(self) -> int:
        """The baud rate given to the constructor."""
    @property
    def options(self) -> dict[str, Any]:
        """The further keyword arguments given to the constructor."""
    @property
    def health(self) -> LinkHealth:
        """The link's health now: a LinkHealth (counters, last error, seconds since the last good answer)."""
    @property
    def on_state_change(self) -> Callable[[VedUzavur, bool], object] | None:
        """None, or a callable called as callback(link, up) when the link goes down (a transaction
        failed after a good one) or comes up again, on the thread that ran the transaction,
        after the link's lock is let go. Its exceptions are reported as unraisable."""
    @on_state_change.setter
    def on_state_change(self, callback: Callable[[VedUzavur, bool], object] | None) -> None: ...
    def get_coil(self, station: int, name: str) -> bool:
        """Read relay `name` (X, Y, R) of `station`: True or False."""
    def set_coil(self, station: int, name: str, value: bool) -> None:
        """Set relay `name` (X, Y, R) of `station` to `value` (True/False or 1/0)."""
    def get_coil_uint16(self, station: int, name: str) -> int:
        """Read the 16 relays of relay word `name` (WX, WY, WR) as one word, bit 0 the lowest."""
    def set_coil_uint16(self, station: int, name: str, value: int) -> None:
        """Write the word `value` (0..65535) to the 16 relays of relay word `name` (WX, WY, WR)."""
    def set_uint16(self, station: int, name: str, value: int) -> None:
        """Write the word `value` (0..65535) to word `name` (D, DT, WX, WY, WR)."""
    def get_multi_uint16(self, station: int, name: str, count: int) -> list[int]:
        """Read `count` consecutive words from `name` on: a list of ints 0..65535."""
    def set_multi_uint16(self, station: int, name: str, values: list[int] | tuple[int, ...]) -> None:
        """Write the words of `values` (list or tuple) to consecutive words from `name` on."""
    def get_uint32(self, station: int, name: str) -> int:
        """Read the unsigned double word at `name` (low word first)."""
    def set_uint32(self, station: int, name: str, value: int) -> None:
        """Write `value` (0..4294967295) as a double word at `name` (low word first)."""
    def get_multi_uint32(self, station: int, name: str, count: int) -> list[int]:
        """Read `count` unsigned double words from `name` on: a list of ints."""
    def set_multi_uint32(self, station: int, name: str, values: list[int] | tuple[int, ...]) -> None:
        """Write unsigned double words from `name` on, two words each, low word first."""
    def get_multi_int32(self, station: int, name: str, count: int) -> list[int]:
        """Read `count` signed double words from `name` on: a list of ints."""
    def set_multi_int32(self, station: int, name: str, values: list[int] | tuple[int, ...]) -> None:
        """Write signed double words (-2147483648..2147483647) from `name` on, low word first."""

class SimulatedPlc:
    """A simulated PLC, shared by every link whose port is "sim://NAME".

    Each station has its own memory: relays X, Y, R (words 0..999) and data words D (0..99999),
    all zero at first. get/set reach any element directly (no latency, not counted, never
    failing). Link transactions sleep `latency` seconds (GIL released), fail while
    fail_next() asks for it, are counted per operation in `counts`, and run the station's
    I/O program set with map_io().

    Devices (add_cylinder, add_vacuum, add_source, add_callback) watch output relays and drive
    input relays on the PLC's clock, updated at every transaction and access; trace_start()
    records every change of the X and Y relays with its time."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """No constructor: kvo_mew.simulator(NAME) makes and shares the simulated PLCs."""
    @property
    def name(self) -> str:
        """The NAME of "sim://NAME"."""
    def get(self, name: str, station: int = 1) -> Any:
        """Read element `name` of `station`: a bool for a relay (X3), an int for a word (D100, WX0)."""
    def set(self, name: str, value: int, station: int = 1) -> None:
        """Write element `name` of `station`: a bool (or 1/0) to a relay, an int 0..65535 to a word."""
    def get_uint32(self, name: str, station: int = 1) -> int:
        """Read the unsigned double word at word `name` (low word first)."""
    def set_uint32(self, name: str, value: int, station: int = 1) -> None:
        """Write an unsigned double word at word `name` (low word first)."""
    def get_int32(self, name: str, station: int = 1) -> int:
        """Read the signed double word at word `name` (low word first)."""
    def set_int32(self, name: str, value: int, station: int = 1) -> None:
        """Write a signed double word at word `name` (low word first)."""
    def map_io(self, x_words: int, y_words: int, y_shift: int, station: int = 1) -> None:
        """Give `station` the program of the FP register map: before each transaction copy
        WX0.. into D0.. (x_words words), after it copy D<y_shift>.. into WY0.. (y_words words).
        map_io(0, 0, 0) removes it."""
    @property
    def latency(self) -> float:
        """Seconds each link transaction takes (slept with the GIL released)."""
    @latency.setter
    def latency(self, value: float) -> None: ...
    def fail_next(self, n: int = 1) -> None:
        """Make the next `n` link transactions raise LinkError (0 cancels)."""
    @property
    def counts(self) -> dict[str, int]:
        """Link transactions received so far, failed ones included: dict operation name -> count."""
    def reset_counts(self) -> None:
        """Set every transaction count back to zero."""
    def serve(self, port: str) -> str:
        """Serve this PLC as a Modbus TCP server on port "tcp://HOST[:PORT]" (default 502, 0 for a free
        one), or with RTU frames on "rtu+tcp://HOST:PORT", from a thread of its own, the unit
        identifier (slave address) as the station: the address served.
        Raises LinkError when it cannot listen or serves already."""
    def stop_serving(self) -> None:
        """Stop serving (nothing when it does not serve)."""
    @property
    def serving(self) -> str | None:
        """The address served ("tcp://127.0.0.1:5020"), or None."""
    def add_cylinder(
        self,
        valve: str,
        retracted: str | None = None,
        extended: str | None = None,
        stroke: float = 0.3,
        valve_back: str | None = None,
        leave: float | None = None,
        name: str | None = None,
        station: int = 1,
    ) -> str:
        """Wire a pneumatic cylinder: it extends while relay `valve` is on (with `valve_back`, a
        double-solenoid one: extends when only `valve` is on, retracts when only `valve_back` is on,
        else keeps going). `stroke` seconds end to end; the sensor of the end it leaves goes off
        `leave` seconds after the start (default min(0.05, stroke/4)), the other comes on on arrival.
        Sensors `retracted`/`extended` are optional. Returns the device name (default: the valve)."""
    def add_source(
        self,
        sensor: str,
        interval: float | None = None,
        demand: str | None = None,
        take: str | None = None,
        name: str | None = None,
        station: int = 1,
    ) -> str:
        """Wire a place for one part whose `sensor` is on while a part is there. With `interval`, a
        part arrives that many seconds after the place became empty (counting only while relay
        `demand` is on, if given); feed() puts one there at once. The part goes when a vacuum cup
        picks it, on take(), or while relay `take` is on. Returns the device name (default: the sensor)."""
    def add_vacuum(
        self,
        valve: str,
        sensor: str,
        source: str,
        pick_at: str | list[str] | tuple[str, ...] | None = (),
        drop_to: str | None = None,
        drop_at: str | list[str] | tuple[str, ...] | None = (),
        build: float = 0.1,
        release: float = 0.1,
        name: str | None = None,
        station: int = 1,
    ) -> str:
        """Wire a vacuum cup: with relay `valve` on and a part of source `source` under the cup (every
        relay of `pick_at` on), vacuum builds in `build` seconds: `sensor` comes on and the cup takes
        the part. No part, no vacuum. With the valve off the vacuum is gone `release` seconds later
        and the part drops into source `drop_to` when every relay of `drop_at` is on (else it is
        lost). Returns the device name (default: the valve)."""
    def add_callback(
        self,
        sensor: str,
        relays: str | list[str] | tuple[str, ...] | None,
        function: Callable[..., object],
        delay: float = 0.0,
        name: str | None = None,
        station: int = 1,
    ) -> str:
        """Wire a sensor computed by `function`, called with the values (bools) of `relays` in their
        order at every update of the devices: `sensor` shows its truth, once a new value has lasted
        `delay` seconds. The function runs on the thread that updates the devices and must not use
        a simulated PLC or a link (LinkError); an exception it raises goes to sys.unraisablehook and
        stops the device (its sensor keeps its value). Returns the device name (default: the sensor)."""
    def jam(self, name: str, mode: Literal["leave", "arrive"] | None = "arrive") -> None:
        """Jam cylinder `name` where it is now: "leave" (it never leaves its end, nor moves at all),
        "arrive" (it never arrives: the rod stops halfway) or None (free again)."""
    def feed(self, name: str) -> bool:
        """Put a part at source `name` now; False when one is there already."""
    def take(self, name: str) -> bool:
        """Take the part from source `name` now; False when there is none."""
    @property
    def devices(self) -> dict[str, dict[str, Any]]:
        """A new dict: device name -> dict of its kind, wiring and state, in the order added."""
    @property
    def clock(self) -> Literal["steady", "manual"]:
        """The devices' clock: "steady" (real time, the default) or "manual" (moved only by
        advance()). Switching keeps the time."""
    @clock.setter
    def clock(self, value: Literal["steady", "manual"]) -> None: ...
    @property
    def now(self) -> float:
        """The devices' clock in seconds."""
    def advance(self, seconds: float) -> None:
        """Move the manual clock on and update the devices."""
    def trace_start(self, limit: int = 1000000) -> None:
        """Start a new I/O trace: every change of an X or Y relay of any station from now on, with
        relays already on recorded at time 0. At most `limit` events are kept."""
    def trace_stop(self) -> None:
        """Stop recording; the events stay readable."""
    @property
    def tracing(self) -> bool:
        """Whether the trace records."""
    @property
    def trace(self) -> list[tuple[float, str, bool, int]]:
        """A new list of (time, relay, value, station) tuples, oldest first; time in seconds
        since trace_start, relay a name such as "X1F", value a bool."""
    @property
    def trace_dropped(self) -> int:
        """Events not kept because the trace was full."""

class LinkWatchdog:
    """LinkWatchdog(machine, limit=0.5, link=None)

    Raises the machine's fault when its PLC link has given no good answer for `limit` seconds:
    a kvo_mew.LinkDownError ("PLC link down for 0.6 s: /dev/ttyUSB0 station 1: no answer within
    0.3 s") goes through machine.raise_exception, so fault subscribers hear of it first and, if
    none takes it, every station's blocking action ends with AbortByOtherException instead of a
    sensor time-out. One fault per outage; after machine.reset() the limit runs again from the
    reset, and once the link answers well the watchdog is armed for the next outage.

    `link` defaults to the machine's own (native_machine_handle or plc). The watchdog has no
    thread of its own: it looks at the link at the end of every transaction, and check() looks
    from the caller's thread. A stopped or already faulted machine is left alone. Keep the
    watchdog while it is to watch; close() (or leaving a with block) stops it."""

    def __init__(self, machine: Any, limit: float = 0.5, link: VedUzavur | None = None) -> None: ...
    def check(self) -> bool:
        """Look at the link now, from this thread: raise the fault if the link has been silent for more
        than the limit. True when this call raised it."""
    def close(self) -> None:
        """Stop watching; waits for a fault being raised to be offered. Does nothing when closed."""
    def __enter__(self) -> LinkWatchdog: ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def machine(self) -> Any:
        """The machine watched."""
    @property
    def link(self) -> VedUzavur:
        """The link watched."""
    @property
    def limit(self) -> float:
        """Seconds without a good answer before the fault."""
    @property
    def tripped(self) -> bool:
        """Whether the fault of the present outage has been raised."""
    @property
    def fault(self) -> LinkDownError | None:
        """The last LinkDownError raised, or None."""
    @property
    def closed(self) -> bool:
        """Whether close() has been called."""

def simulator(name: str) -> SimulatedPlc:
    """The simulated PLC NAME that "sim://NAME" ports talk to, created on first use."""

def reset_simulators() -> None:
    """Forget every simulated PLC. Links keep theirs until they close; reopened, they attach to a fresh one of the same name."""
