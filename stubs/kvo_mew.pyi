"""PLC link for kvo_fa machines.

VedUzavur(port, baudrate=9600, **kwargs) reads and writes relays (X, Y, R), relay words
(WX, WY, WR) and data words (D, DT) of a PLC station by FP element name. A port
"sim://NAME" talks to the in-process simulated PLC NAME (see simulator()).
The link opens lazily on its first call; after close() the next call reopens it.

Failures raise LinkError; unknown names, elements of the wrong kind, addresses outside
the PLC's memory and bad stations raise AddressError (a LinkError); bad values raise
TypeError or ValueError. A refused call changes nothing."""

# Type stubs of the kvo_mew extension module; the docstrings are the module's own.
from typing import Any

class LinkError(Exception):
    """A PLC link failure: no transport for the port, or a failed transaction."""

class AddressError(LinkError):
    """An element name the PLC does not know, an element of the wrong kind for the operation, an address outside the PLC's memory, or a station out of range."""

class VedUzavur:
    """VedUzavur(port, baudrate=9600, **kwargs)

    Link to a PLC. Every operation takes the station number (1..255) first, then an FP
    element name: X/Y/R relays (X1F = bit 15 of word 1), WX/WY/WR relay words, D/DT data words.
    32-bit values occupy two consecutive words, low word first.

    port "sim://NAME" attaches to the simulated PLC NAME (kvo_mew.simulator(NAME)); other
    ports raise LinkError ("no transport for port ..."). baudrate and further keywords are
    kept for the transport.

    The link opens on start() or lazily on its first call. After close() the link reopens
    on its next call, so a machine may close a link and keep refreshing through it.
    Calls from several threads are served one transaction at a time; the GIL is released
    while a call waits for the PLC."""

    def __init__(self, port: str, baudrate: int = 9600, **kwargs: Any) -> None: ...
    def start(self) -> None:
        """Open the link now (it also opens on its first call). Does nothing when open."""
    def close(self) -> None:
        """Close the link. Its next call reopens it."""
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
    I/O program set with map_io()."""

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

def simulator(name: str) -> SimulatedPlc:
    """The simulated PLC NAME that "sim://NAME" ports talk to, created on first use."""

def reset_simulators() -> None:
    """Forget every simulated PLC. Links keep theirs until they close; reopened, they attach to a fresh one of the same name."""
