"""A machine's I/O map, declared once: signal name -> element, direction, comment.

    IO = IoMap({
        "press_down": ("Y0", "out", "press valve: down while on"),
        "force_ok":   ("X2", "in", "force sensor: press-fit force reached"),
    })
    IO = IoMap.from_toml("station.toml")   # [signals.press_down] element = "Y0" ...

Elements are X (inputs) and Y (outputs) relay names of the machine's image: relay
word n is image word n (on an FPMachine the PLC's WXn/WYn, on an FEFMachine module
n + 1). `check(machine)` refuses, all at once, a map that does not fit the machine:
an input that is no X relay, an output that is no Y relay, a relay beyond the image,
an element used twice. The map then names the relays for the watch table and the
timing diagram (`labels`) and gives bit indexes for edge handlers (`index`).
At shut-down `outputs_off(machine)` switches every output off and waits until the
PLC has them, also on a stopped machine.
"""
import re
import sys
import time
from dataclasses import dataclass
from typing import Any, Iterator, Mapping, Optional, Union

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - older interpreters
    import tomli as tomllib

DIRECTIONS = {"in": "in", "input": "in", "out": "out", "output": "out"}
# ASCII only and matched in full: "X\u06631" (an Arabic-Indic three) or "X1\n" names no relay.
RELAY = re.compile(r"([XY])([0-9]{0,3})([0-9A-Fa-f])")
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class IoMapError(ValueError):
    """An I/O map that is malformed or does not fit its machine; the message lists every problem."""


@dataclass(frozen=True)
class Signal:
    name: str
    element: str    # "X1F": relay name, hex bit digit upper case
    direction: str  # "in" or "out"
    comment: str = ""
    station: int = 1

    @property
    def word(self) -> int:
        return relay_parts(self.element)[1]

    @property
    def bit(self) -> int:
        return relay_parts(self.element)[2]

    @property
    def index(self) -> int:
        """Bit index in the machine's input or output image: word * 16 + bit."""
        return self.word * 16 + self.bit


SignalSpec = Union[Signal, tuple[Any, ...], Mapping[str, Any]]


def relay_parts(element: str) -> tuple[str, int, int]:
    """("X", word, bit) of a relay name such as "X1F"; IoMapError for anything else."""
    match = RELAY.fullmatch(element) if isinstance(element, str) else None
    if not match:
        raise IoMapError(f"{element!r} is no X or Y relay name (such as X0, X1F, Y10)")
    return match.group(1), int(match.group(2) or "0"), int(match.group(3), 16)


def signal_of(name: str, spec: SignalSpec) -> Signal:
    if not isinstance(name, str) or not NAME.fullmatch(name):
        raise IoMapError(f"signal name {name!r} is no identifier")
    if isinstance(spec, Signal):  # checked as any other spec: a Signal made by hand may be malformed
        element, direction, comment, station = spec.element, spec.direction, spec.comment, spec.station
    elif isinstance(spec, Mapping):
        unknown = [key for key in spec if key not in ("element", "direction", "comment", "station")]
        if unknown:
            raise IoMapError(f"signal '{name}': unknown key(s) {', '.join(sorted(map(str, unknown)))}")
        if "element" not in spec or "direction" not in spec:
            raise IoMapError(f"signal '{name}' needs an element and a direction")
        element, direction = spec["element"], spec["direction"]
        comment, station = spec.get("comment", ""), spec.get("station", 1)
    elif isinstance(spec, tuple) and len(spec) in (2, 3):
        element, direction = spec[0], spec[1]
        comment, station = (spec[2] if len(spec) == 3 else ""), 1
    else:
        raise IoMapError(f"signal '{name}': give (element, direction[, comment]) or a table, not {spec!r}")
    if not isinstance(element, str):
        raise IoMapError(f"signal '{name}': element must be a str, not {type(element).__name__}")
    if not isinstance(direction, str) or direction not in DIRECTIONS:
        raise IoMapError(f"signal '{name}': direction must be \"in\" or \"out\", not {direction!r}")
    if not isinstance(comment, str):
        raise IoMapError(f"signal '{name}': comment must be a str, not {type(comment).__name__}")
    if not isinstance(station, int) or isinstance(station, bool) or not 1 <= station <= 255:
        raise IoMapError(f"signal '{name}': station must be an int 1..255, not {station!r}")
    try:
        letter, word, bit = relay_parts(element)
    except IoMapError as error:
        raise IoMapError(f"signal '{name}': {error}") from None
    canonical = f"{letter}{word if word else ''}{bit:X}"
    return Signal(name, canonical, DIRECTIONS[direction], comment, station)


class IoMap:
    """Signals by name, in declaration order (see the module)."""

    def __init__(self, signals: Mapping[str, SignalSpec]) -> None:
        if not isinstance(signals, Mapping):
            raise IoMapError(f"an I/O map is a table of signals by name, not a {type(signals).__name__}")
        self.signals: dict[str, Signal] = {}
        problems = []
        for name, spec in signals.items():
            try:
                self.signals[name] = signal_of(name, spec)
            except IoMapError as e:
                problems.append(str(e))
        if problems:
            raise IoMapError("; ".join(problems))

    @classmethod
    def from_toml(cls, path: str) -> "IoMap":
        """Read `[signals.NAME]` tables (element, direction, comment, station) from a TOML file."""
        with open(path, "rb") as f:  # a missing file is the OSError it is
            try:
                data = tomllib.load(f)
            except ValueError as error:  # also bad UTF-8
                raise IoMapError(f"{path}: not a TOML file: {error}") from None
        if not isinstance(data.get("signals"), dict):
            raise IoMapError(f"{path}: no [signals] table")
        try:
            return cls(data["signals"])
        except IoMapError as error:
            raise IoMapError(f"{path}: {error}") from None

    def __getitem__(self, name: str) -> Signal:
        try:
            return self.signals[name]
        except KeyError:
            raise KeyError(f"the I/O map has no signal '{name}'") from None

    def __iter__(self) -> Iterator[Signal]:
        return iter(self.signals.values())

    def __len__(self) -> int:
        return len(self.signals)

    def element(self, name: str) -> str:
        """The relay of signal `name`: "X1F"."""
        return self[name].element

    def index(self, name: str) -> int:
        """The bit index of signal `name` in its image, for snapshot.rising(i) in edge handlers."""
        return self[name].index

    def signal_at(self, element: str, station: int = 1) -> Optional[Signal]:
        """The signal on relay `element` of `station`, None when it has none."""
        for signal in self:
            if signal.element == element and signal.station == station:
                return signal
        return None

    @property
    def labels(self) -> dict[str, str]:
        """Relay -> signal name ("X1", or "2:X1" off station 1), for the trace tools."""
        return {(s.element if s.station == 1 else f"{s.station}:{s.element}"): s.name for s in self}

    def problems(self, x_words: int, y_words: int) -> list[str]:
        """What does not fit an image of `x_words` input and `y_words` output words."""
        found = []
        seen: dict[tuple[int, str], str] = {}
        for s in self:
            letter = s.element[0]
            if s.direction == "in" and letter != "X":
                found.append(f"signal '{s.name}' is an input but {s.element} is an output relay (inputs are X)")
            if s.direction == "out" and letter != "Y":
                found.append(f"signal '{s.name}' is an output but {s.element} is an input relay (outputs are Y)")
            words = x_words if letter == "X" else y_words
            if s.word >= words:
                found.append(f"signal '{s.name}': {s.element} is beyond the machine's {words} "
                             f"{'input' if letter == 'X' else 'output'} word(s)")
            other = seen.setdefault((s.station, s.element), s.name)
            if other != s.name:
                found.append(f"signals '{other}' and '{s.name}' both use {s.element}")
        return found

    def check(self, machine: Any) -> "IoMap":
        """Refuse (IoMapError, every problem listed) a map that does not fit `machine`'s
        image; returns the map."""
        found = self.problems(machine.x_word_count, machine.y_word_count)
        if found:
            raise IoMapError("the I/O map does not fit the machine: " + "; ".join(found))
        return self

    def outputs_off(self, machine: Any, timeout: float = 2.0) -> bool:
        """Switch every output of the map off and wait until a refresh cycle has written
        them; False when none ran within `timeout` seconds. Meant for a stopped machine,
        which refreshes until `close`: its `sync_xy_refresher` raises StopException (or,
        faulted, AbortByOtherException) when no cycle ends within its first 0.01 s check, so
        it is called again; its checks follow one another, so a cycle's end falls in one."""
        import kvo_fa

        for signal in self:
            if signal.direction == "out":
                machine.set_y(signal.element, False)
        deadline = time.monotonic() + timeout
        while True:
            try:
                machine.sync_xy_refresher()
                return True
            except (kvo_fa.StopException, kvo_fa.AbortByOtherException):
                if time.monotonic() >= deadline:
                    return False
